// The image file check: a file is an image when its last two bytes hold the CRC-16/KERMIT of the rest, high byte first.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "ByteBuffer.h"

namespace image {
constexpr std::size_t kMinimumSize = 14;    // bytes, the two check bytes included
constexpr std::size_t kCheckBytes = 2;      // at the end of the file, high byte first
constexpr std::uint64_t kMaximumSize = 0xFFFFFFFFu;  // the size is kept as 32-bit unsigned

// What the operator is told about a file that is not loaded (the window's string table holds the first two).
constexpr const char* kOpenErrorText = "File Open Error";
constexpr const char* kMemoryErrorText = "Memory Allocate Error";
constexpr const char* kInvalidCaption = "ERROR: Invalid download file";
constexpr const char* kInvalidText = "Select a valid software.";
}  // namespace image

enum class ImageLoadStatus {
    Ok,
    OpenError,    // the file cannot be opened or read
    MemoryError,  // the file does not fit in memory
    Invalid,      // too short, or its check bytes do not match
};

struct ImageLoad {
    ImageLoadStatus status = ImageLoadStatus::OpenError;
    ByteBuffer imageData;          // the whole file, check bytes included; empty unless Ok
    std::uint32_t imageSize = 0;   // bytes
    std::uint16_t fileCrc = 0;     // CRC over all bytes, check bytes included (the value shown to the operator)
    std::uint32_t blockCount = 0;  // download blocks, the last one rounded up
};

// One line for a file that is not loaded, in the window's words ("" for Ok).
std::string imageProblemText(ImageLoadStatus status);
// Checks bytes already in memory.
ImageLoad checkImage(const std::uint8_t* bytes, std::size_t count);
// Reads the whole file in byte mode, then checks it.
ImageLoad loadImageFile(const std::string& path);
