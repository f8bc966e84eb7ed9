// Fuzz target: the frame decoder fed the input bytes, restarted after each frame as successive exchanges restart it.
// A frame it calls whole is as long as its length byte says, and its check bytes match exactly when it says so; the
// frame it collects never outgrows the longest frame by more than one byte.
#include <cstdint>
#include <cstdlib>

#include "Crc16.h"
#include "FrameDecoder.h"
#include "UnitFrame.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FrameDecoder decoder;
    for (std::size_t i = 0; i < size; ++i) {
        const FrameDecoder::Status status = decoder.feed(data[i]);
        const ByteBuffer& frame = decoder.frame();
        if (frame.size() > unit::kMaxFrameLength + 1) std::abort();
        if (status == FrameDecoder::Status::Collecting) continue;
        if (frame.size() < 3 || frame[0] != unit::kSync || frame[unit::kLengthIndex] != frame.size()) std::abort();
        const std::uint16_t crc = Crc16::of(frame.data(), frame.size() - unit::kCheckBytes);
        const bool match = frame[frame.size() - 2] == (crc & 0xFF) && frame[frame.size() - 1] == (crc >> 8);
        if (match != (status == FrameDecoder::Status::Complete)) std::abort();
        decoder.restart();
    }
    return 0;
}
