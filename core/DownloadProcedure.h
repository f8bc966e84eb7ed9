// The download procedure: the state machine that carries a firmware image into the unit, one request per step.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "ByteBuffer.h"
#include "DownloadShell.h"
#include "DownloadState.h"
#include "UnitAnswer.h"

namespace download {
constexpr std::uint32_t kRetryLimit = 10;       // repetitions allowed in states 1, 2 and 4 to 9
constexpr std::uint32_t kEraseRetryLimit = 50;  // repeated polls allowed while the unit erases (state 3)
constexpr std::size_t kCountedStates = 9;       // states 1 to 9 each count their repetitions
constexpr std::uint32_t kStartProgress = 0;     // progress position at Start and after success

// The number of repetitions the state allows before it gives up; 0 for states that never give up.
std::uint32_t retryLimitOf(DownloadState state);
}  // namespace download

// How Start went.
enum class StartResult {
    Started,    // the first status poll is asked for
    NoImage,    // no image is loaded: the shell shows noImageBox()
    NoLine,     // the shell has no line to the unit at all (the window: the driver library was not written)
    NotOpened,  // the line could not be opened (the shell has said why)
};

class DownloadProcedure {
public:
    // `unit` may be null until attach(): Start then does nothing after its image check.
    explicit DownloadProcedure(DownloadView& view, UnitRequests* unit = nullptr);
    DownloadProcedure(const DownloadProcedure&) = delete;
    DownloadProcedure& operator=(const DownloadProcedure&) = delete;

    void attach(UnitRequests* unit);

    // "Start Download". `image` is the loaded file, check bytes included (empty when none is loaded); the
    // procedure keeps its own copy of it and of `fileCrc`, so a file loaded during the download changes neither.
    StartResult start(const ByteBuffer& image, std::uint16_t fileCrc);
    // The unit's answers, in the order the requests were made. A status update and a response show their status
    // first; an alarm does not; UnitAnswer::Kind::None changes nothing.
    void onAnswer(const UnitAnswer& answer);
    void onStatusUpdate(const ByteBuffer& reply);
    void onResponse(const ByteBuffer& reply);
    void onAlarm(const ByteBuffer& buffer);
    // The shell's call after a blank block was passed over: takes the next block in state 13, nothing otherwise.
    void onBlankPassed();

    DownloadState state() const { return state_; }
    // The repetition count of states 1 to 9; 0 for any other state.
    std::uint32_t retryCount(DownloadState state) const;
    // All repetitions states 1 to 9 made since Start (their counts reset on entry; this one does not); 0 for others.
    std::uint32_t retriesUsed(DownloadState state) const;

private:
    void step(const ByteBuffer& reply);
    void showStatusOf(const ByteBuffer& reply);

    // One step per waiting state.
    void onAwaitDisable(const ByteBuffer& reply);
    void onAwaitStartAck(const ByteBuffer& reply);
    void onAwaitErased(const ByteBuffer& reply);
    void onAwaitFirstBlockAck(const ByteBuffer& reply);
    void onAwaitReady(const ByteBuffer& reply);
    void onAwaitBlockAck(const ByteBuffer& reply);
    void onAwaitLastBlockAck(const ByteBuffer& reply);
    void onAwaitEndReady(const ByteBuffer& reply);
    void onAwaitEndAck(const ByteBuffer& reply);
    void onAwaitResult(const ByteBuffer& reply);
    void onAwaitFinalDisable(const ByteBuffer& reply);
    void onAwaitFlaggedDisable(const ByteBuffer& reply);

    // The failure branch of states 1 to 9: repeat the state's action, or give up after the limit.
    void retry(DownloadState state);
    void repeatAction(DownloadState state);
    std::uint32_t& counter(DownloadState state);

    void sendFirstBlock();
    void advanceBlock(bool fromReady);
    void sendBlock(std::uint32_t offset, std::uint32_t count);
    void sendLastBlock();
    void finishDownload();
    DownloadOutcome endedWith(OutcomeKind kind, DownloadState state) const;

    void poll();
    void send(const ByteBuffer& frame);

    DownloadView& view_;
    UnitRequests* unit_;

    DownloadState state_ = DownloadState::Idle;
    ByteBuffer imageData_;
    std::uint16_t fileCrc_ = 0;
    std::uint32_t blockOffset_ = 0;
    std::uint32_t blocksDone_ = 0;
    std::uint8_t unitCrcHigh_ = 0;
    std::uint8_t unitCrcLow_ = 0;
    std::array<std::uint32_t, download::kCountedStates> retryCount_{};
    std::array<std::uint32_t, download::kCountedStates> retriesUsed_{};
};
