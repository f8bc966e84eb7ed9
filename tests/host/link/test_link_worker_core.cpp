// Host tests of the link worker's per-message decisions: which message gives which post, the
// ErrorCode-is-decimal rule for Alarm, the polling modes, two polls in one turn, the debug texts, and that every
// posted buffer is freed exactly once (by the receiver, or by the worker when the post failed).
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "DriverClient.h"
#include "FakeDriverLibrary.h"
#include "LinkWorkerCore.h"
#include "PostedBuffer.h"

using namespace answers;

namespace {

const std::string kStatusText =
    "COMM_LK207/1.0\r\nArgument0: 3\r\nArgument1: /AUR\r\nArgument2: FC 05 11 \r\nMethod: Command\r\n\r\n";
const std::string kDisableReply = reply("5", "/AUa9Og=");  // FC 05 1A F4 E8
const ByteBuffer kDisableFrame{0xFC, 0x05, 0x1A, 0xF4, 0xE8};
const std::string kAckReply = reply("5", "/AVQqgU=");
const ByteBuffer kAckFrame{0xFC, 0x05, 0x50, 0xAA, 0x05};

struct Posted {
    WindowMessage message;
    ByteBuffer bytes;
};

// The window: takes each posted buffer over (and frees it) like the dialog does, or refuses every post.
class RecordingOutlet : public LinkOutlet {
public:
    bool post(WindowMessage message, ByteBuffer* buffer) override {
        ++attempts;
        if (!accepts) return false;
        posts.push_back({message, takeOwnedBuffer(buffer)});
        return true;
    }
    void debug(const std::string& text) override { debugTexts.push_back(text); }

    bool accepts = true;
    int attempts = 0;
    std::vector<Posted> posts;
    std::vector<std::string> debugTexts;
};

class LinkCore : public ::testing::Test {
protected:
    void SetUp() override {
        liveAtStart_ = livePostedBuffers();
        ASSERT_TRUE(client.bind("lk207.dll"));
        lib->answers.push_back(kOk);
        ASSERT_TRUE(client.openPort("COM1", 9600));
        lib->requests.clear();
    }
    void TearDown() override {
        failNextPostedBufferAllocations(0);
        EXPECT_EQ(livePostedBuffers(), liveAtStart_) << "a posted buffer was leaked or freed twice";
    }

    // A Command as the window side posts it: a heap copy of the frame.
    bool command(const ByteBuffer& frame) { return core.take(WorkerMessage::Command, allocatePostedBuffer(frame)); }
    // One whole turn of the worker: a message (if any), then the periodic poll.
    void turn(WorkerMessage message, ByteBuffer* buffer = nullptr) {
        core.take(message, buffer);
        core.pollIfEnabled();
    }

    std::shared_ptr<FakeLibraryState> lib = std::make_shared<FakeLibraryState>();
    DriverClient client{std::make_unique<FakeDriverLibrary>(lib), [](const std::string&) {}};
    RecordingOutlet outlet;
    LinkWorkerCore core{client, outlet};
    long liveAtStart_ = 0;
};

}  // namespace

TEST_F(LinkCore, NothingIsPolledBeforeEnableComm) {
    EXPECT_EQ(core.pollingMode(), PollingMode::Initial);
    for (int i = 0; i < 5; ++i) core.pollIfEnabled();
    EXPECT_TRUE(lib->requests.empty());
    EXPECT_TRUE(outlet.posts.empty());
}

TEST_F(LinkCore, EnableCommPollsOnEveryTurnAndDisableCommStops) {
    lib->answers = {kDisableReply, kDisableReply, kDisableReply};
    turn(WorkerMessage::EnableComm);
    EXPECT_EQ(core.pollingMode(), PollingMode::Enabled);
    core.pollIfEnabled();
    core.pollIfEnabled();
    ASSERT_EQ(outlet.posts.size(), 3u);
    for (const Posted& p : outlet.posts) {
        EXPECT_EQ(p.message, WindowMessage::StatusUpdate);
        EXPECT_EQ(p.bytes, kDisableFrame);
    }
    for (const std::string& r : lib->requests) EXPECT_EQ(r, kStatusText);

    turn(WorkerMessage::DisableComm);
    EXPECT_EQ(core.pollingMode(), PollingMode::Disabled);
    core.pollIfEnabled();
    EXPECT_EQ(lib->requests.size(), 3u);
    EXPECT_EQ(outlet.posts.size(), 3u);
}

