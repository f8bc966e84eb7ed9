// Host tests: the POSIX serial line and the request dispatch against the virtual unit over a real pty.
#include <gtest/gtest.h>

#include <chrono>

#include "CommDriver.h"
#include "SerialPort.h"
#include "LinkRequests.h"
#include "TextCodec.h"
#include "VirtualUnitProcess.h"

namespace {

using Clock = std::chrono::steady_clock;

const std::string kOk = "COMM_LK207/1.0 200 OK\r\n\r\n";

std::string openText(const std::string& port) {
    return "COMM_LK207/1.0\r\nArgument0: " + port + "\r\nArgument1: 9600\r\nArgument2: 8\r\nMethod: Open\r\n\r\n";
}

std::string commandText(const ByteBuffer& frame) {
    return commandRequest(frame).serialize();
}

// The reply frame of a Command answer, or an empty buffer when the answer is not 200.
ByteBuffer replyOf(const std::string& answer) {
    CommMessage m;
    m.parse(answer);
    ByteBuffer reply;
    if (m.header(comm::kResultCode) == comm::kCodeOk) decodeBase64(m.header(comm::kArgument1), reply);
    return reply;
}

struct Session {
    explicit Session(const std::vector<std::string>& options) : unit(options) {}
    VirtualUnitProcess unit;
    CommDriver driver{[] { return std::make_unique<SerialPort>(); }};

