// Host tests: sending a frame with its check bytes and the byte-by-byte reply reception over a scripted line.
#include <gtest/gtest.h>

#include <vector>

#include "FakeBytePort.h"
#include "FramePort.h"

namespace {

std::vector<std::uint8_t> withCheck(std::vector<std::uint8_t> bytes) {
    const std::uint16_t crc = Crc16::of(bytes.data(), bytes.size());
    bytes.push_back(static_cast<std::uint8_t>(crc & 0xFF));
    bytes.push_back(static_cast<std::uint8_t>(crc >> 8));
    return bytes;
}

ByteBuffer bufferOf(const std::vector<std::uint8_t>& v) {
    return ByteBuffer(v.data(), v.size());
}

struct Line {
    std::shared_ptr<FakeLineState> state = std::make_shared<FakeLineState>();
    FramePort port{std::make_unique<FakeBytePort>(state)};

    int exchange(ByteBuffer command, ByteBuffer& reply) { return port.exchange(command, reply); }
    int statusRequest(ByteBuffer& reply) { return exchange(ByteBuffer{0xFC, 0x05, 0x11}, reply); }
};

}  // namespace

TEST(FramePortSend, AppendsCheckBytesLowFirstAndWritesOnce) {
    Line line;
    line.state->queue({0xFC, 0x05, 0x50, 0xAA, 0x05});
    ByteBuffer command{0xFC, 0x05, 0x11};
    ByteBuffer reply;
    EXPECT_EQ(line.port.exchange(command, reply), ExchangeOk);
    EXPECT_EQ(command, (ByteBuffer{0xFC, 0x05, 0x11, 0x27, 0x56}));  // appended in place
    EXPECT_EQ(line.state->written, (std::vector<std::uint8_t>{0xFC, 0x05, 0x11, 0x27, 0x56}));
    EXPECT_EQ(reply, (ByteBuffer{0xFC, 0x05, 0x50, 0xAA, 0x05}));
}

TEST(FramePortSend, BytesGoOutAsGivenEvenWithAWrongLengthByte) {
    Line line;
    ByteBuffer reply{0x01};
    line.exchange(ByteBuffer{0x00, 0x99}, reply);
    EXPECT_EQ(line.state->written, withCheck({0x00, 0x99}));
}

TEST(FramePortSend, WriteFailureReadsNothingAndLeavesReplyUntouched) {
    Line line;
    line.state->writeSucceeds = false;
    line.state->queue({0xFC, 0x05, 0x50, 0xAA, 0x05});
    ByteBuffer reply{0x42};
    EXPECT_EQ(line.statusRequest(reply), SendFailed);
    EXPECT_EQ(reply, (ByteBuffer{0x42}));
    EXPECT_EQ(line.state->reads, 0);
    EXPECT_EQ(line.state->incoming.size(), 5u);
}

TEST(FramePortReceive, NoiseBeforeTheSyncByteIsDropped) {
    Line line;
    line.state->queue({0x00, 0x13, 0xFF});
    line.state->queue({0xFC, 0x05, 0x50, 0xAA, 0x05});
    ByteBuffer reply;
    EXPECT_EQ(line.statusRequest(reply), ExchangeOk);
    EXPECT_EQ(reply, (ByteBuffer{0xFC, 0x05, 0x50, 0xAA, 0x05}));
}

TEST(FramePortReceive, SyncByteInsideDataIsAnOrdinaryByte) {
    Line line;
    const auto frame = withCheck({0xFC, 0x09, 0xD3, 0xFC, 0xFC, 0x05, 0xFC});
    line.state->queue(frame);
    ByteBuffer reply;
    EXPECT_EQ(line.statusRequest(reply), ExchangeOk);
    EXPECT_EQ(reply, bufferOf(frame));
}

