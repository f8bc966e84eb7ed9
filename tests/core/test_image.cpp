// Host tests of the image check: the file's own CRC, its size limits, its blocks, and reading the file whole.
#include <gtest/gtest.h>

#include "Crc16.h"
#include "ImageFile.h"
#include "TempFolder.h"

TEST(ImageFile, CheckBytesFileCrcBlocksAndReading) {
    const auto check = [](const std::string& b) { return checkImage(bytesOf(b), b.size()); };
    const auto image = [](const std::string& p) {  // followed by its check CRC, high byte first
        return p + char(Crc16::of(bytesOf(p), p.size()) >> 8) + char(Crc16::of(bytesOf(p), p.size()));
    };
    EXPECT_EQ(check("abcdefghijkl\x3C\xCC").fileCrc, 0x8B87);  // over all 14 bytes, the check bytes included
    EXPECT_EQ(check("abcdefghijkl\xCC\x3C").status, ImageLoadStatus::Invalid);
    EXPECT_EQ(check(std::string(14, '\0')).status, ImageLoadStatus::Ok);  // the smallest image
    EXPECT_EQ(check(image(std::string(11, 'a'))).status, ImageLoadStatus::Invalid);  // 13 bytes, their CRC matching
    EXPECT_EQ(check(image(std::string(244, 'a'))).blockCount, 1u);
    EXPECT_EQ(check(image(std::string(245, 'a'))).blockCount, 2u);
    TempFolder dir;
    const std::string raw = image("\r\n\x1A" + std::string(200000, 'z'));  // line-end bytes, more than one read chunk
    writeFile(dir / "image.bin", raw);
    EXPECT_EQ(loadImageFile(dir / "image.bin").imageData, ByteBuffer(bytesOf(raw), raw.size()));
    for (const std::string& path : {dir / "absent.bin", dir.path.string()})  // the folder opens, but cannot be read
        EXPECT_EQ(loadImageFile(path).status, ImageLoadStatus::OpenError) << path;
}
