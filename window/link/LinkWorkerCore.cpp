// LinkWorkerCore: one message per turn, at most two polls per turn, every posted buffer owned exactly once.
#include "LinkWorkerCore.h"

#include <cstdint>

#include "PostedBuffer.h"
#include "TextCodec.h"
#include "UnitCommands.h"

bool LinkWorkerCore::take(WorkerMessage message, ByteBuffer* commandBuffer) {
    switch (message) {
    case WorkerMessage::ExitThread:
        return false;
    case WorkerMessage::EnableComm:
        outlet_.debug(linktext::kEnable);
        pollingMode_ = PollingMode::Enabled;
        break;
    case WorkerMessage::DisableComm:
        outlet_.debug(linktext::kDisable);
        pollingMode_ = PollingMode::Disabled;
        break;
    case WorkerMessage::Command:
        outlet_.debug(linktext::kCommand);
        exchangeCommand(commandBuffer);
        break;
    case WorkerMessage::Polling:
        outlet_.debug(linktext::kPolling);
        poll();
        break;
    case WorkerMessage::Other:
        break;  // dropped
    }
    return true;
}

void LinkWorkerCore::pollIfEnabled() {
    if (pollingMode_ == PollingMode::Enabled) poll();
}

void LinkWorkerCore::poll() {
    ByteBuffer frame = buildFrame(UnitCommand::StatusRequest);  // FC 05 11
    if (client_.sendCommand(frame)) {
        postCopy(WindowMessage::StatusUpdate, frame);
    } else if (failureHasDecimalErrorCode()) {
        postCopy(WindowMessage::Alarm, ByteBuffer());
    }
}

void LinkWorkerCore::exchangeCommand(ByteBuffer* posted) {
    if (posted == nullptr) return;  // a Command without a buffer carries no frame: nothing to exchange
    ByteBuffer frame = takeOwnedBuffer(posted);  // the posted buffer is freed here, the worker keeps a copy
    const ByteBuffer sent = frame;
    if (client_.sendCommand(frame)) {
        postCopy(WindowMessage::Response, frame);
    } else if (failureHasDecimalErrorCode()) {
        postCopy(WindowMessage::Alarm, sent);
    }
}

// A "403" answer carries the exchange's reason code; a "401" or an empty answer leaves ErrorCode empty.
bool LinkWorkerCore::failureHasDecimalErrorCode() const {
    std::uint32_t code = 0;
    return fromDecimal(client_.result(driverclient::kErrorCode), code);
}

void LinkWorkerCore::postCopy(WindowMessage message, const ByteBuffer& bytes) {
    ByteBuffer* buffer = allocatePostedBuffer(bytes);
    if (buffer == nullptr) return;                             // nothing to post
    if (!outlet_.post(message, buffer)) freePostedBuffer(buffer);  // the post failed: the buffer is still ours
}
