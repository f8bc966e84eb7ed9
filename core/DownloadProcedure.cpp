// The download state machine: each answer from the unit moves it one step and asks the unit for one more thing.
#include "DownloadProcedure.h"

#include "StatusText.h"
#include "UnitCommands.h"

namespace download {
std::uint32_t retryLimitOf(DownloadState state) {
    switch (state) {
        case DownloadState::AwaitErased:
            return kEraseRetryLimit;
        case DownloadState::AwaitDisable:
        case DownloadState::AwaitStartAck:
        case DownloadState::AwaitFirstBlockAck:
        case DownloadState::AwaitReady:
        case DownloadState::AwaitBlockAck:
        case DownloadState::AwaitLastBlockAck:
        case DownloadState::AwaitEndReady:
        case DownloadState::AwaitEndAck:
            return kRetryLimit;
        default:
            return 0;
    }
}
}  // namespace download

namespace {
constexpr std::uint32_t kFirstCountedState = stateNumber(DownloadState::AwaitDisable);
constexpr std::uint32_t kLastCountedState = stateNumber(DownloadState::AwaitEndAck);

bool isCounted(DownloadState state) {
    const std::uint32_t s = stateNumber(state);
    return s >= kFirstCountedState && s <= kLastCountedState;
}

// A result status that also holds the unit's CRC in bytes 4 and 5.
bool carriesUnitCrc(const ByteBuffer& reply) { return reply.size() > unit::kCrcHighIndex; }
}  // namespace

DownloadProcedure::DownloadProcedure(DownloadView& view, UnitRequests* unit) : view_(view), unit_(unit) {}

void DownloadProcedure::attach(UnitRequests* unit) { unit_ = unit; }

std::uint32_t DownloadProcedure::retryCount(DownloadState state) const {
    if (!isCounted(state)) return 0;
    return retryCount_[stateNumber(state) - kFirstCountedState];
}

std::uint32_t DownloadProcedure::retriesUsed(DownloadState state) const {
    if (!isCounted(state)) return 0;
    return retriesUsed_[stateNumber(state) - kFirstCountedState];
}

std::uint32_t& DownloadProcedure::counter(DownloadState state) {
    // Only called with states 1 to 9.
    return retryCount_[stateNumber(state) - kFirstCountedState];
}

StartResult DownloadProcedure::start(const ByteBuffer& image, std::uint16_t fileCrc) {
    if (image.empty()) return StartResult::NoImage;
    if (unit_ == nullptr) return StartResult::NoLine;
    if (!unit_->ensureOpen()) return StartResult::NotOpened;

    imageData_ = image;
    fileCrc_ = fileCrc;
    unit_->stopOwnPolling();
    unit_->requestStatus();
    state_ = DownloadState::AwaitDisable;
    view_.lockControls(true);
    retryCount_.fill(0);
    retriesUsed_.fill(0);
    view_.showProgress(download::kStartProgress);
    return StartResult::Started;
}

void DownloadProcedure::onAnswer(const UnitAnswer& answer) {
    switch (answer.kind) {
    case UnitAnswer::Kind::StatusUpdate: onStatusUpdate(answer.bytes); break;
    case UnitAnswer::Kind::Response: onResponse(answer.bytes); break;
    case UnitAnswer::Kind::Alarm: onAlarm(answer.bytes); break;
    case UnitAnswer::Kind::None: break;  // no answer came: the procedure goes on waiting
    }
}

void DownloadProcedure::onStatusUpdate(const ByteBuffer& reply) {
    showStatusOf(reply);
    step(reply);
}

void DownloadProcedure::onResponse(const ByteBuffer& reply) {
    showStatusOf(reply);
    step(reply);
}

void DownloadProcedure::onAlarm(const ByteBuffer& buffer) { step(buffer); }

void DownloadProcedure::onBlankPassed() {
    if (state_ == DownloadState::SkipBlank) advanceBlock(false);
}

void DownloadProcedure::showStatusOf(const ByteBuffer& reply) {
    if (const auto text = statusTextForReply(reply, state_)) view_.showStatus(*text);
}

