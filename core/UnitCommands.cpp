// Frame building, block cutting and reply tests for the download.
#include "UnitCommands.h"

namespace {

ByteBuffer frameHead(std::uint8_t length, UnitCommand command) {
    ByteBuffer frame;
    frame.append(unit::kSync);
    frame.append(length);
    frame.append(static_cast<std::uint8_t>(command));
    return frame;
}

bool codeAndFlag(const ByteBuffer& reply, std::uint8_t code, int flag) {
    if (reply.size() <= unit::kCodeIndex || reply[unit::kCodeIndex] != code) return false;
    if (flag < 0) return true;
    return reply.size() > unit::kFlagIndex && reply[unit::kFlagIndex] == flag;
}

constexpr int kAnyFlag = -1;

}  // namespace

ByteBuffer buildFrame(UnitCommand command) {
    return frameHead(unit::kPlainFrameLength, command);
}

ByteBuffer buildDataFrame(std::uint32_t offset, const std::uint8_t* block, std::size_t count) {
    ByteBuffer frame = frameHead(static_cast<std::uint8_t>(count + unit::kDataFrameOverhead), UnitCommand::DownloadData);
    frame.append32(offset);
    frame.append(block, count);
    return frame;
}

bool dataFrameOffset(const std::uint8_t* frame, std::size_t size, std::uint32_t& offset) {
    constexpr unsigned kBitsPerByte = 8;
    if (size < unit::kOffsetIndex + sizeof offset ||
        frame[unit::kCodeIndex] != static_cast<std::uint8_t>(UnitCommand::DownloadData)) {
        return false;
    }
    offset = 0;
    for (std::size_t i = 0; i < sizeof offset; ++i) {
        offset |= static_cast<std::uint32_t>(frame[unit::kOffsetIndex + i]) << (kBitsPerByte * i);
    }
    return true;
}

ByteBuffer buildEndFrame() {
    ByteBuffer frame = frameHead(unit::kEndFrameLength, UnitCommand::DownloadEnd);
    frame.append32(0);
    frame.append16(0);
    return frame;
}

std::uint32_t blockCountOf(std::uint32_t imageSize) {
    return imageSize / unit::kBlockSize + (imageSize % unit::kBlockSize != 0 ? 1 : 0);
}

std::uint32_t blockSizeAt(std::uint32_t imageSize, std::uint32_t offset) {
    if (offset >= imageSize) return 0;
    const std::uint32_t rest = imageSize - offset;
    return rest < unit::kBlockSize ? rest : unit::kBlockSize;
}

bool isBlankBlock(const std::uint8_t* block, std::size_t count) {
    if (block == nullptr || count != unit::kBlockSize) return false;
    for (std::size_t i = 0; i < count; ++i) {
        if (block[i] != unit::kBlankByte) return false;
    }
    return true;
}

bool isDisable(const ByteBuffer& reply) { return codeAndFlag(reply, unit::kStatusDisable, kAnyFlag); }
bool isAck(const ByteBuffer& reply) { return codeAndFlag(reply, unit::kStatusAck, kAnyFlag); }
bool isReady(const ByteBuffer& reply) { return codeAndFlag(reply, unit::kStatusDownloadMode, unit::kFlagClear); }
bool isBusy(const ByteBuffer& reply) { return codeAndFlag(reply, unit::kStatusDownloadMode, unit::kFlagSet); }
bool isResultGood(const ByteBuffer& reply) { return codeAndFlag(reply, unit::kStatusDownloadResult, unit::kFlagClear); }
bool isResultFlagged(const ByteBuffer& reply) { return codeAndFlag(reply, unit::kStatusDownloadResult, unit::kFlagSet); }
