// Fuzz target: the image check on any bytes; it accepts exactly the files of at least 14 bytes whose last two bytes
// are the CRC of the rest, high byte first, and then reports their size, FILE-CRC and block count.
#include <cstdint>
#include <cstdlib>

#include "Crc16.h"
#include "ImageFile.h"
#include "UnitCommands.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const ImageLoad load = checkImage(data, size);
    bool valid = size >= image::kMinimumSize;
    if (valid) {
        const std::uint16_t check = Crc16::of(data, size - 2);
        valid = data[size - 2] == (check >> 8) && data[size - 1] == (check & 0xFF);
    }
    if (valid != (load.status == ImageLoadStatus::Ok)) std::abort();
    if (!valid) return load.imageData.empty() ? 0 : (std::abort(), 0);
    if (load.imageSize != size || load.imageData != ByteBuffer(data, size)) std::abort();
    if (load.fileCrc != Crc16::of(data, size) || load.blockCount != (size + unit::kBlockSize - 1) / unit::kBlockSize) {
        std::abort();
    }
    return 0;
}
