// Image check: the trailing check CRC, the shown file CRC, the block count, and files that cannot be read.
#include <gtest/gtest.h>

#include <boost/crc.hpp>

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "ImageFile.h"
#include "TempFolder.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

// An independent CRC-16/KERMIT: reflected 0x1021, initial 0, no final XOR.
std::uint16_t kermit(const Bytes& bytes, std::size_t count) {
    boost::crc_optimal<16, 0x1021, 0, 0, true, true> crc;
    crc.process_bytes(bytes.data(), count);
    return crc.checksum();
}

// `payloadSize` bytes of a pattern followed by their check CRC, high byte first.
Bytes validImage(std::size_t payloadSize) {
    Bytes bytes;
    for (std::size_t i = 0; i < payloadSize; ++i) bytes.push_back(static_cast<std::uint8_t>(i * 7 + 3));
    const std::uint16_t check = kermit(bytes, bytes.size());
    bytes.push_back(static_cast<std::uint8_t>(check >> 8));
    bytes.push_back(static_cast<std::uint8_t>(check & 0xFF));
    return bytes;
}

Bytes lettersImage() {
    const std::string letters = "abcdefghijkl";
    Bytes bytes(letters.begin(), letters.end());
    bytes.push_back(0x3C);
    bytes.push_back(0xCC);
    return bytes;
}

std::string asText(const Bytes& bytes) { return std::string(bytes.begin(), bytes.end()); }

TEST(ImageCheck, OracleAgreesWithTheKermitCheckValue) {
    const std::string digits = "123456789";
    EXPECT_EQ(kermit(Bytes(digits.begin(), digits.end()), digits.size()), 0x2189);
}

TEST(ImageCheck, LettersWith3CCCPassAndShow8B87) {
    const Bytes bytes = lettersImage();
    const ImageLoad result = checkImage(bytes.data(), bytes.size());
    ASSERT_EQ(result.status, ImageLoadStatus::Ok);
    EXPECT_EQ(result.fileCrc, 0x8B87);
    EXPECT_EQ(result.imageSize, 14u);
    EXPECT_EQ(result.blockCount, 1u);
    ASSERT_EQ(result.imageData.size(), bytes.size());
    EXPECT_EQ(result.imageData, ByteBuffer(bytes.data(), bytes.size()));
}

TEST(ImageCheck, SwappedCheckBytesFail) {
    Bytes bytes = lettersImage();
    std::swap(bytes[12], bytes[13]);
    const ImageLoad result = checkImage(bytes.data(), bytes.size());
    EXPECT_EQ(result.status, ImageLoadStatus::Invalid);
    EXPECT_TRUE(result.imageData.empty());
}

TEST(ImageCheck, FourteenZerosPassWithCrc0000) {
    const Bytes bytes(14, 0x00);
    const ImageLoad result = checkImage(bytes.data(), bytes.size());
    ASSERT_EQ(result.status, ImageLoadStatus::Ok);
    EXPECT_EQ(result.fileCrc, 0x0000);
}

TEST(ImageCheck, ThirteenBytesFailEvenWithAMatchingCrc) {
    const Bytes bytes = validImage(11);
    ASSERT_EQ(bytes.size(), 13u);
    EXPECT_EQ(checkImage(bytes.data(), bytes.size()).status, ImageLoadStatus::Invalid);
    const Bytes zeros(13, 0x00);
    EXPECT_EQ(checkImage(zeros.data(), zeros.size()).status, ImageLoadStatus::Invalid);
}

TEST(ImageCheck, EmptyInputFails) {
    EXPECT_EQ(checkImage(nullptr, 0).status, ImageLoadStatus::Invalid);
}

TEST(ImageCheck, FileCrcCoversTheCheckBytes) {
    const Bytes bytes = validImage(100);
    const ImageLoad result = checkImage(bytes.data(), bytes.size());
    ASSERT_EQ(result.status, ImageLoadStatus::Ok);
    EXPECT_EQ(result.fileCrc, kermit(bytes, bytes.size()));
    EXPECT_NE(result.fileCrc, kermit(bytes, bytes.size() - 2));
}