TEST(FramePortReceive, WrongCheckByteGivesMismatchAndEmptiesReply) {
    for (int which : {3, 4}) {
        Line line;
        std::vector<std::uint8_t> frame{0xFC, 0x05, 0x50, 0xAA, 0x05};
        frame[which] ^= 0x01;
        line.state->queue(frame);
        line.state->queue({0xFC, 0x05});  // what follows stays for the next exchange
        ByteBuffer reply{0x42};
        EXPECT_EQ(line.statusRequest(reply), CrcMismatch);
        EXPECT_TRUE(reply.empty());
        EXPECT_EQ(line.state->incoming.size(), 2u);
    }
}

TEST(FramePortReceive, SilenceAtAnyPointGivesNoReply) {
    for (std::size_t cut = 0; cut < 5; ++cut) {
        Line line;
        const std::vector<std::uint8_t> frame{0xFC, 0x05, 0x50, 0xAA, 0x05};
        line.state->queue(std::vector<std::uint8_t>(frame.begin(), frame.begin() + static_cast<long>(cut)));
        ByteBuffer reply{0x42};
        EXPECT_EQ(line.statusRequest(reply), NoReply) << "cut after " << cut;
        EXPECT_TRUE(reply.empty());
        EXPECT_EQ(line.port.receiveState(), ReceiveState::Done);
    }
}

TEST(FramePortReceive, LengthByteThreeCompletesAtTheThirdByte) {
    Line line;
    line.state->queue({0xFC, 0x03, 0x77, 0x01});
    ByteBuffer reply;
    EXPECT_EQ(line.statusRequest(reply), CrcMismatch);
    EXPECT_EQ(line.state->incoming.size(), 1u);  // the byte after the short frame is not read
}

TEST(FramePortReceive, LengthBytesBelowThreeNeverCompleteAndStayBounded) {
    for (std::uint8_t length : {0, 1, 2}) {
        Line line;
        line.state->queue({0xFC, length});
        line.state->queue(std::vector<std::uint8_t>(10000, 0x55));  // a line streaming noise
        ByteBuffer reply;
        EXPECT_EQ(line.statusRequest(reply), NoReply);
        EXPECT_TRUE(reply.empty());
        EXPECT_EQ(line.state->incoming.size(), 0u) << "every byte is read until the line is silent";
        EXPECT_LE(line.port.replyFrame().size(), frame::kMaxLength + 1);
    }
}

TEST(FramePortReceive, LongestFrameIsReceivedWhole) {
    std::vector<std::uint8_t> frame{0xFC, 0xFF, 0xD3};
    for (int i = 0; i < 250; ++i) frame.push_back(static_cast<std::uint8_t>(i * 7));
    frame = withCheck(frame);
    ASSERT_EQ(frame.size(), 255u);
    Line line;
    line.state->queue(frame);
    line.state->queue({0xFC, 0x05, 0x50, 0xAA, 0x05});
    ByteBuffer reply;
    EXPECT_EQ(line.statusRequest(reply), ExchangeOk);
    EXPECT_EQ(reply, bufferOf(frame));
    // The next exchange finds the following frame already waiting: the input is never purged.
    EXPECT_EQ(line.statusRequest(reply), ExchangeOk);
    EXPECT_EQ(reply, (ByteBuffer{0xFC, 0x05, 0x50, 0xAA, 0x05}));
}

TEST(FramePortReceive, LeftoverOfAnAbandonedFrameIsExaminedFirst) {
    Line line;
    line.state->queue({0xFC, 0x08});  // a reply cut short by silence
    ByteBuffer reply;
    EXPECT_EQ(line.statusRequest(reply), NoReply);
    // Its rest arrives late, followed by the next reply: the rest holds no sync byte and is dropped.
    line.state->queue({0xD3, 0x00, 0x34, 0x12});
    line.state->queue(withCheck({0xFC, 0x05, 0x1A}));
    EXPECT_EQ(line.statusRequest(reply), ExchangeOk);
    EXPECT_EQ(reply[2], 0x1A);
}
