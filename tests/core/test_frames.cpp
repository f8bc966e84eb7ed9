// Host tests of the core's bytes and frames: byte order, the check code, hex and decimal texts, the unit's command
// frames byte for byte, block cutting around multiples of 246, the reply tests, and what an exchange answers.
#include <gtest/gtest.h>

#include <boost/crc.hpp>

#include "Crc16.h"
#include "TextCodec.h"
#include "UnitAnswer.h"
#include "UnitCommands.h"

TEST(ByteBuffer, AppendsLowByteFirst) {
    ByteBuffer b{0xFC};
    b.append16(0x1234);
    b.append32(0x12345678);
    EXPECT_EQ(b, (ByteBuffer{0xFC, 0x34, 0x12, 0x78, 0x56, 0x34, 0x12}));
    b.truncate(8);  // never grows
    EXPECT_EQ(b.size(), 7u);
}


// The check value pins the parameters; the oracle over 1,500 lengths of one stream reaches every entry of the tables.
TEST(Crc16, CheckValueAndOracle) {
    EXPECT_EQ(Crc16::of(reinterpret_cast<const std::uint8_t*>("123456789"), 9), 0x2189);
    std::vector<std::uint8_t> data;
    for (int n = 0; n < 1500; ++n, data.push_back(static_cast<std::uint8_t>(n * n * 31 + n / 7))) {
        boost::crc_optimal<16, 0x1021, 0, 0, true, true> oracle;
        oracle.process_bytes(data.data(), data.size());
        ASSERT_EQ(Crc16::of(data.data(), data.size()), oracle.checksum()) << "length " << n;
    }
}


TEST(TextCodec, HexDumpAndPlainDecimalsOnly) {
    EXPECT_EQ(hexDump(ByteBuffer{0xFC, 0x0a, 0x00}) + "|" + hexDump(ByteBuffer{}), "FC 0A 00 |");
    EXPECT_EQ(toDecimal(0) + " " + toDecimal(102) + " " + toDecimal(4294967295u), "0 102 4294967295");
    std::uint32_t v = 77;
    EXPECT_TRUE(fromDecimal("9600", v) && v == 9600u && fromDecimal("4294967295", v) && v == 4294967295u);
    for (const char* bad : {"", "-1", "+1", " 8", "8 ", "96 00", "x", "0x10", "1e3", "4294967296", "99999999999"}) {
        EXPECT_FALSE(fromDecimal(bad, v = 77)) << '"' << bad << '"';
        EXPECT_EQ(v, 77u) << "untouched by \"" << bad << '"';
    }
}


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

TEST(UnitAnswer, AReplyIsTheInputAFailureAnAlarmARefusalNothing) {
    using Kind = UnitAnswer::Kind;
    const ByteBuffer sent{0xFC, 0x0C, 0xD1, 0xF6, 0x00, 0x00, 0x00, 0x11}, ack{0xFC, 0x05, 0x50, 0xAA, 0x05};
    const auto answer = [&](UnitRequest request, ExchangeResult result) {
        const UnitAnswer a = answerTo(request, sent, {result, result == ExchangeResult::Reply ? ack : ByteBuffer()});
        return std::pair{a.kind, a.bytes};
    };
    EXPECT_EQ(answer(UnitRequest::StatusPoll, ExchangeResult::Reply), std::pair(Kind::StatusUpdate, ack));
    EXPECT_EQ(answer(UnitRequest::Command, ExchangeResult::Reply), std::pair(Kind::Response, ack));
    for (const ExchangeResult failed : {ExchangeResult::NoReply, ExchangeResult::BadCheckBytes,
                                        ExchangeResult::SendFailed, ExchangeResult::OtherFailure}) {
        EXPECT_EQ(answer(UnitRequest::StatusPoll, failed), std::pair(Kind::Alarm, ByteBuffer()));  // empty
        EXPECT_EQ(answer(UnitRequest::Command, failed), std::pair(Kind::Alarm, sent));  // the frame handed back
    }
    for (const UnitRequest request : {UnitRequest::StatusPoll, UnitRequest::Command})
        EXPECT_EQ(answer(request, ExchangeResult::Refused), std::pair(Kind::None, ByteBuffer()));  // the unit stalls
}
