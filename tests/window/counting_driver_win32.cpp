// A test double of the driver library for the block checks: the same three exports over a scripted unit that acks
// every frame, and a count of the answer blocks it hands out in the environment variable QBV_ANSWER_BLOCKS. A block
// for offset kSilentOffset goes unanswered (a failed exchange); one for kSlowOffset is answered after kSlowMs.
#include <windows.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "CommDriver.h"
#include "FakeBytePort.h"
#include "UnitCommands.h"

namespace {
constexpr std::uint32_t kSilentOffset = 0xEEEE;
constexpr std::uint32_t kSlowOffset = 0x5100;
constexpr DWORD kSlowMs = 300;
constexpr const char* kCountName = "QBV_ANSWER_BLOCKS";
constexpr DWORD kCountTextSize = 32;

// The scripted unit's line: its Ack queued as each frame is written, but for the two blocks named above.
struct ScriptedUnit : FakeBytePort {
    ScriptedUnit() : FakeBytePort(std::make_shared<FakeLineState>()) {}
    bool writeBytes(const std::uint8_t* bytes, std::uint32_t count) override {
        std::uint32_t offset = 0;
        const bool block = dataFrameOffset(bytes, count, offset);
        if (block && offset == kSilentOffset) return true;
        if (block && offset == kSlowOffset) Sleep(kSlowMs);
        s->queue({0xFC, 0x05, 0x50, 0xAA, 0x05});  // Ack with its check bytes
        return true;
    }
};

CommDriver* theDriver = nullptr;

void countAnswerBlock() {
    char text[kCountTextSize] = {};
    GetEnvironmentVariableA(kCountName, text, kCountTextSize);
    SetEnvironmentVariableA(kCountName, std::to_string(std::strtol(text, nullptr, 10) + 1).c_str());
}
}  // namespace

extern "C" bool __cdecl load() {
    delete theDriver;
    theDriver = new CommDriver([] { return std::make_unique<ScriptedUnit>(); });
    return true;
}

extern "C" bool __cdecl unload() {
    delete theDriver;
    theDriver = nullptr;
    return true;
}

extern "C" char* __cdecl request(char* text, std::uint32_t* length) {
    const std::string answer = theDriver->dispatch(std::string(text, *length));
    GlobalFree(text);
    char* block = static_cast<char*>(GlobalAlloc(GPTR, answer.size() + 1));
    std::memcpy(block, answer.data(), answer.size());
    *length = static_cast<std::uint32_t>(answer.size());
    countAnswerBlock();
    return block;
}
