// The Open, Close and Command request messages with their headers filled in, and the reason codes both ways.
#include "RequestTexts.h"

#include "Base64.h"
#include "TextCodec.h"
#include "UnitFrame.h"

CommMessage openRequest(const std::string& portName, std::uint32_t baudRate) {
    CommMessage m(comm::kProtocolToken);
    m.header(comm::kMethod) = comm::kMethodOpen;
    m.header(comm::kArgument0) = portName;
    m.header(comm::kArgument1) = toDecimal(baudRate);
    m.header(comm::kArgument2) = toDecimal(unit::kDataBits);
    return m;
}

CommMessage closeRequest() {
    CommMessage m(comm::kProtocolToken);
    m.header(comm::kMethod) = comm::kMethodClose;
    return m;
}

CommMessage commandRequest(const ByteBuffer& frame) {
    CommMessage m(comm::kProtocolToken);
    m.header(comm::kMethod) = comm::kMethodCommand;
    m.header(comm::kArgument0) = toDecimal(static_cast<std::uint32_t>(frame.size()));
    m.header(comm::kArgument1) = encodeBase64(frame);
    m.header(comm::kArgument2) = hexDump(frame);
    return m;
}

std::uint32_t reasonCodeOf(ExchangeResult result) {
    switch (result) {
    case ExchangeResult::Reply: return comm::kReasonReply;
    case ExchangeResult::NoReply: return comm::kReasonNoReply;
    case ExchangeResult::BadCheckBytes: return comm::kReasonBadCheckBytes;
    case ExchangeResult::SendFailed: return comm::kReasonSendFailed;
    case ExchangeResult::LineGone: return comm::kReasonNoReply;  // the window's library names no such reason
    case ExchangeResult::OtherFailure:
    case ExchangeResult::Refused: break;
    }
    return comm::kReasonUnknown;
}

ExchangeResult failureOfReason(const std::string& reasonCode) {
    std::uint32_t code = 0;
    if (!fromDecimal(reasonCode, code)) return ExchangeResult::Refused;
    switch (code) {
    case comm::kReasonNoReply: return ExchangeResult::NoReply;
    case comm::kReasonBadCheckBytes: return ExchangeResult::BadCheckBytes;
    case comm::kReasonSendFailed: return ExchangeResult::SendFailed;
    default: return ExchangeResult::OtherFailure;
    }
}
