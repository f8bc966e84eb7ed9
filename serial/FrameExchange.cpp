// FrameExchange: the frame with its check bytes goes out in one write; the reply is read until it is whole or the
// line falls silent.
#include "FrameExchange.h"

#include <utility>

#include "Crc16.h"

FrameExchange::FrameExchange(std::unique_ptr<BytePort> line) : line_(std::move(line)) {}

bool FrameExchange::open(const std::string& portName, std::uint32_t baudRate, std::uint8_t dataBits) {
    return line_ && line_->open(portName, baudRate, dataBits);
}

void FrameExchange::close() {
    if (line_) line_->close();
}

FrameReply FrameExchange::exchange(const ByteBuffer& command) {
    ByteBuffer frame = command;
    Crc16 crc;
    crc.update(frame.data(), frame.size());
    frame.append(crc.low());
    frame.append(crc.high());
    if (!line_ || !line_->writeBytes(frame.data(), static_cast<std::uint32_t>(frame.size()))) {
        return {line_ && line_->gone() ? ExchangeResult::LineGone : ExchangeResult::SendFailed, ByteBuffer()};
    }

    decoder_.restart();
    for (std::uint8_t byte = 0; line_->readByte(byte);) {
        switch (decoder_.feed(byte)) {
        case FrameDecoder::Status::Collecting: break;
        case FrameDecoder::Status::Complete: return {ExchangeResult::Reply, decoder_.frame()};
        case FrameDecoder::Status::BadCheckBytes: return {ExchangeResult::BadCheckBytes, ByteBuffer()};
        }
    }
    return {line_->gone() ? ExchangeResult::LineGone : ExchangeResult::NoReply, ByteBuffer()};
}
