// Host tests: the unit's command frames byte for byte, block cutting around multiples of 246, and the reply tests.
#include <gtest/gtest.h>

#include "TextCodec.h"
#include "UnitCommands.h"

TEST(UnitCommands, FramesByteForByte) {
    EXPECT_EQ(buildFrame(UnitCommand::StatusRequest), (ByteBuffer{0xFC, 0x05, 0x11}));
    EXPECT_EQ(buildFrame(UnitCommand::DownloadStart), (ByteBuffer{0xFC, 0x05, 0xD0}));
    EXPECT_EQ(buildFrame(UnitCommand::Ack), (ByteBuffer{0xFC, 0x05, 0x50}));
    EXPECT_EQ(buildEndFrame(), (ByteBuffer{0xFC, 0x0B, 0xD2, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00}));
    ByteBuffer block, full{0xFC, 0xFF, 0xD1, 0xEC, 0x01, 0x00, 0x00}, last{0xFC, 0x6D, 0xD1, 0x18, 0x60, 0x00, 0x00};
    for (int i = 0; i < 246; ++i) block.append(static_cast<std::uint8_t>(i * 3));
    full.append(block);
    last.append(block.data(), 100);
    EXPECT_EQ(buildDataFrame(492, block.data(), 246), full);
    EXPECT_EQ(buildDataFrame(24600, block.data(), 100), last);
    EXPECT_EQ(hexDump(buildDataFrame(0x12345678, block.data(), 1)), "FC 0A D1 78 56 34 12 00 ");
}

TEST(UnitCommands, BlockCuttingAroundMultiplesOf246AndTheBlankRule) {
    struct Case { std::uint32_t size, blocks, lastOffset, lastSize; };
    for (const Case& c : {Case{14, 1, 0, 14}, {245, 1, 0, 245}, {246, 1, 0, 246}, {247, 2, 246, 1}, {491, 2, 246, 245},
                          {492, 2, 246, 246}, {493, 3, 492, 1}, {24700, 101, 24600, 100}}) {
        EXPECT_EQ(blockCountOf(c.size), c.blocks) << c.size;
        EXPECT_EQ(blockSizeAt(c.size, c.lastOffset), c.lastSize) << c.size;
        EXPECT_EQ(blockSizeAt(c.size, c.lastOffset + 246), 0u) << c.size;
        if (c.lastOffset > 0) EXPECT_EQ(blockSizeAt(c.size, c.lastOffset - 246), 246u) << c.size;
    }
    EXPECT_EQ(blockCountOf(0), 0u);
    std::vector<std::uint8_t> blank(246, 0xFF), almost(blank);
    almost[245] = 0xFE;
    EXPECT_TRUE(isBlankBlock(blank.data(), 246));
    EXPECT_FALSE(isBlankBlock(blank.data(), 245) || isBlankBlock(nullptr, 246) || isBlankBlock(almost.data(), 246));
}

TEST(UnitCommands, ReplyTestsReadCodeAndFlagAndFailOnShortReplies) {
    bool (*const tests[])(const ByteBuffer&) = {isDisable, isAck, isReady, isBusy, isResultGood, isResultFlagged};
    const std::pair<ByteBuffer, int> replies[] = {  // bit i: tests[i] holds
        {{0xFC, 0x05, 0x1A}, 1}, {{0xFC, 0x05, 0x50, 0xAA, 0x05}, 2}, {{0xFC, 0x06, 0xD4, 0x00}, 4},
        {{0xFC, 0x06, 0xD4, 0x80}, 8}, {{0xFC, 0x08, 0xD3, 0x00, 0x34, 0x12}, 16}, {{0xFC, 0x08, 0xD3, 0x80}, 32},
        {{0xFC, 0x06, 0xD4, 0x01}, 0}, {{0xFC, 0x08, 0xD3, 0x40}, 0}, {{0xFC, 0x05, 0x40}, 0}, {{}, 0}, {{0xFC}, 0},
        {{0xFC, 0x05}, 0}, {{0xFC, 0x06, 0xD4}, 0}, {{0xFC, 0x08, 0xD3}, 0}};
    for (const auto& [reply, holds] : replies)
        for (int i = 0; i < 6; ++i) EXPECT_EQ(tests[i](reply), (holds >> i & 1) == 1) << i << " on " << hexDump(reply);
}
