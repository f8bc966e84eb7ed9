// Fuzz target: the download procedure fed any sequence of answers. Every step asks the link for at most one thing (a
// result is acknowledged and then polled: two); a step that leaves a download under way always asks for something,
// so the procedure either finishes or keeps asking; every block it sends is the image's own bytes at that offset.
// Built with bounds-checked containers, so reading past an answer aborts.
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "DownloadProcedure.h"
#include "UnitCommands.h"

namespace {

struct Recorder : UnitRequests, DownloadView {
    int requests = 0;
    bool lastWasAck = false, ackThenPoll = false;  // ackThenPoll: the step sent Ack and then a poll
    const ByteBuffer* image = nullptr;

    bool ensureOpen() override { return true; }
    void requestStatus() override {
        ackThenPoll = lastWasAck;
        ++requests;
    }
    void sendCommand(const ByteBuffer& frame) override {
        ++requests;
        lastWasAck = frame.size() > unit::kCodeIndex &&
                     frame[unit::kCodeIndex] == static_cast<std::uint8_t>(UnitCommand::Ack);
        std::uint32_t offset = 0;
        if (!dataFrameOffset(frame.data(), frame.size(), offset)) return;
        const std::size_t count = frame.size() - (unit::kDataFrameOverhead - unit::kCheckBytes);
        if (count == 0 || count > unit::kBlockSize || offset + count > image->size()) std::abort();
        for (std::size_t i = 0; i < count; ++i)
            if (frame[unit::kDataFrameOverhead - unit::kCheckBytes + i] != (*image)[offset + i]) std::abort();
    }
    void resumeAfterBlank() override { ++requests; }
    void close() override {}
    void showStatus(const std::string&) override {}
    void showProgress(std::uint32_t) override {}
    void showOutcome(const DownloadOutcome&) override {}
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2) return 0;
    // The image: 1 to 1,024 bytes taken from a pattern that has blank runs, so blocks are sent and passed over.
    const std::size_t imageSize = 1 + (data[0] | (data[1] & 0x03) << 8);
    ByteBuffer image;
    for (std::size_t i = 0; i < imageSize; ++i) image.append(static_cast<std::uint8_t>((i / 300) % 2 ? 0xFF : i * 31));
    Recorder r;
    r.image = &image;
    DownloadProcedure procedure(r, &r);
    procedure.start(image, 0x1234);
    // Then answers: a kind byte (StatusUpdate, Response, Alarm or the blank-block step) and a length, then that many bytes.
    for (std::size_t at = 2; at + 1 < size && procedure.state() != DownloadState::Idle;) {
        const std::uint8_t kind = data[at] % 4;
        const std::size_t length = std::min<std::size_t>(data[at + 1] % 12, size - at - 2);
        const ByteBuffer answer(data + at + 2, length);
        at += 2 + length;
        const bool skipping = procedure.state() == DownloadState::SkipBlank;
        r.requests = 0;
        r.ackThenPoll = r.lastWasAck = false;
        switch (kind) {
            case 0: procedure.onStatusUpdate(answer); break;
            case 1: procedure.onResponse(answer); break;
            case 2: procedure.onAlarm(answer); break;
            default: procedure.onBlankPassed(); break;
        }
        if (r.requests > (r.ackThenPoll ? 2 : 1)) std::abort();
        const bool answered = kind < 3 ? !skipping : skipping;  // what the procedure waits for in its state
        if (answered && procedure.state() != DownloadState::Idle && r.requests == 0) std::abort();
    }
    return 0;
}
