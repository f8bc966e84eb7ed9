// Host tests of the frame exchange over a scripted line: the check bytes it adds, the reply it takes from noise, and
// each reason it names when there is none.
#include <gtest/gtest.h>

#include "Crc16.h"
#include "FakeBytePort.h"
#include "FrameExchange.h"

namespace {
using Bytes = std::vector<std::uint8_t>;
const Bytes kAck{0xFC, 0x05, 0x50, 0xAA, 0x05};

struct Exchanged {
    FrameReply reply;
    std::size_t unread;  // bytes the line still holds afterwards
};

// Sends 00 99 on a fresh line that answers `incoming`.
Exchanged exchangeWith(const Bytes& incoming, bool writes = true) {
    auto line = std::make_shared<FakeLineState>();
    line->queue(incoming);
    line->writeSucceeds = writes;
    FrameExchange exchange{std::make_unique<FakeBytePort>(line)};
    const FrameReply reply = exchange.exchange(ByteBuffer{0x00, 0x99});
    EXPECT_EQ(line->written, (writes ? Bytes{0x00, 0x99, 0x48, 0x09} : Bytes{})) << "as given, check bytes low first";
    return {reply, line->incoming.size()};
}

Bytes operator+(Bytes a, const Bytes& b) { a.insert(a.end(), b.begin(), b.end()); return a; }
}  // namespace

TEST(FrameExchange, TakesTheReplyAfterNoiseAndNamesWhyThereIsNone) {
    Bytes longest{0xFC, 0xFF, 0xD3};
    for (int i = 0; i < 250; ++i) longest.push_back(static_cast<std::uint8_t>(i * 7));
    const std::uint16_t crc = Crc16::of(longest.data(), longest.size());
    longest.insert(longest.end(), {static_cast<std::uint8_t>(crc & 0xFF), static_cast<std::uint8_t>(crc >> 8)});
    const Bytes syncInData{0xFC, 0x09, 0xD3, 0xFC, 0xFC, 0x05, 0xFC, 0x90, 0x6B};
    const struct { Bytes incoming; ExchangeResult result; Bytes reply; std::size_t unread; } rows[] = {
        {Bytes{0x00, 0x13, 0xFF} + kAck, ExchangeResult::Reply, kAck, 0},  // bytes before the sync are passed over
        {syncInData, ExchangeResult::Reply, syncInData, 0},
        {longest + kAck, ExchangeResult::Reply, longest, 5},                // reading stops at the end of the frame
        {{0xFC, 0x05, 0x50, 0xAB, 0x05, 0xFC, 0x05}, ExchangeResult::BadCheckBytes, {}, 2},
        {{0xFC, 0x05, 0x50, 0xAA, 0x04, 0xFC, 0x05}, ExchangeResult::BadCheckBytes, {}, 2},
        {{0xFC, 0x03, 0x77, 0x01}, ExchangeResult::BadCheckBytes, {}, 1},
        {Bytes{0xFC, 0x00} + Bytes(10000, 0x55), ExchangeResult::NoReply, {}, 0},  // a length below 3 never ends
        {Bytes{0xFC, 0x01} + Bytes(10000, 0x55), ExchangeResult::NoReply, {}, 0},
        {Bytes{0xFC, 0x02} + Bytes(10000, 0x55), ExchangeResult::NoReply, {}, 0},
    };
    for (const auto& row : rows) {
        const Exchanged e = exchangeWith(row.incoming);
        EXPECT_EQ(e.reply.result, row.result) << &row - rows;
        EXPECT_EQ(e.reply.frame, ByteBuffer(row.reply.data(), row.reply.size())) << &row - rows;
        EXPECT_EQ(e.unread, row.unread) << &row - rows;
    }
    for (std::size_t cut = 0; cut < kAck.size(); ++cut) {  // silence before the frame is whole
        EXPECT_EQ(exchangeWith(Bytes(kAck.begin(), kAck.begin() + cut)).reply.result, ExchangeResult::NoReply) << cut;
    }
    const Exchanged unsent = exchangeWith(kAck, false);
    EXPECT_EQ(unsent.reply.result, ExchangeResult::SendFailed);
    EXPECT_EQ(unsent.unread, kAck.size()) << "nothing is read after a failed write";
}