    std::string send(const std::string& text) { return driver.dispatch(text); }
    std::string command(const ByteBuffer& frame) { return send(commandText(frame)); }
};

const ByteBuffer kStatusRequest{0xFC, 0x05, 0x11};

long long millisecondsSince(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

}  // namespace

TEST(PtyLine, StatusRequestGoesOutWithItsCheckBytesAndDisableComesBack) {
    Session s({});
    ASSERT_TRUE(s.unit.ready());
    ASSERT_EQ(s.send(openText(s.unit.linkPath())), kOk);
    const ByteBuffer reply = replyOf(s.command(kStatusRequest));
    ASSERT_EQ(reply.size(), 5u);
    EXPECT_EQ(reply[2], 0x1A);
    EXPECT_EQ(s.send("COMM_LK207/1.0\r\nMethod: Close\r\n\r\n"), kOk);
    EXPECT_EQ(s.unit.stop(), 0);
    EXPECT_NE(s.unit.transcript().find(" IN FC 05 11 27 56\n"), std::string::npos) << s.unit.transcript();
}

TEST(PtyLine, MissingDeviceAnswers401Then107ThenClose) {
    CommDriver driver{[] { return std::make_unique<SerialPort>(); }};
    EXPECT_EQ(driver.dispatch(openText("/tmp/qbv-no-such-line")), "COMM_LK207/1.0 401 Memory Failure\r\n\r\n");
    EXPECT_EQ(driver.dispatch(commandText(kStatusRequest)), "COMM_LK207/1.0 403 Protcol Error\r\nArgument0: 107\r\n\r\n");
    EXPECT_EQ(driver.dispatch("COMM_LK207/1.0\r\nMethod: Close\r\n\r\n"), kOk);
}

TEST(PtyLine, SilentUnitGives102AfterAboutOneSecond) {
    Session s({"--silent"});
    ASSERT_TRUE(s.unit.ready());
    ASSERT_EQ(s.send(openText(s.unit.linkPath())), kOk);
    const Clock::time_point start = Clock::now();
    EXPECT_EQ(s.command(kStatusRequest), "COMM_LK207/1.0 403 Protcol Error\r\nArgument0: 102\r\n\r\n");
    const long long elapsed = millisecondsSince(start);
    EXPECT_GE(elapsed, 950);
    EXPECT_LE(elapsed, 1500);
    RecordProperty("silence_ms", static_cast<int>(elapsed));
}

TEST(PtyLine, CorruptedCheckByteGives105AndNextExchangeRecovers) {
    Session s({"--corrupt-every", "2"});
    ASSERT_TRUE(s.unit.ready());
    ASSERT_EQ(s.send(openText(s.unit.linkPath())), kOk);
    EXPECT_EQ(replyOf(s.command(kStatusRequest)).size(), 5u);
    EXPECT_EQ(s.command(kStatusRequest), "COMM_LK207/1.0 403 Protcol Error\r\nArgument0: 105\r\n\r\n");
    EXPECT_EQ(replyOf(s.command(kStatusRequest)).size(), 5u);
}

TEST(PtyLine, NoiseBeforeRepliesIsDropped) {
    Session s({"--noise", "7"});
    ASSERT_TRUE(s.unit.ready());
    ASSERT_EQ(s.send(openText(s.unit.linkPath())), kOk);
    for (int i = 0; i < 3; ++i) {
        const ByteBuffer reply = replyOf(s.command(kStatusRequest));
        ASSERT_EQ(reply.size(), 5u);
        EXPECT_EQ(reply[0], 0xFC);
        EXPECT_EQ(reply[2], 0x1A);
    }
}

TEST(PtyLine, ExclusiveUseRefusesASecondOpener) {
    Session s({});
    ASSERT_TRUE(s.unit.ready());
    SerialPort first;
    ASSERT_TRUE(first.open(s.unit.linkPath(), 9600, 8));
    SerialPort second;
    EXPECT_FALSE(second.open(s.unit.linkPath(), 9600, 8));
    first.close();
    SerialPort third;
    EXPECT_TRUE(third.open(s.unit.linkPath(), 9600, 8));
}

TEST(PtyLine, ShortDownloadLeavesTheImageInTheUnitAndItsCrcInTheResult) {
    Session s({"--erase-polls", "2", "--write-polls", "1", "--verify-polls", "2"});
    ASSERT_TRUE(s.unit.ready());
    ASSERT_EQ(s.send(openText(s.unit.linkPath())), kOk);

    // Polls until the unit reports `code` (and `flag`, when given), at most `limit` times.
    auto pollUntil = [&](std::uint8_t code, int flag, int limit) {
        for (int i = 0; i < limit; ++i) {
            const ByteBuffer reply = replyOf(s.command(kStatusRequest));
            if (reply.size() > 3 && reply[2] == code && (flag < 0 || reply[3] == flag)) return reply;
        }
        return ByteBuffer{};
    };
    const ByteBuffer ack{0xFC, 0x05, 0x50, 0xAA, 0x05};

    ByteBuffer image;
    for (int i = 0; i < 20; ++i) image.append(static_cast<std::uint8_t>(0x30 + i));
    EXPECT_EQ(replyOf(s.command(ByteBuffer{0xFC, 0x05, 0xD0})), ack);
    EXPECT_FALSE(pollUntil(0xD4, 0x00, 5).empty());
    ByteBuffer data{0xFC, static_cast<std::uint8_t>(image.size() + 9), 0xD1};
    data.append32(0);
    data.append(image);
    EXPECT_EQ(replyOf(s.command(data)), ack);
    EXPECT_FALSE(pollUntil(0xD4, 0x00, 5).empty());
    EXPECT_EQ(replyOf(s.command(ByteBuffer{0xFC, 0x0B, 0xD2, 0, 0, 0, 0, 0, 0})), ack);
    const ByteBuffer result = pollUntil(0xD3, -1, 5);
    ASSERT_EQ(result.size(), 8u);
    const std::uint16_t crc = Crc16::of(image.data(), image.size());
    EXPECT_EQ(result[3], 0x00);
    EXPECT_EQ(result[4], crc & 0xFF);
    EXPECT_EQ(result[5], crc >> 8);
    EXPECT_EQ(replyOf(s.command(ByteBuffer{0xFC, 0x05, 0x50})), ack);
    EXPECT_FALSE(pollUntil(0x1A, -1, 3).empty());
}
