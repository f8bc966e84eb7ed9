// Host tests: the unit command frames byte for byte, block cutting around multiples of 246, reply tests on short replies.
#include <gtest/gtest.h>

#include <vector>

#include "UnitCommands.h"

namespace {
ByteBuffer head(const ByteBuffer& frame, std::size_t n) {
    ByteBuffer out(frame.data(), n);
    return out;
}
}  // namespace

TEST(UnitFrames, PlainFrames) {
    EXPECT_EQ(buildFrame(UnitCommand::StatusRequest), (ByteBuffer{0xFC, 0x05, 0x11}));
    EXPECT_EQ(buildFrame(UnitCommand::DownloadStart), (ByteBuffer{0xFC, 0x05, 0xD0}));
    EXPECT_EQ(buildFrame(UnitCommand::Ack), (ByteBuffer{0xFC, 0x05, 0x50}));
    EXPECT_EQ(buildEndFrame(), (ByteBuffer{0xFC, 0x0B, 0xD2, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00}));
}

TEST(UnitFrames, FullDataBlockAt492) {
    std::vector<std::uint8_t> block(246);
    for (std::size_t i = 0; i < block.size(); ++i) block[i] = static_cast<std::uint8_t>(i * 3);
    const ByteBuffer frame = buildDataFrame(492, block.data(), block.size());
    ASSERT_EQ(frame.size(), 253u);
    EXPECT_EQ(head(frame, 7), (ByteBuffer{0xFC, 0xFF, 0xD1, 0xEC, 0x01, 0x00, 0x00}));
    for (std::size_t i = 0; i < block.size(); ++i) ASSERT_EQ(frame[7 + i], block[i]);
}

TEST(UnitFrames, LastBlockOf100BytesAt24600AndOffsetByteOrder) {
    std::vector<std::uint8_t> block(100, 0xAB);
    const ByteBuffer frame = buildDataFrame(24600, block.data(), block.size());
    ASSERT_EQ(frame.size(), 107u);
    EXPECT_EQ(head(frame, 7), (ByteBuffer{0xFC, 0x6D, 0xD1, 0x18, 0x60, 0x00, 0x00}));
    EXPECT_EQ(head(buildDataFrame(246, block.data(), 1), 8), (ByteBuffer{0xFC, 0x0A, 0xD1, 0xF6, 0x00, 0x00, 0x00, 0xAB}));
    EXPECT_EQ(head(buildDataFrame(0x12345678, block.data(), 1), 7), (ByteBuffer{0xFC, 0x0A, 0xD1, 0x78, 0x56, 0x34, 0x12}));
}

TEST(BlockCutting, CountsAndSizesAroundMultiplesOf246) {
    struct Case { std::uint32_t size, blocks, lastOffset, lastSize; };
    const Case cases[] = {
        {14, 1, 0, 14}, {245, 1, 0, 245}, {246, 1, 0, 246}, {247, 2, 246, 1},
        {491, 2, 246, 245}, {492, 2, 246, 246}, {493, 3, 492, 1}, {24700, 101, 24600, 100},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(blockCountOf(c.size), c.blocks) << c.size;
        EXPECT_EQ(blockSizeAt(c.size, c.lastOffset), c.lastSize) << c.size;
        EXPECT_EQ(blockSizeAt(c.size, c.lastOffset + 246), 0u) << c.size;
        if (c.lastOffset > 0) EXPECT_EQ(blockSizeAt(c.size, c.lastOffset - 246), 246u) << c.size;
    }
    EXPECT_EQ(blockCountOf(0), 0u);
}

TEST(BlockCutting, BlankMeansExactly246BytesOfFF) {
    std::vector<std::uint8_t> block(246, 0xFF);
    EXPECT_TRUE(isBlankBlock(block.data(), block.size()));
    EXPECT_FALSE(isBlankBlock(block.data(), 245));
    block[245] = 0xFE;
    EXPECT_FALSE(isBlankBlock(block.data(), block.size()));
    EXPECT_FALSE(isBlankBlock(nullptr, 246));
}

TEST(ReplyTests, CodesAndFlags) {
    EXPECT_TRUE(isDisable(ByteBuffer{0xFC, 0x05, 0x1A}));
    EXPECT_TRUE(isAck(ByteBuffer{0xFC, 0x05, 0x50, 0xAA, 0x05}));
    EXPECT_TRUE(isReady(ByteBuffer{0xFC, 0x06, 0xD4, 0x00}));
    EXPECT_TRUE(isBusy(ByteBuffer{0xFC, 0x06, 0xD4, 0x80}));
    EXPECT_TRUE(isResultGood(ByteBuffer{0xFC, 0x08, 0xD3, 0x00, 0x34, 0x12}));
    EXPECT_TRUE(isResultFlagged(ByteBuffer{0xFC, 0x08, 0xD3, 0x80, 0x34, 0x12}));
    const ByteBuffer odd{0xFC, 0x06, 0xD4, 0x01};
    EXPECT_FALSE(isReady(odd) || isBusy(odd));
    const ByteBuffer oddResult{0xFC, 0x08, 0xD3, 0x40};
    EXPECT_FALSE(isResultGood(oddResult) || isResultFlagged(oddResult));
    EXPECT_FALSE(isAck(ByteBuffer{0xFC, 0x05, 0x1A}));
}

TEST(ReplyTests, ShortRepliesPassNoTest) {
    for (const ByteBuffer& reply : {ByteBuffer{}, ByteBuffer{0xFC}, ByteBuffer{0xFC, 0x05}, ByteBuffer{0xFC, 0x06, 0xD4},
                                    ByteBuffer{0xFC, 0x08, 0xD3}}) {
        EXPECT_FALSE(isDisable(reply) || isAck(reply) || isReady(reply) || isBusy(reply) || isResultGood(reply) ||
                     isResultFlagged(reply))
            << reply.size();
    }
}
