// The unit's command frames as the tool builds them (without check bytes), block cutting, and the reply tests.
#pragma once

#include <cstddef>
#include <cstdint>

#include "ByteBuffer.h"
#include "UnitFrame.h"

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
