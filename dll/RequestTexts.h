// RequestTexts: the three request texts the tool sends to the driver library (Open, Close, Command), and the reason
// codes by which an answer names a failed exchange.
#pragma once

#include <cstdint>
#include <string>

#include "ByteBuffer.h"
#include "CommMessage.h"
#include "FrameChannel.h"

namespace comm {
// Reason codes in Argument0 of a "403" answer to a Command.
constexpr std::uint32_t kReasonReply = 101;          // never sent: a reply is answered "200"
constexpr std::uint32_t kReasonNoReply = 102;
constexpr std::uint32_t kReasonBadCheckBytes = 105;
constexpr std::uint32_t kReasonSendFailed = 107;
constexpr std::uint32_t kReasonUnknown = 0;          // no serial line gives it
}  // namespace comm

CommMessage openRequest(const std::string& portName, std::uint32_t baudRate);
CommMessage closeRequest();
// The frame's byte count, its base64 and its hex dump.
CommMessage commandRequest(const ByteBuffer& frame);

// The reason code of an exchange's result.
std::uint32_t reasonCodeOf(ExchangeResult result);
// What the reason code of a failed Command's answer names: a plain decimal number is a failed exchange (one this tool
// does not know: OtherFailure); anything else, the empty text included, means nothing was exchanged (Refused).
ExchangeResult failureOfReason(const std::string& reasonCode);
