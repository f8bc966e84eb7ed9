// LinkWorkerCore: one message per turn, at most two polls per turn, every posted buffer owned exactly once.
#include "LinkWorkerCore.h"

#include "PostedBuffer.h"

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

void LinkWorkerCore::poll() { post(answerToPoll(channel_)); }

void LinkWorkerCore::exchangeCommand(ByteBuffer* posted) {
    if (posted == nullptr) return;  // a Command without a buffer carries no frame: nothing to exchange
    const ByteBuffer frame = takeOwnedBuffer(posted);  // the posted buffer is freed here, the worker keeps a copy
    post(answerToCommand(channel_, frame));
}

void LinkWorkerCore::post(const UnitAnswer& answer) {
    WindowMessage message = WindowMessage::Alarm;
    switch (answer.kind) {
    case UnitAnswer::Kind::StatusUpdate: message = WindowMessage::StatusUpdate; break;
    case UnitAnswer::Kind::Response: message = WindowMessage::Response; break;
    case UnitAnswer::Kind::Alarm: message = WindowMessage::Alarm; break;
    case UnitAnswer::Kind::None: return;  // nothing to post
    }
    ByteBuffer* buffer = allocatePostedBuffer(answer.bytes);
    if (buffer == nullptr) return;                                 // nothing to post
    if (!outlet_.post(message, buffer)) freePostedBuffer(buffer);  // the post failed: the buffer is still ours
}
