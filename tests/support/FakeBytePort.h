// FakeBytePort: a scripted serial line for host tests: queued incoming bytes, recorded writes, switchable failures.
#pragma once

#include <deque>
#include <memory>
#include <vector>

#include "BytePort.h"

// What the test sees of a fake line after the driver took ownership of it.
struct FakeLineState {
    std::deque<std::uint8_t> incoming;  // bytes the unit "sends"; an empty queue reads as silence
    std::vector<std::uint8_t> written;  // every byte the driver wrote
    bool openSucceeds = true, writeSucceeds = true, closed = false, destroyed = false, gone = false;
    std::string openedName;
    std::uint32_t openedBaud = 0;
    std::uint8_t openedBits = 0;
    void queue(const std::vector<std::uint8_t>& bytes) { incoming.insert(incoming.end(), bytes.begin(), bytes.end()); }
};

struct FakeBytePort : BytePort {
    explicit FakeBytePort(std::shared_ptr<FakeLineState> state) : s(std::move(state)) {}
    ~FakeBytePort() override { s->destroyed = true; }
    bool open(const std::string& name, std::uint32_t baud, std::uint8_t bits) override {
        s->openedName = name, s->openedBaud = baud, s->openedBits = bits;
        return s->openSucceeds;
    }
    bool readByte(std::uint8_t& byte) override {
        if (s->incoming.empty()) return false;
        byte = s->incoming.front();
        s->incoming.pop_front();
        return true;
    }
    bool writeBytes(const std::uint8_t* bytes, std::uint32_t count) override {
        if (s->writeSucceeds) s->written.insert(s->written.end(), bytes, bytes + count);
        return s->writeSucceeds;
    }
    void close() override { s->closed = true; }
    bool gone() const override { return s->gone; }
    std::shared_ptr<FakeLineState> s;
};
