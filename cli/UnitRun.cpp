// UnitRun: a loop over the request queue; each answer goes to the procedure, which queues the next request.
#include "UnitRun.h"

#include <thread>

#include "InProcessDriver.h"
#include "PostedBuffer.h"
#include "StatusText.h"
#include "UnitCommands.h"

namespace {
constexpr const char* kLibraryName = "in-process";

void waitUntil(std::chrono::steady_clock::time_point deadline) {
    std::this_thread::sleep_until(deadline - unitrun::kAwakeWait);
    while (std::chrono::steady_clock::now() < deadline) std::this_thread::yield();
}

}  // namespace

UnitRun::UnitRun(std::string portName, std::uint32_t baudRate, CommDriver::PortFactory makePort, UnitEvents& events,
                 const std::atomic<bool>& interrupted, double timeoutSeconds)
    : portName_(std::move(portName)),
      baudRate_(baudRate),
      events_(events),
      interrupted_(interrupted),
      timeout_(timeoutSeconds),
      client_(std::make_unique<InProcessDriver>(std::move(makePort)), [](const std::string&) {}),
      core_(client_, *this),
      procedure_(*this, this) {}

UnitReport UnitRun::run(const ImageLoad& image) {
    started_ = std::chrono::steady_clock::now();
    lastExchangeEnd_ = started_;
    blocksTotal_ = image.blockCount;
    client_.bind(kLibraryName);
    procedure_.start(image.imageData, image.fileCrc);
    if (!connected_) return finish(UnitEnd::PortFailed);

    while (!queue_.empty()) {
        if (interrupted_.load()) return finish(UnitEnd::Interrupted);
        if (std::chrono::steady_clock::now() - started_ > timeout_) return finish(UnitEnd::TimedOut);
        const Queued next = std::move(queue_.front());
        queue_.pop_front();
        perform(next);
        deliverAnswers();
    }
    return finish(ended_ ? UnitEnd::Finished : UnitEnd::Stalled);
}

void UnitRun::perform(const Queued& queued) {
    switch (queued.request) {
        case Request::Poll:
            waitUntil(lastExchangeEnd_ + unitrun::kPollWait);
            core_.take(WorkerMessage::Polling, nullptr);
            lastExchangeEnd_ = std::chrono::steady_clock::now();
            break;
        case Request::Command:
            if (ByteBuffer* posted = allocatePostedBuffer(queued.frame)) core_.take(WorkerMessage::Command, posted);
            lastExchangeEnd_ = std::chrono::steady_clock::now();
            break;
        case Request::BlankStep:
            procedure_.onSendCancel();
            break;
    }
}

// Answers reach the procedure after the exchange, in order, as the window's messages reach it from its queue.
void UnitRun::deliverAnswers() {
    std::vector<Answer> answers;
    answers.swap(answers_);
    for (const Answer& answer : answers) {
        switch (answer.message) {
            case WindowMessage::StatusUpdate: procedure_.onStatusUpdate(answer.bytes); break;
            case WindowMessage::Response: procedure_.onResponse(answer.bytes); break;
            case WindowMessage::Alarm: procedure_.onAlarm(answer.bytes); break;
        }
    }
}

UnitReport UnitRun::finish(UnitEnd end) {
    report_.end = end;
    if (end != UnitEnd::Finished) report_.lastState = procedure_.state();
    for (std::size_t i = 0; i < report_.retries.size(); ++i) {
        report_.retries[i] = procedure_.retriesUsed(static_cast<DownloadState>(i + 1));
    }
    client_.closePort();
    client_.unbind();
    connected_ = false;
    report_.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started_).count();
    return report_;
}

bool UnitRun::connect() {
    connected_ = client_.openPort(portName_, baudRate_) &&
                 client_.result(driverclient::kResultCode) == comm::kCodeOk;
    if (!connected_) client_.closePort();  // a port that failed to open is not kept
    return connected_;
}

void UnitRun::postCommand(const ByteBuffer& frame) {
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

// The window's words, save one: once blocks are being sent, the unit's busy answers (which the window's status line
// calls Deleting) mean it is writing a block, so the phase stays Downloading instead of flickering.
void UnitRun::setStatusText(const std::string& text) {
    const DownloadState state = procedure_.state();
    const bool writing = stateNumber(state) >= stateNumber(DownloadState::AwaitFirstBlockAck) &&
                         stateNumber(state) <= stateNumber(DownloadState::AwaitEndAck);
    const std::string phase = text == status::kDeleting && writing ? status::kDownloading : text;
    if (phase.empty() || phase == phase_ || ended_) return;
    phase_ = phase;
    events_.phaseChanged(phase);
}

void UnitRun::setProgress(std::uint32_t position) {
    if (ended_ || position == report_.blocksDone) return;
    report_.blocksDone = position;
    events_.progressed(position);
}

void UnitRun::showOutcome(const DownloadOutcome& outcome) {
    report_.outcome = outcome;
    report_.lastState = outcome.kind == OutcomeKind::GaveUp ? outcome.state : DownloadState::Idle;
    if (outcome.kind != OutcomeKind::GaveUp) report_.blocksDone = blocksTotal_;  // the last block needs no Ready
    ended_ = true;
}

void UnitRun::postSendCancel() {
    ++report_.blocksSkipped;
    queue_.push_back({Request::BlankStep, ByteBuffer()});
}

bool UnitRun::post(WindowMessage message, ByteBuffer* buffer) {
    answers_.push_back({message, takeOwnedBuffer(buffer)});
    return true;
}
