// FramePort: the frame send and the byte-by-byte reply reception of one exchange with the unit.
#include "FramePort.h"

#include <utility>

FramePort::FramePort(std::unique_ptr<BytePort> line) : line_(std::move(line)) {}

bool FramePort::open(const std::string& portName, std::uint32_t baudRate, std::uint8_t dataBits) {
    return line_ && line_->open(portName, baudRate, dataBits);
}

void FramePort::close() {
    if (line_) line_->close();
}

int FramePort::exchange(ByteBuffer& command, ByteBuffer& reply) {
    if (!sendFrame(command)) return SendFailed;
    beginReception();
    receiveFrame();
    if (resultCode_ == ExchangeOk) {
        reply = replyFrame_;
    } else {
        reply.clear();
    }
    return resultCode_;
}

bool FramePort::sendFrame(ByteBuffer& command) {
    Crc16 crc;
    crc.update(command.data(), command.size());
    command.append(crc.low());
    command.append(crc.high());
    return line_ && line_->writeBytes(command.data(), static_cast<std::uint32_t>(command.size()));
}

void FramePort::receiveFrame() {
    while (receiveState_ != ReceiveState::Done) {
        if (!line_ || !line_->readByte(lastByte_)) {
            resultCode_ = NoReply;
            receiveState_ = ReceiveState::Done;
            return;
        }
        handleByte(lastByte_);
    }
}

void FramePort::handleByte(std::uint8_t b) {
    switch (receiveState_) {
    case ReceiveState::WaitSync:
        if (b == frame::kSync) {
            replyFrame_.setByte(b);
            crc_.initWith(b);
            receiveState_ = ReceiveState::WaitLength;
        }
        break;
    case ReceiveState::WaitLength:
        replyFrame_.append(b);
        crc_.update(b);
        byteCount_ = 2;
        receiveState_ = ReceiveState::InFrame;
        break;
    case ReceiveState::InFrame: {
        // A length byte below 3 never completes a frame; once more bytes than the longest frame
        // have come, further bytes are only counted as dropped, so the collection stays bounded.
        if (byteCount_ > static_cast<int>(frame::kMaxLength)) break;
        ++byteCount_;
        replyFrame_.append(b);
        const int length = replyFrame_[1];
        if (length == byteCount_) {
            const bool match = replyFrame_[length - 2] == crc_.low() && replyFrame_[length - 1] == crc_.high();
            resultCode_ = match ? ExchangeOk : CrcMismatch;
            receiveState_ = ReceiveState::Done;
        } else if (byteCount_ <= length - 2) {
            crc_.update(b);
        }
        break;
    }
    case ReceiveState::Done:
        break;
    }
}
