// Fuzz target: the reply reception over a line that delivers the input bytes and then falls silent.
#include <cstdint>
#include <cstdlib>

#include "FakeBytePort.h"
#include "FramePort.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    auto line = std::make_shared<FakeLineState>();
    line->incoming.assign(data, data + size);
    FramePort port(std::make_unique<FakeBytePort>(line));
    // Exchanges until the line is used up, as successive polls would.
    for (int round = 0; round < 64 && !line->incoming.empty(); ++round) {
        ByteBuffer command{0xFC, 0x05, 0x11};
        ByteBuffer reply;
        const int result = port.exchange(command, reply);
        if (port.replyFrame().size() > frame::kMaxLength + 1) std::abort();
        switch (result) {
        case ExchangeOk: {
            if (reply.size() < 3 || reply[0] != frame::kSync || reply[1] != reply.size()) std::abort();
            const std::uint16_t crc = Crc16::of(reply.data(), reply.size() - 2);
            if (reply.size() >= 5 && (reply[reply.size() - 2] != (crc & 0xFF) || reply[reply.size() - 1] != (crc >> 8)))
                std::abort();
            break;
        }
        case NoReply:
        case CrcMismatch:
            if (!reply.empty()) std::abort();
            break;
        default:
            std::abort();
        }
    }
    return 0;
}
