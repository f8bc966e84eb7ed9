// FrameExchange: the frame channel over a byte port: sends a command frame with its check bytes and collects the
// unit's reply, byte by byte, within the port's read limit.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "BytePort.h"
#include "FrameChannel.h"
#include "FrameDecoder.h"

class FrameExchange : public FrameChannel {
public:
    explicit FrameExchange(std::unique_ptr<BytePort> line);

    bool open(const std::string& portName, std::uint32_t baudRate, std::uint8_t dataBits);
    void close();

    // Reply, NoReply (a read ended without a byte before the frame was whole), BadCheckBytes, SendFailed, or LineGone
    // when the port says its device went away.
    FrameReply exchange(const ByteBuffer& command) override;

private:
    std::unique_ptr<BytePort> line_;
    FrameDecoder decoder_;
};