TEST_F(LinkCore, PollingWhileDisabledIsExactlyOnePoll) {
    turn(WorkerMessage::DisableComm);
    lib->answers = {kDisableReply};
    turn(WorkerMessage::Polling);
    turn(WorkerMessage::Other);
    EXPECT_EQ(lib->requests.size(), 1u);
    ASSERT_EQ(outlet.posts.size(), 1u);
    EXPECT_EQ(outlet.posts[0].message, WindowMessage::StatusUpdate);
}

TEST_F(LinkCore, PollingWhileEnabledGivesTwoPollsInOneTurn) {
    turn(WorkerMessage::EnableComm);
    lib->requests.clear();
    outlet.posts.clear();
    lib->answers = {kDisableReply, kDisableReply};
    turn(WorkerMessage::Polling);
    EXPECT_EQ(lib->requests.size(), 2u);
    EXPECT_EQ(outlet.posts.size(), 2u);
}

TEST_F(LinkCore, AFailedPollWithAReasonCodeGivesAnEmptyAlarm) {
    for (const std::string& code : {"102", "105", "107"}) {
        outlet.posts.clear();
        lib->answers = {protocolError(code)};
        core.poll();
        ASSERT_EQ(outlet.posts.size(), 1u) << code;
        EXPECT_EQ(outlet.posts[0].message, WindowMessage::Alarm);
        EXPECT_TRUE(outlet.posts[0].bytes.empty());
    }
}

TEST_F(LinkCore, AFailedPollWithoutADecimalErrorCodeGivesNothing) {
    // 401 and the empty answer leave ErrorCode empty; a code that is not plain decimal digits does not count either.
    for (const std::string& answer :
         {kMemoryFailure, std::string(""), protocolError("x1"), protocolError("-1"), protocolError("1 2"),
          protocolError("4294967296"), std::string("COMM_LK207/1.0 403 Protcol Error\r\n\r\n")}) {
        lib->answers = {answer};
        core.poll();
        EXPECT_TRUE(outlet.posts.empty()) << answer;
        EXPECT_EQ(outlet.attempts, 0) << answer;
    }
}

TEST_F(LinkCore, AStaleReasonCodeDoesNotTurnA401IntoAnAlarm) {
    lib->answers = {protocolError("102"), kMemoryFailure};
    core.poll();
    core.poll();
    ASSERT_EQ(outlet.posts.size(), 1u);  // only the 403
    EXPECT_EQ(client.result("ErrorCode"), "");
}

TEST_F(LinkCore, ASuccessfulCommandGivesAResponseWithTheReply) {
    lib->answers = {kAckReply};
    EXPECT_TRUE(command(ByteBuffer{0xFC, 0x05, 0xD0}));
    EXPECT_EQ(lib->requests[0],
              "COMM_LK207/1.0\r\nArgument0: 3\r\nArgument1: /AXQ\r\nArgument2: FC 05 D0 \r\nMethod: Command\r\n\r\n");
    ASSERT_EQ(outlet.posts.size(), 1u);
    EXPECT_EQ(outlet.posts[0].message, WindowMessage::Response);
    EXPECT_EQ(outlet.posts[0].bytes, kAckFrame);
}

TEST_F(LinkCore, ACommandFailingWith403GivesAnAlarmHoldingExactlyThePostedFrame) {
    const ByteBuffer frame{0xFC, 0x0C, 0xD1, 0xF6, 0x00, 0x00, 0x00, 0x11, 0x22, 0x33};
    lib->answers = {protocolError("105")};
    command(frame);
    ASSERT_EQ(outlet.posts.size(), 1u);
    EXPECT_EQ(outlet.posts[0].message, WindowMessage::Alarm);
    EXPECT_EQ(outlet.posts[0].bytes, frame);
}

TEST_F(LinkCore, ACommandFailingWith401GivesNoMessage) {
    lib->answers = {kMemoryFailure};
    command(ByteBuffer{0xFC, 0x05, 0xD0});
    EXPECT_EQ(lib->requests.size(), 1u);
    EXPECT_TRUE(outlet.posts.empty());
    EXPECT_EQ(outlet.attempts, 0);
}

