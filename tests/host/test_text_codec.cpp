// Host tests: base64 both ways with its tolerant decoding rules, the hex dump and the decimal rules.
#include <gtest/gtest.h>

#include <random>

#include "TextCodec.h"

namespace {
ByteBuffer decoded(const std::string& text) {
    ByteBuffer out;
    decodeBase64(text, out);
    return out;
}
}  // namespace

TEST(Base64, EncodesWorkedExamplesAndFill) {
    EXPECT_EQ(encodeBase64(ByteBuffer{0xFC, 0x05, 0x11}), "/AUR");
    EXPECT_EQ(encodeBase64(ByteBuffer{0xFC, 0x05, 0x50, 0xAA, 0x05}), "/AVQqgU=");
    EXPECT_EQ(encodeBase64(ByteBuffer{}), "");
    EXPECT_EQ(encodeBase64(ByteBuffer{'f'}), "Zg==");
    EXPECT_EQ(encodeBase64(ByteBuffer{'f', 'o'}), "Zm8=");
    EXPECT_EQ(encodeBase64(ByteBuffer{0xFF, 0xFF, 0xFE}), "///+");
}

TEST(Base64, LengthIsFourPerStartedGroupOfThree) {
    ByteBuffer b;
    for (int n = 0; n <= 253; ++n) {
        EXPECT_EQ(encodeBase64(b).size(), 4u * ((b.size() + 2) / 3));
        b.append(static_cast<std::uint8_t>(n));
    }
    EXPECT_EQ(encodeBase64(b).size(), 340u);  // a 254-byte frame
}

TEST(Base64, DecodesAndRoundTripsRandomData) {
    EXPECT_EQ(decoded("/AVQqgU="), (ByteBuffer{0xFC, 0x05, 0x50, 0xAA, 0x05}));
    std::mt19937 rng(7);
    for (int round = 0; round < 200; ++round) {
        ByteBuffer b;
        for (int i = static_cast<int>(rng() % 300); i > 0; --i) b.append(static_cast<std::uint8_t>(rng()));
        ASSERT_EQ(decoded(encodeBase64(b)), b);
    }
}

TEST(Base64, LeftoverCharactersAreIgnored) {
    EXPECT_EQ(decoded("/AURx"), (ByteBuffer{0xFC, 0x05, 0x11}));
    EXPECT_EQ(decoded("/AURxy"), (ByteBuffer{0xFC, 0x05, 0x11}));
    EXPECT_EQ(decoded("/AURxyz"), (ByteBuffer{0xFC, 0x05, 0x11}));
    EXPECT_EQ(decoded("abc"), ByteBuffer{});
    EXPECT_EQ(decoded(""), ByteBuffer{});
}

TEST(Base64, FillAndForeignCharactersCountAsZero) {
    // Every "=" in a processed group shortens the output by one, wherever it stands.
    EXPECT_EQ(decoded("=AUR"), (ByteBuffer{0x00, 0x05}));
    EXPECT_EQ(decoded("/A=R"), (ByteBuffer{0xFC, 0x00}));
    EXPECT_EQ(decoded("===="), ByteBuffer{});
    EXPECT_EQ(decoded("Zg==Zg=="), (ByteBuffer{'f', 0x00}));  // 6 bytes less 4 fills, cut at the end
    EXPECT_EQ(decoded(" AUR"), (ByteBuffer{0x00, 0x05, 0x11}));
    EXPECT_EQ(decoded("/A.R"), (ByteBuffer{0xFC, 0x00, 0x11}));
    EXPECT_EQ(decoded("\xFF\xFF\xFF\xFF"), (ByteBuffer{0x00, 0x00, 0x00}));
}

TEST(Base64, DecodingAppendsToWhatIsThere) {
    ByteBuffer out{0x01};
    decodeBase64("Zg==", out);
    EXPECT_EQ(out, (ByteBuffer{0x01, 'f'}));
}

TEST(HexDump, TwoUpperCaseDigitsAndASpacePerByte) {
    EXPECT_EQ(hexDump(ByteBuffer{0xFC, 0x05, 0x11}), "FC 05 11 ");
    EXPECT_EQ(hexDump(ByteBuffer{0x0a, 0x00}), "0A 00 ");
    EXPECT_EQ(hexDump(ByteBuffer{}), "");
}

TEST(Decimal, WritesPlainDigits) {
    EXPECT_EQ(toDecimal(0), "0");
    EXPECT_EQ(toDecimal(102), "102");
    EXPECT_EQ(toDecimal(4294967295u), "4294967295");
}

TEST(Decimal, ReadsOnlyPlainDigits) {
    std::uint32_t v = 77;
    EXPECT_TRUE(fromDecimal("9600", v));
    EXPECT_EQ(v, 9600u);
    EXPECT_TRUE(fromDecimal("4294967295", v));
    EXPECT_EQ(v, 4294967295u);
    for (const char* bad : {"", "-1", "+1", " 8", "8 ", "96 00", "x", "0x10", "1e3", "4294967296", "99999999999"}) {
        v = 77;
        EXPECT_FALSE(fromDecimal(bad, v)) << '"' << bad << '"';
        EXPECT_EQ(v, 77u) << '"' << bad << '"';
    }
}
