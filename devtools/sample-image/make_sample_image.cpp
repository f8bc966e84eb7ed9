// make-sample-image: writes a firmware-like image for demos and tests: payload with runs of blank blocks, then its check CRC.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "Crc16.h"
#include "ImageFile.h"
#include "UnitFrame.h"

namespace {

constexpr unsigned kBlankRunEvery = 7;          // every 7th stretch of blocks is a blank run
constexpr unsigned kBlankRunBlocks = 5;         // blocks in one blank run

int usage() {
    std::fprintf(stderr, "usage: make-sample-image OUTPUT SIZE_BYTES [SEED]\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) return usage();
    char* end = nullptr;
    const unsigned long long size = std::strtoull(argv[2], &end, 10);
    if (*end != '\0' || size < image::kMinimumSize || size > (64ull << 20)) return usage();
    const unsigned seed = argc > 3 ? static_cast<unsigned>(std::strtoul(argv[3], nullptr, 10)) : 2026;

    std::mt19937 rng(seed);
    std::vector<std::uint8_t> image(static_cast<std::size_t>(size));
    const std::size_t payload = image.size() - 2;
    for (std::size_t offset = 0; offset < payload; offset += unit::kBlockSize) {
        const std::size_t block = offset / unit::kBlockSize;
        // Blank runs in the middle of the image, never in the first block.
        const bool blank = block > 0 && (block / kBlankRunBlocks) % kBlankRunEvery == kBlankRunEvery - 1;
        for (std::size_t i = offset; i < payload && i < offset + unit::kBlockSize; ++i) {
            image[i] = blank ? unit::kBlankByte : static_cast<std::uint8_t>(rng());
        }
    }
    const std::uint16_t crc = Crc16::of(image.data(), payload);
    image[payload] = static_cast<std::uint8_t>(crc >> 8);      // stored high byte first
    image[payload + 1] = static_cast<std::uint8_t>(crc & 0xFF);

    std::ofstream out(argv[1], std::ios::binary);
    out.write(reinterpret_cast<const char*>(image.data()), static_cast<std::streamsize>(image.size()));
    if (!out) {
        std::fprintf(stderr, "cannot write %s\n", argv[1]);
        return 1;
    }
    std::printf("%s: %llu bytes, %zu blocks, file CRC %04X\n", argv[1], size,
                (image.size() + unit::kBlockSize - 1) / unit::kBlockSize,
                Crc16::of(image.data(), image.size()));
    return 0;
}
