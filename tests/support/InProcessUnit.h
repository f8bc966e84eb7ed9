// InProcessUnit: a unit played in process by the virtual unit's core, behind a byte port: what is written goes to the
// unit, its replies are read back, silence returns at once; the unit can be unplugged and its device can go away.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "BytePort.h"
#include "UnitCore.h"
#include "UnitFrame.h"

// The unit on the line's far end: its core, whether one is plugged in at all, and whether the device exists.
struct FarEnd {
    std::unique_ptr<vunit::UnitCore> unit;  // null: nothing plugged in (silence)
    bool deviceThere = true;
    bool gone = false;
    bool vanishOnceDone = false;  // the line goes away once the unit, its result acknowledged, has answered Disable
    bool resultAcknowledged = false;
    std::vector<std::string> openedNames;            // each name a line was opened with, in order
    void plug(const vunit::UnitConfig& config) { unit = std::make_unique<vunit::UnitCore>(config); }
};

// A line to one far end, or to whichever far end the device name it is opened with leads to.
class FarEndLine : public BytePort {
public:
    using Finder = std::function<FarEnd*(const std::string& device)>;  // null: no such device
    explicit FarEndLine(FarEnd& far) : find_([&far](const std::string&) { return &far; }) {}
    explicit FarEndLine(Finder find) : find_(std::move(find)) {}
    bool open(const std::string& name, std::uint32_t, std::uint8_t) override {
        far_ = find_(name);
        if (far_ == nullptr) return false;
        far_->openedNames.push_back(name);
        return far_->deviceThere && !far_->gone;
    }
    bool readByte(std::uint8_t& byte) override {
        if (in_.empty()) return false;
        byte = in_.front();
        in_.erase(in_.begin());
        return true;
    }
    bool writeBytes(const std::uint8_t* bytes, std::uint32_t count) override {
        if (far_ == nullptr || far_->gone) return false;
        if (!far_->unit) return true;
        const auto codeOf = [](const std::vector<std::uint8_t>& frame) {
            return frame.size() > unit::kCodeIndex ? frame[unit::kCodeIndex] : std::uint8_t{0};
        };
        const std::vector<std::uint8_t> frame(bytes, bytes + count);
        if (codeOf(frame) == static_cast<std::uint8_t>(UnitCommand::Ack)) far_->resultAcknowledged = true;
        for (const vunit::Event& e : far_->unit->receive(bytes, count, nowUs())) {
            if (e.kind == vunit::Event::Kind::Out) in_.insert(in_.end(), e.bytes.begin(), e.bytes.end());
            if (e.kind == vunit::Event::Kind::Vanish) far_->gone = true, far_->unit.reset();
            if (e.kind == vunit::Event::Kind::Out && far_->vanishOnceDone && far_->resultAcknowledged &&
                codeOf(e.bytes) == unit::kStatusDisable) {
                far_->gone = true;  // the reply already written is still read; nothing after it
            }
        }
        return true;
    }
    void close() override {}
    bool gone() const override { return far_ != nullptr && far_->gone && in_.empty(); }

private:
    static std::int64_t nowUs() {
        return std::chrono::duration_cast<std::chrono::microseconds>(
                   std::chrono::steady_clock::now().time_since_epoch())
            .count();
    }
    Finder find_;
    FarEnd* far_ = nullptr;
    std::vector<std::uint8_t> in_;
};