TEST_F(LinkCore, CommandsAreAnsweredOneEachInOrder) {
    std::vector<ByteBuffer> frames;
    for (std::uint8_t i = 0; i < 6; ++i) frames.push_back(ByteBuffer{0xFC, 0x06, 0x50, i});
    lib->answers = {kAckReply, protocolError("102"), kAckReply, protocolError("105"), kMemoryFailure, kAckReply};
    for (const ByteBuffer& f : frames) turn(WorkerMessage::Command, allocatePostedBuffer(f));
    ASSERT_EQ(outlet.posts.size(), 5u);
    EXPECT_EQ(outlet.posts[0].message, WindowMessage::Response);
    EXPECT_EQ(outlet.posts[1].message, WindowMessage::Alarm);
    EXPECT_EQ(outlet.posts[1].bytes, frames[1]);
    EXPECT_EQ(outlet.posts[2].message, WindowMessage::Response);
    EXPECT_EQ(outlet.posts[3].message, WindowMessage::Alarm);
    EXPECT_EQ(outlet.posts[3].bytes, frames[3]);
    EXPECT_EQ(outlet.posts[4].message, WindowMessage::Response);  // frames[4] got the 401: nothing
    for (std::size_t i = 0; i < frames.size(); ++i) {
        EXPECT_NE(lib->requests[i].find("Argument2: FC 06 50 0" + std::to_string(i) + " \r\n"), std::string::npos);
    }
}

TEST_F(LinkCore, ExitThreadEndsTheLoopWithoutAnyRequest) {
    turn(WorkerMessage::EnableComm);
    lib->requests.clear();
    EXPECT_FALSE(core.take(WorkerMessage::ExitThread, nullptr));
    EXPECT_TRUE(lib->requests.empty());
}

TEST_F(LinkCore, OtherMessagesAreDroppedAndTheirLParamIsNotTouched) {
    ByteBuffer notOurs{1, 2, 3};
    EXPECT_TRUE(core.take(WorkerMessage::Other, &notOurs));
    EXPECT_EQ(notOurs, (ByteBuffer{1, 2, 3}));
    EXPECT_TRUE(lib->requests.empty());
    EXPECT_TRUE(outlet.debugTexts.empty());
}

TEST_F(LinkCore, ACommandWithoutABufferIsNotExchanged) {
    EXPECT_TRUE(core.take(WorkerMessage::Command, nullptr));
    EXPECT_TRUE(lib->requests.empty());
}

TEST_F(LinkCore, DebugTextsForEachMessageAndNoneForPeriodicPolls) {
    lib->answers = {kDisableReply, kDisableReply, kDisableReply, kAckReply, kDisableReply, kDisableReply};
    turn(WorkerMessage::EnableComm);                                       // + 1 periodic poll
    core.pollIfEnabled();                                                  // periodic
    turn(WorkerMessage::Command, allocatePostedBuffer(ByteBuffer{0xFC, 0x05, 0x50}));
    turn(WorkerMessage::Polling);
    turn(WorkerMessage::DisableComm);
    turn(WorkerMessage::ExitThread);
    EXPECT_EQ(outlet.debugTexts, (std::vector<std::string>{"Enable Message \r", "Command Message \r",
                                                           "Polling Message \r", "Disable Message \r"}));
    EXPECT_EQ(std::string("Enable Message \r").size(), 16u);
}

TEST_F(LinkCore, AFailedPostIsFreedByTheWorker) {
    outlet.accepts = false;
    lib->answers = {kDisableReply, protocolError("102"), kAckReply, protocolError("105")};
    core.poll();
    core.poll();
    command(ByteBuffer{0xFC, 0x05, 0x50});
    command(ByteBuffer{0xFC, 0x05, 0xD0});
    EXPECT_EQ(outlet.attempts, 4);
    EXPECT_EQ(livePostedBuffers(), liveAtStart_);  // all four, and both command buffers, are gone
}

TEST_F(LinkCore, NothingIsPostedWhenNoBufferCanBeAllocated) {
    lib->answers = {kDisableReply, protocolError("102")};
    failNextPostedBufferAllocations(2);
    core.poll();
    core.poll();
    EXPECT_EQ(outlet.attempts, 0);
    EXPECT_EQ(lib->requests.size(), 2u);  // the exchanges happened; only the answers were lost
}

TEST_F(LinkCore, ALongRunLeavesNoBufferBehind) {
    const long madeBefore = postedBuffersMade();
    turn(WorkerMessage::EnableComm);
    int commands = 0;
    for (int i = 0; i < 500; ++i) {
        const int kind = i % 5;
        lib->answers.push_back(kind == 0 ? kAckReply : kind == 1 ? protocolError("102") : kind == 2 ? kMemoryFailure
                                                                                                   : kDisableReply);
        lib->answers.push_back(i % 7 == 0 ? protocolError("105") : kDisableReply);
        outlet.accepts = i % 3 != 0;
        if (i % 2 == 0) {
            turn(WorkerMessage::Command, allocatePostedBuffer(ByteBuffer{0xFC, 0x05, 0x50}));
            ++commands;
        } else {
            turn(WorkerMessage::Polling);
        }
    }
    EXPECT_EQ(livePostedBuffers(), liveAtStart_);
    EXPECT_EQ(postedBuffersMade() - madeBefore, commands + outlet.attempts);
}
