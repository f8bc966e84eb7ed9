// UnitFrame: the frames between the tool and the unit, both ways: their layout, the command and status codes, and the
// block size of a download, each named once.
#pragma once

#include <cstddef>
#include <cstdint>

// Command codes the tool sends.
enum class UnitCommand : std::uint8_t {
    StatusRequest = 0x11,
    DownloadStart = 0xD0,
    DownloadData = 0xD1,
    DownloadEnd = 0xD2,
    Ack = 0x50,
};

namespace unit {
// Layout: sync, length (the whole frame, check bytes included), code, data, check low, check high.
constexpr std::uint8_t kSync = 0xFC;
constexpr std::size_t kLengthIndex = 1;
constexpr std::size_t kCodeIndex = 2;
constexpr std::size_t kDataIndex = 3;                // the first data byte
constexpr std::size_t kFlagIndex = kDataIndex;       // status replies: the flag byte
constexpr std::size_t kOffsetIndex = kDataIndex;     // DownloadData: the 32-bit offset, least significant byte first
constexpr std::size_t kOffsetBytes = 4;
constexpr std::size_t kCrcLowIndex = 4;              // the result status: the unit's CRC
constexpr std::size_t kCrcHighIndex = 5;
constexpr std::uint8_t kCheckBytes = 2;              // CRC-16/KERMIT of the bytes before them, low byte first
constexpr std::size_t kMaxFrameLength = 255;         // the largest value of the length byte
constexpr std::uint8_t kPlainFrameLength = 5;        // sync, length, code, two check bytes
constexpr std::uint8_t kDataFrameOverhead = 9;       // sync, length, code, 4-byte offset, two check bytes
constexpr std::uint8_t kEndFrameLength = 0x0B;       // DownloadEnd: six zero data bytes

// Status codes in the unit's replies, and their flag.
constexpr std::uint8_t kStatusDisable = 0x1A;
constexpr std::uint8_t kStatusReset = 0x40;
constexpr std::uint8_t kStatusAck = 0x50;
constexpr std::uint8_t kStatusDownloadMode = 0xD4;
constexpr std::uint8_t kStatusDownloadResult = 0xD3;
constexpr std::uint8_t kFlagClear = 0x00;            // ready / result good
constexpr std::uint8_t kFlagSet = 0x80;              // busy / result flagged

// A download's blocks.
constexpr std::uint32_t kBlockSize = 246;            // bytes of image per DownloadData frame
constexpr std::uint8_t kBlankByte = 0xFF;            // erased memory

// The line: the tool always opens it with 8 data bits, at one of the rates the unit's link runs at.
constexpr std::uint8_t kDataBits = 8;
constexpr std::uint32_t kBaudRates[] = {9600, 19200, 38400};
}  // namespace unit
