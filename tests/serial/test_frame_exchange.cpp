// Host tests of the frame exchange over a scripted line: the check bytes it adds, the reply it takes from noise, and
// each reason it names when there is none.
#include <gtest/gtest.h>

#include "Crc16.h"
#include "FakeBytePort.h"
#include "FrameExchange.h"

namespace {
using Bytes = std::vector<std::uint8_t>;
Bytes operator+(Bytes a, const Bytes& b) { a.insert(a.end(), b.begin(), b.end()); return a; }
const Bytes kAck{0xFC, 0x05, 0x50, 0xAA, 0x05};
}  // namespace

TEST(FrameExchange, TakesTheReplyAfterNoiseAndNamesWhyThereIsNone) {
    Bytes longest{0xFC, 0xFF, 0xD3};
    for (int i = 0; i < 250; ++i) longest.push_back(static_cast<std::uint8_t>(i * 7));
    const std::uint16_t crc = Crc16::of(longest.data(), longest.size());
    longest = longest + Bytes{static_cast<std::uint8_t>(crc & 0xFF), static_cast<std::uint8_t>(crc >> 8)};
    const Bytes syncInData{0xFC, 0x09, 0xD3, 0xFC, 0xFC, 0x05, 0xFC, 0x90, 0x6B};
    const struct { Bytes incoming; bool writes; ExchangeResult result; Bytes reply; std::size_t unread;
                   bool gone = false; } rows[] = {
        {Bytes{0x00, 0x13, 0xFF} + kAck, true, ExchangeResult::Reply, kAck, 0},  // bytes before the sync: passed over
        {syncInData, true, ExchangeResult::Reply, syncInData, 0},
        {longest + kAck, true, ExchangeResult::Reply, longest, 5},               // reading stops at the frame's end
        {{0xFC, 0x05, 0x50, 0xAB, 0x05, 0xFC, 0x05}, true, ExchangeResult::BadCheckBytes, {}, 2},
        {{0xFC, 0x05, 0x50, 0xAA, 0x04, 0xFC, 0x05}, true, ExchangeResult::BadCheckBytes, {}, 2},
        {{0xFC, 0x03, 0x77, 0x01}, true, ExchangeResult::BadCheckBytes, {}, 1},
        {Bytes{0xFC, 0x02} + Bytes(10000, 0x55), true, ExchangeResult::NoReply, {}, 0},  // a length below 3 never ends
        {{0xFC, 0x05, 0x50, 0xAA}, true, ExchangeResult::NoReply, {}, 0},                  // silence before the end
        {kAck, false, ExchangeResult::SendFailed, {}, 5},                        // nothing is read after a failed write
        {{}, false, ExchangeResult::LineGone, {}, 0, true},  // a line whose device went away is named so at the write,
        {{}, true, ExchangeResult::LineGone, {}, 0, true},   // or at the read
    };
    for (const auto& row : rows) {
        auto line = std::make_shared<FakeLineState>();
        line->queue(row.incoming);
        line->writeSucceeds = row.writes;
        line->gone = row.gone;
        const FrameReply reply = FrameExchange{std::make_unique<FakeBytePort>(line)}.exchange(ByteBuffer{0x00, 0x99});
        EXPECT_EQ(line->written, (row.writes ? Bytes{0x00, 0x99, 0x48, 0x09} : Bytes{})) << "check bytes low first";
        EXPECT_EQ(reply.result, row.result) << &row - rows;
        EXPECT_EQ(reply.frame, ByteBuffer(row.reply.data(), row.reply.size())) << &row - rows;
        EXPECT_EQ(line->incoming.size(), row.unread) << &row - rows;
    }
}