void DownloadProcedure::step(const ByteBuffer& reply) {
    switch (state_) {
        case DownloadState::AwaitDisable: onAwaitDisable(reply); break;
        case DownloadState::AwaitStartAck: onAwaitStartAck(reply); break;
        case DownloadState::AwaitErased: onAwaitErased(reply); break;
        case DownloadState::AwaitFirstBlockAck: onAwaitFirstBlockAck(reply); break;
        case DownloadState::AwaitReady: onAwaitReady(reply); break;
        case DownloadState::AwaitBlockAck: onAwaitBlockAck(reply); break;
        case DownloadState::AwaitLastBlockAck: onAwaitLastBlockAck(reply); break;
        case DownloadState::AwaitEndReady: onAwaitEndReady(reply); break;
        case DownloadState::AwaitEndAck: onAwaitEndAck(reply); break;
        case DownloadState::AwaitResult: onAwaitResult(reply); break;
        case DownloadState::AwaitFinalDisable: onAwaitFinalDisable(reply); break;
        case DownloadState::AwaitFlaggedDisable: onAwaitFlaggedDisable(reply); break;
        default: break;  // idle, or waiting for the step after a blank block: answers are not judged
    }
}

void DownloadProcedure::onAwaitDisable(const ByteBuffer& reply) {
    if (!isDisable(reply)) return retry(DownloadState::AwaitDisable);
    send(buildFrame(UnitCommand::DownloadStart));
    counter(DownloadState::AwaitStartAck) = 0;
    state_ = DownloadState::AwaitStartAck;
}

void DownloadProcedure::onAwaitStartAck(const ByteBuffer& reply) {
    if (!isAck(reply)) return retry(DownloadState::AwaitStartAck);
    counter(DownloadState::AwaitErased) = 0;
    poll();
    state_ = DownloadState::AwaitErased;
}

void DownloadProcedure::onAwaitErased(const ByteBuffer& reply) {
    if (!isReady(reply)) return retry(DownloadState::AwaitErased);
    if (imageData_.size() <= unit::kBlockSize) {
        // An image that fits in one block is that block: sent whole as the last block, never padded.
        blockOffset_ = 0;
        blocksDone_ = 0;
        sendLastBlock();
        counter(DownloadState::AwaitLastBlockAck) = 0;
        state_ = DownloadState::AwaitLastBlockAck;
        return;
    }
    sendFirstBlock();
    counter(DownloadState::AwaitFirstBlockAck) = 0;
    state_ = DownloadState::AwaitFirstBlockAck;
}

void DownloadProcedure::onAwaitFirstBlockAck(const ByteBuffer& reply) {
    if (!isAck(reply)) return retry(DownloadState::AwaitFirstBlockAck);
    poll();
    counter(DownloadState::AwaitReady) = 0;
    state_ = DownloadState::AwaitReady;
}

void DownloadProcedure::onAwaitReady(const ByteBuffer& reply) {
    if (isReady(reply)) return advanceBlock(true);
    if (isBusy(reply)) return poll();  // the unit is still writing: waited out without limit
    retry(DownloadState::AwaitReady);
}

void DownloadProcedure::onAwaitBlockAck(const ByteBuffer& reply) {
    if (!isAck(reply)) return retry(DownloadState::AwaitBlockAck);
    poll();
    counter(DownloadState::AwaitReady) = 0;
    state_ = DownloadState::AwaitReady;
}

void DownloadProcedure::onAwaitLastBlockAck(const ByteBuffer& reply) {
    if (!isAck(reply)) return retry(DownloadState::AwaitLastBlockAck);
    counter(DownloadState::AwaitEndReady) = 0;
    poll();
    state_ = DownloadState::AwaitEndReady;
}

void DownloadProcedure::onAwaitEndReady(const ByteBuffer& reply) {
    if (!isReady(reply)) return retry(DownloadState::AwaitEndReady);  // busy counts here
    send(buildEndFrame());
    counter(DownloadState::AwaitEndAck) = 0;
    state_ = DownloadState::AwaitEndAck;
}

void DownloadProcedure::onAwaitEndAck(const ByteBuffer& reply) {
    if (!isAck(reply)) return retry(DownloadState::AwaitEndAck);
    poll();
    state_ = DownloadState::AwaitResult;
}

void DownloadProcedure::onAwaitResult(const ByteBuffer& reply) {
    const bool good = isResultGood(reply) && carriesUnitCrc(reply);
    const bool flagged = isResultFlagged(reply) && carriesUnitCrc(reply);
    if (!good && !flagged) return poll();  // waited for without limit
    unitCrcHigh_ = reply[unit::kCrcHighIndex];
    unitCrcLow_ = reply[unit::kCrcLowIndex];
    send(buildFrame(UnitCommand::Ack));
    poll();
    state_ = good ? DownloadState::AwaitFinalDisable : DownloadState::AwaitFlaggedDisable;
}

