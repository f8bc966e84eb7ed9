// The unit's command frames as the tool builds them (without check bytes), block cutting, and the reply tests.
#pragma once

#include <cstddef>
#include <cstdint>

#include "ByteBuffer.h"
#include "FrameSync.h"

// Command codes the tool sends.
enum class UnitCommand : std::uint8_t {
    StatusRequest = 0x11,
    DownloadStart = 0xD0,
    DownloadData = 0xD1,
    DownloadEnd = 0xD2,
    Ack = 0x50,
};

namespace unit {
constexpr std::uint8_t kCheckBytes = 2;
constexpr std::uint8_t kPlainFrameLength = 5;        // sync, length, code, two check bytes
constexpr std::uint8_t kDataFrameOverhead = 9;       // sync, length, code, 4-byte offset, two check bytes
constexpr std::uint8_t kEndFrameLength = 0x0B;       // DownloadEnd: six zero data bytes
constexpr std::uint32_t kBlockSize = 246;            // bytes of image per DownloadData frame
constexpr std::uint8_t kBlankByte = 0xFF;            // erased memory

// Status codes in byte 2 of the unit's replies, and the flag in byte 3.
constexpr std::uint8_t kStatusDisable = 0x1A;
constexpr std::uint8_t kStatusReset = 0x40;
constexpr std::uint8_t kStatusAck = 0x50;
constexpr std::uint8_t kStatusDownloadMode = 0xD4;
constexpr std::uint8_t kStatusDownloadResult = 0xD3;
constexpr std::uint8_t kFlagClear = 0x00;            // ready / result good
constexpr std::uint8_t kFlagSet = 0x80;              // busy / result flagged

constexpr std::size_t kCodeIndex = 2;
constexpr std::size_t kFlagIndex = 3;
constexpr std::size_t kCrcLowIndex = 4;
constexpr std::size_t kCrcHighIndex = 5;
}  // namespace unit

// A frame without data: StatusRequest, DownloadStart or Ack.
ByteBuffer buildFrame(UnitCommand command);
// DownloadData: offset least significant byte first, then 1..246 block bytes; length byte n + 9.
ByteBuffer buildDataFrame(std::uint32_t offset, const std::uint8_t* block, std::size_t count);
// The offset a DownloadData frame carries (with or without check bytes); false for any other or too short a frame.
bool dataFrameOffset(const std::uint8_t* frame, std::size_t size, std::uint32_t& offset);
// DownloadEnd: a 32-bit and a 16-bit field, both zero.
ByteBuffer buildEndFrame();

// Blocks of 246 bytes, the last one rounded up.
std::uint32_t blockCountOf(std::uint32_t imageSize);
// The number of image bytes in the block at `offset`: 246, fewer for the block that reaches the end, 0 past it.
std::uint32_t blockSizeAt(std::uint32_t imageSize, std::uint32_t offset);
// True for a block of exactly 246 bytes, every one 0xFF.
bool isBlankBlock(const std::uint8_t* block, std::size_t count);

// Reply tests on byte 2 (code) and byte 3 (flag); false for a reply too short to hold them.
bool isDisable(const ByteBuffer& reply);
bool isAck(const ByteBuffer& reply);
bool isReady(const ByteBuffer& reply);
bool isBusy(const ByteBuffer& reply);
bool isResultGood(const ByteBuffer& reply);
bool isResultFlagged(const ByteBuffer& reply);
