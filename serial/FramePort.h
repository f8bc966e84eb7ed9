// FramePort: sends a command frame with its check code and collects the unit's checked reply frame.
#pragma once

#include <cstdint>
#include <memory>

#include "ByteBuffer.h"
#include "BytePort.h"
#include "Crc16.h"
#include "FrameSync.h"

namespace frame {
constexpr std::size_t kMaxLength = 255;  // the largest value of the length byte
}  // namespace frame

// Outcome of one exchange with the unit.
enum ExchangeResult : int {
    ExchangeOk = 101,   // a complete reply frame arrived with matching check bytes
    NoReply = 102,      // a byte read ended without a byte before the frame was complete
    CrcMismatch = 105,  // a complete reply frame arrived with wrong check bytes
    SendFailed = 107,   // writing the command frame failed; nothing was read
};

enum class ReceiveState : int { WaitSync = 10, WaitLength = 11, InFrame = 12, Done = 0 };

class FramePort {
public:
    explicit FramePort(std::unique_ptr<BytePort> line);

    bool open(const std::string& portName, std::uint32_t baudRate, std::uint8_t dataBits);
    void close();

    // Appends the check bytes to `command` in place, writes it and reads one reply frame.
    // `reply` receives the frame for ExchangeOk, is emptied for NoReply and CrcMismatch,
    // and stays untouched for SendFailed.
    int exchange(ByteBuffer& command, ByteBuffer& reply);
    bool sendFrame(ByteBuffer& command);
    void receiveFrame();

    // One received byte through the reception state machine.
    void handleByte(std::uint8_t b);
    void beginReception() { receiveState_ = ReceiveState::WaitSync; }

    ReceiveState receiveState() const { return receiveState_; }
    int resultCode() const { return resultCode_; }
    const ByteBuffer& replyFrame() const { return replyFrame_; }

private:
    std::unique_ptr<BytePort> line_;
    std::uint8_t lastByte_ = 0;
    Crc16 crc_;
    ReceiveState receiveState_ = ReceiveState::Done;
    ByteBuffer replyFrame_;
    int byteCount_ = 0;
    int resultCode_ = NoReply;
};
