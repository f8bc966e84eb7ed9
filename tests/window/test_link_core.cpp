// Host tests of the window's link core: the worker's decisions per message and turn over a scripted frame channel,
// the messages it posts, and every posted buffer freed exactly once.
#include <gtest/gtest.h>

#include <deque>
#include <utility>

#include "LinkWorkerCore.h"
#include "PostedBuffer.h"
#include "TextCodec.h"

namespace {
using Texts = std::vector<std::string>;
using R = ExchangeResult;
const ByteBuffer kStatusRequest{0xFC, 0x05, 0x11}, kDisable{0xFC, 0x05, 0x1A, 0xF4, 0xE8},
                 kAck{0xFC, 0x05, 0x50, 0xAA, 0x05};

// The unit's side: answers from `replies` in order (NoReply once they run out), every frame sent kept.
struct ScriptedChannel : FrameChannel {
    std::deque<FrameReply> replies;
    std::vector<ByteBuffer> sent;
    FrameReply exchange(const ByteBuffer& command) override {
        sent.push_back(command);
        if (replies.empty()) return {R::NoReply, {}};
        const FrameReply reply = replies.front();
        replies.pop_front();
        return reply;
    }
};

// The window: takes each posted buffer over like the dialog does ("S", "R" or "A" and the bytes), or refuses posts.
struct Outlet : LinkOutlet {
    bool accepts = true;
    Texts posts, debugTexts;
    bool post(WindowMessage message, ByteBuffer* buffer) override {
        if (accepts) posts.push_back("SRA"[static_cast<int>(message)] + (":" + hexDump(takeOwnedBuffer(buffer))));
        return accepts;
    }
    void debug(const std::string& text) override { debugTexts.push_back(text); }
};

class Worker : public ::testing::Test {  // each test ends with every posted buffer freed exactly once
protected:
    void TearDown() override { EXPECT_EQ(livePostedBuffers(), liveAtStart); }
    bool command(const ByteBuffer& frame) { return core.take(WorkerMessage::Command, allocatePostedBuffer(frame)); }

    const long liveAtStart = livePostedBuffers();
    ScriptedChannel channel;
    Outlet outlet;
    LinkWorkerCore core{channel, outlet};
};
}  // namespace

TEST_F(Worker, PollsOnlyWhileEnabledOneMessageATurnWithItsDebugText) {
    channel.replies.assign(10, {R::Reply, kDisable});
    using M = WorkerMessage;
    const std::pair<M, std::size_t> turns[] = {{M::Other, 0},       {M::EnableComm, 1}, {M::Other, 1}, {M::Polling, 2},
                                               {M::DisableComm, 0}, {M::Polling, 1},    {M::Other, 0}};
    for (const auto& [message, polls] : turns) {  // one turn: a message, then the poll when polling is enabled
        const std::size_t before = channel.sent.size();
        core.take(message, nullptr), core.pollIfEnabled();
        EXPECT_EQ(channel.sent.size() - before, polls) << static_cast<int>(message);
    }
    ByteBuffer notOurs{1, 2, 3};
    EXPECT_TRUE(core.take(WorkerMessage::Other, &notOurs));  // its lParam is left alone
    EXPECT_EQ(notOurs, (ByteBuffer{1, 2, 3}));
    EXPECT_TRUE(core.take(WorkerMessage::Command, nullptr));  // no frame: nothing to exchange
    EXPECT_FALSE(core.take(WorkerMessage::ExitThread, nullptr));
    EXPECT_EQ(channel.sent, std::vector<ByteBuffer>(5, kStatusRequest));
    EXPECT_EQ(outlet.posts, Texts(5, "S:FC 05 1A F4 E8 "));
    EXPECT_EQ(outlet.debugTexts, (Texts{"Enable Message \r", "Polling Message \r", "Disable Message \r",
                                        "Polling Message \r", "Command Message \r"}));
}

TEST_F(Worker, PostsEachAnswerAsItsMessageAndFreesWhatARefusedPostLeaves) {
    const ByteBuffer sent{0xFC, 0x0C, 0xD1, 0xF6, 0x00, 0x00, 0x00, 0x11, 0x22, 0x33};
    const struct { bool isCommand; std::vector<FrameReply> replies; Texts posts; bool accepts = true; } cases[] = {
        {false, {{R::Reply, kDisable}}, {"S:FC 05 1A F4 E8 "}},
        {false, {{R::Refused, {}}}, {}},                           // nothing exchanged: nothing posted
        {true, {{R::Reply, kAck}}, {"R:FC 05 50 AA 05 "}},
        {true, {{R::BadCheckBytes, {}}}, {"A:" + hexDump(sent)}},  // a failed command: the posted frame
        {false, {{R::Reply, kDisable}, {R::NoReply, {}}}, {}, false},      // refused posts: the worker frees them
        {true, {{R::Reply, kAck}, {R::BadCheckBytes, {}}}, {}, false},
    };
    for (const auto& c : cases) {
        outlet.posts.clear(), outlet.accepts = c.accepts;
        for (const FrameReply& reply : c.replies) {
            channel.replies.push_back(reply);
            c.isCommand ? (void)command(sent) : core.poll();
        }
        EXPECT_EQ(outlet.posts, c.posts) << &c - cases;
        EXPECT_EQ(channel.sent.back(), c.isCommand ? sent : kStatusRequest) << &c - cases;
    }
}

TEST(PostedBuffer, TakingOneFreesItAndNullGivesAnEmptyBuffer) {
    const long live = livePostedBuffers();
    ByteBuffer* posted = allocatePostedBuffer(ByteBuffer{0xFC, 0x05, 0x1A});
    EXPECT_EQ(livePostedBuffers(), live + 1);
    EXPECT_EQ(takePostedBuffer(reinterpret_cast<std::intptr_t>(posted)), (ByteBuffer{0xFC, 0x05, 0x1A}));
    EXPECT_TRUE(takeOwnedBuffer(allocatePostedBuffer(ByteBuffer{})).empty());
    EXPECT_TRUE(takePostedBuffer(0).empty());
    freePostedBuffer(nullptr);
    EXPECT_EQ(livePostedBuffers(), live);
}