TEST(ImageCheck, OneWrongPayloadByteFails) {
    Bytes bytes = validImage(300);
    bytes[150] ^= 0x01;
    EXPECT_EQ(checkImage(bytes.data(), bytes.size()).status, ImageLoadStatus::Invalid);
}

TEST(ImageCheck, BlockCountRoundsUpAt246Bytes) {
    const Bytes exact = validImage(244);
    ASSERT_EQ(exact.size(), 246u);
    EXPECT_EQ(checkImage(exact.data(), exact.size()).blockCount, 1u);
    const Bytes oneMore = validImage(245);
    EXPECT_EQ(checkImage(oneMore.data(), oneMore.size()).blockCount, 2u);
    const Bytes twoBlocks = validImage(490);
    EXPECT_EQ(checkImage(twoBlocks.data(), twoBlocks.size()).blockCount, 2u);
}

TEST(ImageFileLoad, ReadsTheWholeFileInByteMode) {
    TempFolder folder;
    ASSERT_TRUE(folder.valid());
    Bytes bytes = validImage(1000);
    bytes[10] = '\r';  // line-end bytes must pass through untouched
    bytes[11] = '\n';
    bytes[12] = 0x1A;
    const std::uint16_t check = kermit(bytes, bytes.size() - 2);
    bytes[bytes.size() - 2] = static_cast<std::uint8_t>(check >> 8);
    bytes[bytes.size() - 1] = static_cast<std::uint8_t>(check & 0xFF);
    const std::string path = folder.file("image.bin");
    writeBytes(path, asText(bytes));

    const ImageLoad result = loadImageFile(path);
    ASSERT_EQ(result.status, ImageLoadStatus::Ok);
    EXPECT_EQ(result.imageSize, 1002u);
    EXPECT_EQ(result.blockCount, 5u);
    EXPECT_EQ(result.imageData, ByteBuffer(bytes.data(), bytes.size()));
}

TEST(ImageFileLoad, LettersFileFromDiskShows8B87) {
    TempFolder folder;
    const std::string path = folder.file("letters.bin");
    writeBytes(path, asText(lettersImage()));
    const ImageLoad result = loadImageFile(path);
    ASSERT_EQ(result.status, ImageLoadStatus::Ok);
    EXPECT_EQ(result.fileCrc, 0x8B87);
}

TEST(ImageFileLoad, LargerThanOneReadChunk) {
    TempFolder folder;
    const Bytes bytes = validImage(200000);
    const std::string path = folder.file("big.bin");
    writeBytes(path, asText(bytes));
    const ImageLoad result = loadImageFile(path);
    ASSERT_EQ(result.status, ImageLoadStatus::Ok);
    EXPECT_EQ(result.imageSize, 200002u);
    EXPECT_EQ(result.blockCount, 814u);  // 813 full blocks and 8 bytes
}

TEST(ImageFileLoad, MissingFileIsAnOpenError) {
    TempFolder folder;
    const ImageLoad result = loadImageFile(folder.file("absent.bin"));
    EXPECT_EQ(result.status, ImageLoadStatus::OpenError);
    EXPECT_TRUE(result.imageData.empty());
}

TEST(ImageFileLoad, UnreadableFileIsAnOpenError) {
    TempFolder folder;
    const std::string path = folder.file("a-folder");
    std::filesystem::create_directory(path);  // opens, but reading fails
    EXPECT_EQ(loadImageFile(path).status, ImageLoadStatus::OpenError);
}

TEST(ImageFileLoad, ShortFileIsInvalid) {
    TempFolder folder;
    const std::string path = folder.file("short.bin");
    writeBytes(path, std::string(13, '\0'));
    EXPECT_EQ(loadImageFile(path).status, ImageLoadStatus::Invalid);
}

}  // namespace