void DownloadProcedure::onAwaitFinalDisable(const ByteBuffer& reply) {
    if (isDisable(reply)) {
        finishDownload();
        view_.showOutcome(endedWith(OutcomeKind::Succeeded, DownloadState::Idle));
        view_.showProgress(download::kStartProgress);
        return;
    }
    if (isResultGood(reply)) return send(buildFrame(UnitCommand::Ack));  // the unit repeats its result
    poll();
}

void DownloadProcedure::onAwaitFlaggedDisable(const ByteBuffer& reply) {
    if (isDisable(reply)) {
        finishDownload();
        view_.showOutcome(endedWith(OutcomeKind::Flagged, DownloadState::Idle));
        return;
    }
    if (isResultFlagged(reply)) return send(buildFrame(UnitCommand::Ack));
    poll();
}

void DownloadProcedure::retry(DownloadState state) {
    std::uint32_t& count = counter(state);
    if (count < download::retryLimitOf(state)) {
        ++count;
        ++retriesUsed_[stateNumber(state) - kFirstCountedState];
        repeatAction(state);
        return;
    }
    finishDownload();
    view_.showOutcome(endedWith(OutcomeKind::GaveUp, state));
}

void DownloadProcedure::repeatAction(DownloadState state) {
    switch (state) {
        case DownloadState::AwaitStartAck: send(buildFrame(UnitCommand::DownloadStart)); break;
        case DownloadState::AwaitFirstBlockAck: sendFirstBlock(); break;
        case DownloadState::AwaitBlockAck: sendBlock(blockOffset_, unit::kBlockSize); break;
        case DownloadState::AwaitLastBlockAck: sendLastBlock(); break;
        case DownloadState::AwaitEndAck: send(buildEndFrame()); break;
        default: poll(); break;  // states 1, 3, 5 and 8 repeat their poll
    }
}

void DownloadProcedure::sendFirstBlock() {
    blockOffset_ = 0;
    blocksDone_ = 0;
    sendBlock(0, unit::kBlockSize);
}

void DownloadProcedure::advanceBlock(bool fromReady) {
    blockOffset_ += unit::kBlockSize;
    ++blocksDone_;
    view_.showProgress(blocksDone_);

    // The block before was not the last one, so at least one byte lies at blockOffset.
    const auto imageSize = static_cast<std::uint32_t>(imageData_.size());
    const std::uint32_t rest = imageSize > blockOffset_ ? imageSize - blockOffset_ : 0;
    if (rest <= unit::kBlockSize) {
        sendLastBlock();
        if (fromReady) counter(DownloadState::AwaitLastBlockAck) = 0;
        state_ = DownloadState::AwaitLastBlockAck;
        return;
    }
    if (isBlankBlock(imageData_.data() + blockOffset_, unit::kBlockSize)) {
        state_ = DownloadState::SkipBlank;
        unit_->resumeAfterBlank();
        return;
    }
    sendBlock(blockOffset_, unit::kBlockSize);
    if (fromReady) counter(DownloadState::AwaitBlockAck) = 0;
    state_ = DownloadState::AwaitBlockAck;
}

void DownloadProcedure::sendBlock(std::uint32_t offset, std::uint32_t count) {
    // Never more than the image holds from `offset` on.
    const std::uint32_t available = blockSizeAt(static_cast<std::uint32_t>(imageData_.size()), offset);
    const std::uint32_t n = count < available ? count : available;
    const std::uint8_t* bytes = n > 0 ? imageData_.data() + offset : nullptr;
    send(buildDataFrame(offset, bytes, n));
}

void DownloadProcedure::sendLastBlock() { sendBlock(blockOffset_, unit::kBlockSize); }

void DownloadProcedure::finishDownload() {
    unit_->stopOwnPolling();
    unit_->close();
    view_.lockControls(false);
    view_.showStatus(status::kCleared);
    state_ = DownloadState::Idle;
    imageData_.clear();
}

DownloadOutcome DownloadProcedure::endedWith(OutcomeKind kind, DownloadState state) const {
    return DownloadOutcome{kind, state, unitCrcHigh_, unitCrcLow_, fileCrc_};
}

void DownloadProcedure::poll() { unit_->requestStatus(); }

void DownloadProcedure::send(const ByteBuffer& frame) { unit_->sendCommand(frame); }
