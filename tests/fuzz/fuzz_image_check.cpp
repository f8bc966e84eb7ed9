// Fuzz target: the image check on any bytes; it accepts exactly the files of at least 14 bytes whose last two bytes
// are the CRC of the rest, high byte first, and then keeps them whole (their FILE-CRC and block count are the host
// tests' to check: here they would only be summed again as the check sums them).
#include <cstdint>
#include <cstdlib>

#include "Crc16.h"
#include "ImageFile.h"

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
    return 0;
}
