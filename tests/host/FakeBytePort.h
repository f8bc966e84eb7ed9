// FakeBytePort: a scripted serial line for host tests: queued incoming bytes, recorded writes, switchable failures.
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "BytePort.h"

// What the test sees of a fake line after the driver took ownership of it.
struct FakeLineState {
    std::deque<std::uint8_t> incoming;   // bytes the unit "sends"; an empty queue reads as silence
    std::vector<std::uint8_t> written;   // every byte the driver wrote
    bool openSucceeds = true;
    bool writeSucceeds = true;
    bool opened = false;
    bool closed = false;
    bool destroyed = false;
    std::string openedName;
    std::uint32_t openedBaud = 0;
    std::uint8_t openedBits = 0;
    int reads = 0;
    int failedReads = 0;

    void queue(std::initializer_list<std::uint8_t> bytes) { incoming.insert(incoming.end(), bytes); }
    void queue(const std::vector<std::uint8_t>& bytes) { incoming.insert(incoming.end(), bytes.begin(), bytes.end()); }
};

class FakeBytePort : public BytePort {
public:
    explicit FakeBytePort(std::shared_ptr<FakeLineState> state) : state_(std::move(state)) {}
    ~FakeBytePort() override { state_->destroyed = true; }

    bool open(const std::string& name, std::uint32_t baud, std::uint8_t bits) override {
        state_->openedName = name;
        state_->openedBaud = baud;
        state_->openedBits = bits;
        state_->opened = state_->openSucceeds;
        return state_->openSucceeds;
    }
    bool readByte(std::uint8_t& byte) override {
        ++state_->reads;
        if (state_->incoming.empty()) {
            ++state_->failedReads;
            return false;
        }
        byte = state_->incoming.front();
        state_->incoming.pop_front();
        return true;
    }
    bool writeBytes(const std::uint8_t* bytes, std::uint32_t count) override {
        if (!state_->writeSucceeds) return false;
        state_->written.insert(state_->written.end(), bytes, bytes + count);
        return true;
    }
    void close() override { state_->closed = true; }

private:
    std::shared_ptr<FakeLineState> state_;
};
