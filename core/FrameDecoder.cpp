// FrameDecoder: sync, length, then bytes up to the length; the check code runs over all but the last two.
#include "FrameDecoder.h"

#include "UnitFrame.h"

namespace {
constexpr std::size_t kBytesBeforeData = unit::kLengthIndex + 1;  // sync and length
}  // namespace

void FrameDecoder::restart() { stage_ = Stage::WaitSync; }

FrameDecoder::Status FrameDecoder::feed(std::uint8_t byte) {
    switch (stage_) {
    case Stage::WaitSync:
        if (byte == unit::kSync) {
            frame_.setByte(byte);
            crc_.initWith(byte);
            stage_ = Stage::WaitLength;
        }
        break;
    case Stage::WaitLength:
        frame_.append(byte);
        crc_.update(byte);
        count_ = kBytesBeforeData;
        stage_ = Stage::InFrame;
        break;
    case Stage::InFrame: {
        if (count_ > unit::kMaxFrameLength) break;
        ++count_;
        frame_.append(byte);
        const std::size_t length = frame_[unit::kLengthIndex];
        if (length == count_) {
            stage_ = Stage::Done;
            const bool match = frame_[length - 2] == crc_.low() && frame_[length - 1] == crc_.high();
            return match ? Status::Complete : Status::BadCheckBytes;
        }
        if (count_ + unit::kCheckBytes <= length) crc_.update(byte);
        break;
    }
    case Stage::Done:
        break;
    }
    return Status::Collecting;
}
