// Host tests: ByteBuffer operations and Crc16 against its tables, its check value and an independent CRC oracle.
#include <gtest/gtest.h>

#include <boost/crc.hpp>
#include <random>
#include <vector>

#include "ByteBuffer.h"
#include "Crc16.h"

TEST(ByteBuffer, AppendsValuesLowByteFirst) {
    ByteBuffer b;
    EXPECT_TRUE(b.empty());
    EXPECT_EQ(b.data(), nullptr);
    b.append(std::uint8_t{0xFC});
    b.append16(0x1234);
    b.append32(0x00006018);
    const std::uint8_t more[] = {0xAA, 0xBB};
    b.append(more, 2);
    EXPECT_EQ(b, (ByteBuffer{0xFC, 0x34, 0x12, 0x18, 0x60, 0x00, 0x00, 0xAA, 0xBB}));
}

TEST(ByteBuffer, SetTruncateClearAndCopy) {
    ByteBuffer b{1, 2, 3, 4};
    ByteBuffer copy = b;
    b.truncate(2);
    EXPECT_EQ(b, (ByteBuffer{1, 2}));
    b.truncate(10);  // never grows
    EXPECT_EQ(b.size(), 2u);
    b.setByte(0xFC);
    EXPECT_EQ(b, (ByteBuffer{0xFC}));
    b.clear();
    EXPECT_EQ(b.size(), 0u);
    EXPECT_EQ(copy, (ByteBuffer{1, 2, 3, 4}));
    EXPECT_EQ(copy.byteAt(3), 4);
    EXPECT_EQ(copy.byteAt(4, 0xEE), 0xEE);
}

TEST(Crc16, TableEntriesAndCheckValue) {
    auto entry = [](int i) { return Crc16::THigh[i] << 8 | Crc16::TLow[i]; };
    EXPECT_EQ(entry(0), 0x0000);
    EXPECT_EQ(entry(1), 0x1189);
    EXPECT_EQ(entry(2), 0x2312);
    EXPECT_EQ(entry(128), 0x8408);
    EXPECT_EQ(entry(255), 0x0F78);
    const std::uint8_t digits[] = {'1', '2', '3', '4', '5', '6', '7', '8', '9'};
    EXPECT_EQ(Crc16::of(digits, sizeof digits), 0x2189);
}

TEST(Crc16, WorkedFrameExamples) {
    struct Case { std::vector<std::uint8_t> bytes; std::uint8_t low, high; };
    const Case cases[] = {
        {{0xFC, 0x05, 0x11}, 0x27, 0x56},
        {{0xFC, 0x05, 0x50}, 0xAA, 0x05},
        {{0xFC, 0x05, 0xD0}, 0xA2, 0x81},
    };
    for (const Case& c : cases) {
        Crc16 crc;
        crc.initWith(c.bytes[0]);
        crc.update(c.bytes.data() + 1, c.bytes.size() - 1);
        EXPECT_EQ(crc.low(), c.low);
        EXPECT_EQ(crc.high(), c.high);
    }
}

TEST(Crc16, AgreesWithIndependentOracleOnRandomData) {
    std::mt19937 rng(20261206);
    for (int round = 0; round < 500; ++round) {
        std::vector<std::uint8_t> data(rng() % 600);
        for (auto& b : data) b = static_cast<std::uint8_t>(rng());
        boost::crc_optimal<16, 0x1021, 0, 0, true, true> oracle;
        oracle.process_bytes(data.data(), data.size());
        ASSERT_EQ(Crc16::of(data.data(), data.size()), oracle.checksum()) << "length " << data.size();
    }
}

TEST(Crc16, ResetStartsOver) {
    Crc16 crc;
    crc.update(0x42);
    crc.reset();
    EXPECT_EQ(crc.value(), 0);
    crc.initWith(0xFC);
    EXPECT_EQ(crc.value(), Crc16::of(reinterpret_cast<const std::uint8_t*>("\xFC"), 1));
}
