// The image file check: reading the file, the trailing check CRC, the file CRC and the block count.
#include "ImageFile.h"

#include <cstdio>
#include <new>
#include <vector>

#include "Crc16.h"
#include "UnitCommands.h"

namespace {
constexpr std::size_t kReadChunk = 64 * 1024;  // bytes per fread
constexpr unsigned kHighByteShift = 8;
constexpr std::uint16_t kLowByteMask = 0xFF;

ImageLoad failed(ImageLoadStatus status) {
    ImageLoad result;
    result.status = status;
    return result;
}
}  // namespace

std::string imageProblemText(ImageLoadStatus status) {
    switch (status) {
        case ImageLoadStatus::OpenError: return image::kOpenErrorText;
        case ImageLoadStatus::MemoryError: return image::kMemoryErrorText;
        case ImageLoadStatus::Invalid: return std::string(image::kInvalidCaption) + ": " + image::kInvalidText;
        case ImageLoadStatus::Ok: break;
    }
    return "";
}

ImageLoad checkImage(const std::uint8_t* bytes, std::size_t count) {
    if (count < image::kMinimumSize) return failed(ImageLoadStatus::Invalid);
    if (count > image::kMaximumSize) return failed(ImageLoadStatus::MemoryError);
    const std::size_t payload = count - image::kCheckBytes;
    const std::uint16_t check = Crc16::of(bytes, payload);
    if (bytes[payload] != (check >> kHighByteShift) || bytes[payload + 1] != (check & kLowByteMask)) {
        return failed(ImageLoadStatus::Invalid);
    }
    ImageLoad result;
    try {
        result.imageData.append(bytes, count);
    } catch (const std::bad_alloc&) {
        return failed(ImageLoadStatus::MemoryError);
    }
    result.status = ImageLoadStatus::Ok;
    result.imageSize = static_cast<std::uint32_t>(count);
    result.fileCrc = Crc16::of(bytes, count);
    result.blockCount = blockCountOf(result.imageSize);
    return result;
}

ImageLoad loadImageFile(const std::string& path) {
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) return failed(ImageLoadStatus::OpenError);
    std::vector<std::uint8_t> bytes;
    bool readFailed = false;
    try {
        std::vector<std::uint8_t> chunk(kReadChunk);
        std::size_t got = 0;
        while ((got = std::fread(chunk.data(), 1, chunk.size(), file)) > 0) {
            if (bytes.size() + got > image::kMaximumSize) {
                std::fclose(file);
                return failed(ImageLoadStatus::MemoryError);
            }
            bytes.insert(bytes.end(), chunk.begin(), chunk.begin() + static_cast<std::ptrdiff_t>(got));
        }
        readFailed = std::ferror(file) != 0;
    } catch (const std::bad_alloc&) {
        std::fclose(file);
        return failed(ImageLoadStatus::MemoryError);
    }
    std::fclose(file);
    if (readFailed) return failed(ImageLoadStatus::OpenError);
    return checkImage(bytes.data(), bytes.size());
}
