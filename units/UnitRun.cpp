// UnitRun: a loop over the request queue; each exchange's answer goes to the procedure, which queues the next request.
#include "UnitRun.h"

#include <thread>

#include "StatusText.h"
#include "UnitAnswer.h"
#include "UnitCommands.h"

void unitrun::waitUntil(std::chrono::steady_clock::time_point deadline) {
    std::this_thread::sleep_until(deadline - kAwakeWait);
    while (std::chrono::steady_clock::now() < deadline) std::this_thread::yield();
}

UnitRun::UnitRun(std::string portName, std::uint32_t baudRate, std::unique_ptr<BytePort> line, UnitEvents& events,
                 const std::atomic<bool>& interrupted, double timeoutSeconds)
    : portName_(std::move(portName)),
      baudRate_(baudRate),
      events_(events),
      interrupted_(interrupted),
      timeout_(timeoutSeconds),
      exchange_(std::move(line)),
      procedure_(*this, this) {}

UnitReport UnitRun::run(const ImageLoad& image) {
    started_ = std::chrono::steady_clock::now();
    lastExchangeEnd_ = started_;
    blocksTotal_ = image.blockCount;
    // A checked image is never empty: only the port can refuse the start.
    if (procedure_.start(image.imageData, image.fileCrc) != StartResult::Started) return finish(UnitEnd::PortFailed);

    // Once the procedure has ended, what is still queued (a last poll, the closing) changes nothing of its outcome:
    // a unit pulled the moment it passed has passed.
    while (!queue_.empty()) {
        if (interrupted_.load()) return finish(ended_ ? UnitEnd::Finished : UnitEnd::Interrupted);
        if (std::chrono::steady_clock::now() - started_ > timeout_) {
            return finish(ended_ ? UnitEnd::Finished : UnitEnd::TimedOut);
        }
        const Queued next = std::move(queue_.front());
        queue_.pop_front();
        perform(next);
        if (lineGone_) return finish(ended_ ? UnitEnd::Finished : UnitEnd::PortGone);
    }
    return finish(ended_ ? UnitEnd::Finished : UnitEnd::Stalled);
}

// The answer reaches the procedure once its exchange is over, as the window's messages reach it from its queue.
void UnitRun::perform(const Queued& queued) {
    switch (queued.request) {
        case Request::Poll:
            unitrun::waitUntil(lastExchangeEnd_ + unitrun::kPollWait);
            exchange(UnitRequest::StatusPoll, buildFrame(UnitCommand::StatusRequest));
            break;
        case Request::Command:
            exchange(UnitRequest::Command, queued.frame);
            break;
        case Request::BlankStep:
            procedure_.onBlankPassed();
            break;
        case Request::Close:
            closeLine();
            break;
    }
}

void UnitRun::exchange(UnitRequest request, const ByteBuffer& frame) {
    const FrameReply reply = exchange_.exchange(frame);
    lastExchangeEnd_ = std::chrono::steady_clock::now();
    if (reply.result == ExchangeResult::LineGone) {
        lineGone_ = true;
        return;
    }
    procedure_.onAnswer(answerTo(request, frame, reply));
}

void UnitRun::closeLine() {
    if (!lineHeld_) return;
    exchange_.close();
    lineHeld_ = false;
}

UnitReport UnitRun::finish(UnitEnd end) {
    report_.end = end;
    if (end != UnitEnd::Finished) report_.lastState = procedure_.state();
    for (std::size_t i = 0; i < report_.retries.size(); ++i) {
        report_.retries[i] = procedure_.retriesUsed(static_cast<DownloadState>(i + 1));
    }
    closeLine();
    report_.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started_).count();
    return report_;
}

bool UnitRun::ensureOpen() {
    lineHeld_ = true;
    if (exchange_.open(portName_, baudRate_, unit::kDataBits)) return true;
    closeLine();  // a port that failed to open is not kept
    return false;
}

void UnitRun::sendCommand(const ByteBuffer& frame) {
    if (frame.size() > unit::kCodeIndex &&
        frame[unit::kCodeIndex] == static_cast<std::uint8_t>(UnitCommand::DownloadStart)) {
        report_.downloadStarted = true;
    }
    std::uint32_t offset = 0;
    if (dataFrameOffset(frame.data(), frame.size(), offset)) {
        if (offset != lastDataOffset_) ++report_.blocksSent;  // a repeated block is not counted again
        lastDataOffset_ = offset;
    }
    queue_.push_back({Request::Command, frame});
}

void UnitRun::resumeAfterBlank() {
    ++report_.blocksSkipped;
    queue_.push_back({Request::BlankStep, ByteBuffer()});
}

// The window's words, save one: once blocks are being sent, the unit's busy answers (which the window's status line
// calls Deleting) mean it is writing a block, so the phase stays Downloading instead of flickering.
void UnitRun::showStatus(const std::string& text) {
    const DownloadState state = procedure_.state();
    const bool writing = stateNumber(state) >= stateNumber(DownloadState::AwaitFirstBlockAck) &&
                         stateNumber(state) <= stateNumber(DownloadState::AwaitEndAck);
    const std::string phase = text == status::kDeleting && writing ? status::kDownloading : text;
    if (phase.empty() || phase == phase_ || ended_) return;
    phase_ = phase;
    events_.phaseChanged(phase);
}

void UnitRun::showProgress(std::uint32_t blocksDone) {
    if (ended_ || blocksDone == report_.blocksDone) return;
    report_.blocksDone = blocksDone;
    events_.progressed(blocksDone);
}

void UnitRun::showOutcome(const DownloadOutcome& outcome) {
    report_.outcome = outcome;
    report_.lastState = outcome.kind == OutcomeKind::GaveUp ? outcome.state : DownloadState::Idle;
    if (outcome.kind != OutcomeKind::GaveUp) report_.blocksDone = blocksTotal_;  // the last block needs no Ready
    ended_ = true;
}
