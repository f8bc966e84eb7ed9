// UnitAnswer: which of the procedure's inputs an exchange becomes.
#include "UnitAnswer.h"

#include "UnitCommands.h"

UnitAnswer answerTo(UnitRequest request, const ByteBuffer& sent, const FrameReply& reply) {
    using Kind = UnitAnswer::Kind;
    const bool isPoll = request == UnitRequest::StatusPoll;
    switch (reply.result) {
    case ExchangeResult::Reply:
        return {isPoll ? Kind::StatusUpdate : Kind::Response, reply.frame};
    case ExchangeResult::NoReply:
    case ExchangeResult::BadCheckBytes:
    case ExchangeResult::SendFailed:
    case ExchangeResult::LineGone:
    case ExchangeResult::OtherFailure:
        return {Kind::Alarm, isPoll ? ByteBuffer() : sent};
    case ExchangeResult::Refused:
        break;
    }
    return {Kind::None, ByteBuffer()};
}

UnitAnswer answerToPoll(FrameChannel& channel) {
    const ByteBuffer frame = buildFrame(UnitCommand::StatusRequest);
    return answerTo(UnitRequest::StatusPoll, frame, channel.exchange(frame));
}

UnitAnswer answerToCommand(FrameChannel& channel, const ByteBuffer& frame) {
    return answerTo(UnitRequest::Command, frame, channel.exchange(frame));
}
