// UnitRun: one unit's whole download on the calling thread: the download procedure driven in a plain loop over the
// unit's frame exchange, its requests taken in order from a queue (status poll, command frame, blank-block step,
// closing).
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>

#include "ByteBuffer.h"
#include "BytePort.h"
#include "DownloadProcedure.h"
#include "DownloadShell.h"
#include "FrameExchange.h"
#include "ImageFile.h"

namespace unitrun {
// The wait before each status poll, counted from the end of the exchange before it, as the window's worker waits
// after each turn: it gives a unit time to finish a flash write.
constexpr std::chrono::milliseconds kPollWait{10};
// The last part of that wait is spent awake, so that a late timer wake-up does not lengthen every poll.
constexpr std::chrono::microseconds kAwakeWait{300};
// Sleeps until the deadline, its last kAwakeWait awake: how every poll's wait is spent.
void waitUntil(std::chrono::steady_clock::time_point deadline);

// The default bound on one unit's whole download: a fixed allowance for erasing and verifying, four times the image's
// time on the line (11 bits a byte), and a quarter second a block for the status polls.
constexpr double kFixedAllowanceSeconds = 120;
constexpr double kLineTimeFactor = 4;
constexpr double kBitsPerByte = 11;
constexpr double kSecondsPerBlock = 0.25;
constexpr double defaultTimeoutSeconds(std::uint32_t imageBytes, std::uint32_t blocks, std::uint32_t baud) {
    return kFixedAllowanceSeconds + kLineTimeFactor * imageBytes * kBitsPerByte / baud + kSecondsPerBlock * blocks;
}
}  // namespace unitrun

enum class UnitEnd {
    Finished,     // the procedure ended: `outcome` says how
    PortFailed,   // the port could not be opened; nothing was sent
    Interrupted,  // stopped from outside after the exchange under way
    Stalled,      // the procedure waited for an answer that will never come
    TimedOut,     // the download did not end within its time-out
    PortGone,     // the port's device went away (an adapter pulled out) during the download
};

struct UnitReport {
    UnitEnd end = UnitEnd::Stalled;
    DownloadOutcome outcome;                        // for Finished
    DownloadState lastState = DownloadState::Idle;  // the state the download was in when it ended or stopped
    bool downloadStarted = false;                   // DownloadStart was sent: the unit's memory may have changed
    double seconds = 0;                             // from the port's opening to its closing
    std::uint32_t blocksDone = 0;                   // blocks acknowledged or passed over as blank
    std::uint32_t blocksSent = 0;                   // DownloadData frames sent, repetitions not counted
    std::uint32_t blocksSkipped = 0;                // blank blocks passed over
    std::array<std::uint32_t, download::kCountedStates> retries{};  // repetitions of states 1 to 9
};

// What a run tells its watcher while it goes on; called on the run's thread.
class UnitEvents {
public:
    virtual ~UnitEvents() = default;
    virtual void phaseChanged(const std::string& phase) = 0;  // the window's status word, never empty
    virtual void progressed(std::uint32_t blocksDone) = 0;
};

class UnitRun : private UnitRequests, private DownloadView {
public:
    // `line` is the unit's byte port, not yet open; `interrupted` and the time-out are looked at between exchanges.
    UnitRun(std::string portName, std::uint32_t baudRate, std::unique_ptr<BytePort> line, UnitEvents& events,
            const std::atomic<bool>& interrupted, double timeoutSeconds);
    UnitRun(const UnitRun&) = delete;
    UnitRun& operator=(const UnitRun&) = delete;

    // Opens the port, downloads `image` (a checked image) and closes the port again, whatever happens.
    UnitReport run(const ImageLoad& image);

private:
    enum class Request { Poll, Command, BlankStep, Close };
    struct Queued {
        Request request;
        ByteBuffer frame;  // for Command
    };

    void perform(const Queued& queued);
    // One exchange whose answer goes to the procedure; a line that went away ends the run instead.
    void exchange(UnitRequest request, const ByteBuffer& frame);
    void closeLine();
    UnitReport finish(UnitEnd end);

    // UnitRequests: each request joins the queue, in order.
    bool ensureOpen() override;
    void requestStatus() override { queue_.push_back({Request::Poll, ByteBuffer()}); }
    void sendCommand(const ByteBuffer& frame) override;
    void resumeAfterBlank() override;
    void close() override { queue_.push_back({Request::Close, ByteBuffer()}); }

    // DownloadView: phases and progress go to the watcher; the outcome goes into the report.
    void showStatus(const std::string& text) override;
    void showProgress(std::uint32_t blocksDone) override;
    void showOutcome(const DownloadOutcome& outcome) override;

    std::string portName_;
    std::uint32_t baudRate_;
    UnitEvents& events_;
    const std::atomic<bool>& interrupted_;
    std::chrono::duration<double> timeout_;
    FrameExchange exchange_;
    DownloadProcedure procedure_;

    std::deque<Queued> queue_;
    bool lineHeld_ = false;  // opened, or tried: the line is closed once, at the end
    bool ended_ = false;
    bool lineGone_ = false;
    std::string phase_;
    std::int64_t lastDataOffset_ = -1;
    std::uint32_t blocksTotal_ = 0;
    UnitReport report_;
    std::chrono::steady_clock::time_point started_;
    std::chrono::steady_clock::time_point lastExchangeEnd_;
};
