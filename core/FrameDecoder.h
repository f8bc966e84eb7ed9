// FrameDecoder: collects the unit's reply frame from the bytes of the line, one byte at a time, and judges its check
// bytes. No I/O: the caller reads the line and feeds what arrives.
#pragma once

#include <cstdint>

#include "ByteBuffer.h"
#include "Crc16.h"

class FrameDecoder {
public:
    enum class Status {
        Collecting,     // no whole frame yet: feed the next byte
        Complete,       // frame() holds a whole frame with matching check bytes
        BadCheckBytes,  // frame() holds a whole frame whose check bytes do not match
    };

    // Forgets what was collected: the next frame begins at the next sync byte.
    void restart();
    // Bytes before a sync byte are passed over. A length byte below 3 never completes a frame; once more bytes than
    // the longest frame have come, further bytes are only counted as dropped, so the frame stays bounded. After a
    // whole frame, bytes are ignored until restart().
    Status feed(std::uint8_t byte);

    // The bytes collected since the sync byte; the whole frame once feed() answered Complete or BadCheckBytes.
    const ByteBuffer& frame() const { return frame_; }

private:
    enum class Stage { WaitSync, WaitLength, InFrame, Done };

    Stage stage_ = Stage::WaitSync;
    ByteBuffer frame_;
    Crc16 crc_;
    std::size_t count_ = 0;  // bytes of the frame so far, dropped ones included
};
