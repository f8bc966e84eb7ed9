// Icon 128's file: exactly one 32 x 32 image of 16 colours, 4 bits per pixel, with its colour and mask bitmaps.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "TempFolder.h"

namespace {

std::uint32_t le16(const std::string& b, std::size_t at) {
    return static_cast<std::uint8_t>(b[at]) | static_cast<std::uint8_t>(b[at + 1]) << 8;
}
std::uint32_t le32(const std::string& b, std::size_t at) { return le16(b, at) | le16(b, at + 2) << 16; }

TEST(IconFile, OneImageOf32By32With16Colours) {
    const std::string icon = readBytes(QBV_ICON_FILE);
    ASSERT_GE(icon.size(), 22u);
    EXPECT_EQ(le16(icon, 0), 0u);  // reserved
    EXPECT_EQ(le16(icon, 2), 1u);  // icon, not cursor
    ASSERT_EQ(le16(icon, 4), 1u);  // one image
    EXPECT_EQ(static_cast<std::uint8_t>(icon[6]), 32);
    EXPECT_EQ(static_cast<std::uint8_t>(icon[7]), 32);
    EXPECT_EQ(static_cast<std::uint8_t>(icon[8]), 16);
    EXPECT_EQ(le16(icon, 12), 4u);  // bits per pixel

    const std::uint32_t size = le32(icon, 14);
    const std::uint32_t offset = le32(icon, 18);
    ASSERT_EQ(offset + size, icon.size());
    // BITMAPINFOHEADER: 40 bytes, 32 wide, 64 high (colour and mask), 4 bits, uncompressed.
    EXPECT_EQ(le32(icon, offset), 40u);
    EXPECT_EQ(le32(icon, offset + 4), 32u);
    EXPECT_EQ(le32(icon, offset + 8), 64u);
    EXPECT_EQ(le16(icon, offset + 14), 4u);
    EXPECT_EQ(le32(icon, offset + 16), 0u);
    // Header, 16 palette entries, 32 rows of 16 colour bytes, 32 rows of 4 mask bytes.
    EXPECT_EQ(size, 40u + 16 * 4 + 32 * 16 + 32 * 4);
}

TEST(IconFile, HasBothTransparentAndOpaquePixels) {
    const std::string icon = readBytes(QBV_ICON_FILE);
    ASSERT_EQ(icon.size(), 766u);
    const std::string mask = icon.substr(icon.size() - 32 * 4);
    std::size_t clear = 0;
    for (const char byte : mask) {
        for (int bit = 0; bit < 8; ++bit) clear += (static_cast<std::uint8_t>(byte) >> bit) & 1;
    }
    EXPECT_GT(clear, 0u);
    EXPECT_LT(clear, 32u * 32u);
}

}  // namespace
