// Host tests of the link's portable core: DriverClient over a scripted library, the worker's decisions, posted buffers.
#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <utility>

#include "DriverClient.h"
#include "LinkRequests.h"
#include "LinkWorkerCore.h"
#include "PostedBuffer.h"
#include "TextCodec.h"

namespace {
using Texts = std::vector<std::string>;
Texts operator+(Texts a, const Texts& b) { a.insert(a.end(), b.begin(), b.end()); return a; }
const std::string kOk = "COMM_LK207/1.0 200 OK\r\n", k401 = "COMM_LK207/1.0 401 Memory Failure\r\n",
                  kPath = "C:\\tools\\lk207.dll";
std::string error403(std::string why) { return "COMM_LK207/1.0 403 Protcol Error\r\nArgument0: " + why + "\r\n"; }
const std::string kAckReply = "COMM_LK207/1.0 200 OK\r\nArgument0: 5\r\nArgument1: /AVQqgU=\r\n",  // FC 05 50 AA 05
                  kDisableReply = "COMM_LK207/1.0 200 OK\r\nArgument0: 5\r\nArgument1: /AUa9Og=\r\n";  // FC 05 1A F4 E8

// The library: records its calls in `calls` (which outlives it) and its requests, answers from `answers` or "".
struct ScriptedLibrary : DriverLibrary {
    Texts& calls;
    Texts requests, answers;
    bool opens = true, loads = true, releases = true, held = false;  // opens: the file and all three exports found
    explicit ScriptedLibrary(Texts& callLog) : calls(callLog) {}
    bool open(const std::string& path) override { calls.push_back("open " + path); return held = opens; }
    bool load() override { calls.push_back("load"); return loads; }
    void unload() override { calls.push_back("unload"); }
    bool release() override { calls.push_back("release"); return std::exchange(held, false) && releases; }
    std::string request(const std::string& text) override {
        requests.push_back(text);
        return answers.size() < requests.size() ? "" : answers[requests.size() - 1];
    }
};
struct Client {
    Texts calls, debug;
    ScriptedLibrary* lib = new ScriptedLibrary(calls);  // owned by `client`
    std::unique_ptr<DriverClient> client = std::make_unique<DriverClient>(
        std::unique_ptr<DriverLibrary>(lib), [this](const std::string& text) { debug.push_back(text); });
    DriverClient* operator->() { return client.get(); }
};
}  // namespace

TEST(DriverClient, BindUnbindAndReleaseRules) {
    const Texts loaded = {"load", "unload", "release"};
    const struct { bool opens, loads, releases, bound; std::optional<bool> unbound; Texts calls; } cases[] = {
        {true, true, true, true, std::nullopt, loaded},  // destroyed while bound: unload, then release
        {true, true, true, true, true, loaded},          // destroyed after unbind: nothing more
        {true, true, false, true, false, loaded},        // unbind answers the release
        {false, true, true, false, false, {}},           // no file or a missing export: nothing stays loaded
        {true, false, true, false, true, loaded}};       // load false: the file stays loaded
    for (const auto& c : cases) {
        Client t;
        t.lib->opens = c.opens, t.lib->loads = c.loads, t.lib->releases = c.releases;
        EXPECT_EQ(t->bind(kPath), c.bound);
        ByteBuffer frame{0xFC, 0x05, 0x11};
        if (t->isBound()) EXPECT_FALSE(t->bind(kPath));  // one library per client
        if (!t->isBound()) t->closePort();  // requests do nothing while unbound
        if (!t->isBound()) EXPECT_FALSE(t->openPort("COM1", 9600) || t->sendCommand(frame) || t.lib->requests.size());
        if (c.unbound) EXPECT_EQ(t->unbind(), *c.unbound);
        t.client.reset();
        EXPECT_EQ(t.calls, Texts{"open " + kPath} + c.calls) << &c - cases;
    }
}

TEST(DriverClient, RequestsAndTheResultsTheyLeave) {
    const auto results = [](const DriverClient& c) {  // ResultCode|ResultMessage|ErrorCode|ResponseLength|ResponseText
        std::string out;
        for (const char* name : {"ResultCode", "ResultMessage", "ErrorCode", "ResponseLength", "ResponseText"})
            out += c.result(name) + "|";
        return out;
    };
    Client t;
    t->bind(kPath);
    t.lib->answers = {kOk, error403("105"), kAckReply, k401, error403("102"), kOk, k401, kOk};
    EXPECT_TRUE(t->openPort("COM19", 38400));
    EXPECT_EQ(results(*t.client), "200|OK||||");
    const ByteBuffer sent{0xFC, 0x0A, 0xD1, 0x00, 0x00, 0x00, 0x00, 0x42}, ack{0xFC, 0x05, 0x50, 0xAA, 0x05};
    ByteBuffer frame = sent;
    EXPECT_FALSE(t->sendCommand(frame));
    EXPECT_EQ(frame, sent);
    EXPECT_EQ(results(*t.client), "403|Protcol Error|105|||");
    EXPECT_TRUE(t->sendCommand(frame));  // the reply replaces the frame; the reason code outlives the success
    EXPECT_EQ(frame, ack);
    EXPECT_EQ(results(*t.client), "200|OK|105|5|/AVQqgU=|");
    EXPECT_FALSE(t->sendCommand(frame));  // a 401 empties the reason code; the reply's length outlives the failure
    EXPECT_EQ(results(*t.client), "401|Memory Failure||5|/AVQqgU=|");
    EXPECT_FALSE(t->sendCommand(frame));
    t->closePort();  // sets the reason code, here to the empty Argument0
    EXPECT_EQ(results(*t.client), "200|OK||5|/AVQqgU=|");
    EXPECT_TRUE(t->openPort("COM1", 9600));  // a 401 Open still answers true
    EXPECT_TRUE(t->sendCommand(frame) && frame.empty());  // a 200 without reply bytes leaves an empty frame
    const auto command = [](const ByteBuffer& f) { return commandRequest(f).serialize(); };
    EXPECT_EQ(t.lib->requests, (Texts{openRequest("COM19", 38400).serialize(), command(sent), command(sent),
                                      command(ack), command(ack), closeRequest().serialize(),
                                      openRequest("COM1", 9600).serialize(), command(ack)}));
    EXPECT_EQ(t.debug, (Texts{"Result = COMM_LK207/1.0 200 OK\r\nResultCode: 200\r\nResultMessage: OK\r\n\r\n\n",
                              "Result = COMM_LK207/1.0 401 Memory Failure\r\nResultCode: 401\r\nResultMessage: Memory "
                              "Failure\r\n\r\n\n"}));
    for (const std::string answer : {"COMM_LK207/1.0 2000 OK\r\n", "COMM_LK207/1.0 201 OK\r\n", "", "garbage",
                                     "COMM_LK207/1.0 200\r\n", "COMM_LK207/1.0  200 OK\r\n",
                                     "COMM_LK207/1.0 403 Protcol Error\r\nResultCode: 200\r\n"}) {
        t.lib->answers.push_back(answer);
        EXPECT_FALSE(t->sendCommand(frame)) << answer;  // only exactly "200" is success
    }
}

namespace {
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
    void SetUp() override { ASSERT_TRUE(client->bind(kPath)); }
    void TearDown() override { failNextPostedBufferAllocations(0); EXPECT_EQ(livePostedBuffers(), liveAtStart); }
    bool command(const ByteBuffer& frame) { return core.take(WorkerMessage::Command, allocatePostedBuffer(frame)); }

    const long liveAtStart = livePostedBuffers();
    Client client;
    Outlet outlet;
    LinkWorkerCore core{*client.client, outlet};
};
}  // namespace

TEST_F(Worker, PollingModesMessagesAndDebugTexts) {
    client.lib->answers = Texts(10, kDisableReply);
    using M = WorkerMessage;
    const std::pair<M, std::size_t> turns[] = {{M::Other, 0},       {M::EnableComm, 1}, {M::Other, 1}, {M::Polling, 2},
                                               {M::DisableComm, 0}, {M::Polling, 1},    {M::Other, 0}};
    for (const auto& [message, polls] : turns) {  // one turn: a message, then the poll when polling is enabled
        const std::size_t before = client.lib->requests.size();
        core.take(message, nullptr), core.pollIfEnabled();
        EXPECT_EQ(client.lib->requests.size() - before, polls) << static_cast<int>(message);
    }
    ByteBuffer notOurs{1, 2, 3};
    EXPECT_TRUE(core.take(WorkerMessage::Other, &notOurs));  // its lParam is left alone
    EXPECT_EQ(notOurs, (ByteBuffer{1, 2, 3}));
    EXPECT_TRUE(core.take(WorkerMessage::Command, nullptr));  // no frame: nothing to exchange
    EXPECT_FALSE(core.take(WorkerMessage::ExitThread, nullptr));
    EXPECT_EQ(client.lib->requests, Texts(5, commandRequest(ByteBuffer{0xFC, 0x05, 0x11}).serialize()));
    EXPECT_EQ(outlet.posts, Texts(5, "S:FC 05 1A F4 E8 "));
    EXPECT_EQ(outlet.debugTexts, (Texts{"Enable Message \r", "Polling Message \r", "Disable Message \r",
                                        "Polling Message \r", "Command Message \r"}));
}

TEST_F(Worker, PostsForEachAnswerAndEveryBufferFreedOnce) {
    const ByteBuffer sent{0xFC, 0x0C, 0xD1, 0xF6, 0x00, 0x00, 0x00, 0x11, 0x22, 0x33};
    const struct { bool isCommand; Texts answers, posts; bool accepts = true; int failing = 0; } cases[] = {
        {false, {kDisableReply}, {"S:FC 05 1A F4 E8 "}},
        {false, {error403("102"), error403("107")}, {"A:", "A:"}},  // a failed poll: an empty Alarm
        {false, {k401, "", error403("x1"), error403("-1"), error403("1 2"), error403("4294967296"),
                 "COMM_LK207/1.0 403 Protcol Error\r\n\r\n"}, {}},  // no plain decimal reason code: nothing
        {false, {error403("102"), k401}, {"A:"}},  // a stale reason code does not turn a 401 into an Alarm
        {true, {kAckReply}, {"R:FC 05 50 AA 05 "}},
        {true, {error403("105")}, {"A:" + hexDump(sent)}},  // a failed command: the posted frame
        {true, {k401}, {}},
        {false, {kDisableReply, error403("102")}, {}, false},  // refused posts: the worker frees them
        {true, {kAckReply, error403("105")}, {}, false},
        {false, {kDisableReply, error403("102")}, {}, true, 2},  // no buffer to be had: nothing posted
    };
    for (const auto& c : cases) {
        outlet.posts.clear(), outlet.accepts = c.accepts;
        failNextPostedBufferAllocations(c.failing);
        for (const std::string& answer : c.answers) {
            client.lib->answers.push_back(answer);
            c.isCommand ? (void)command(sent) : core.poll();
        }
        EXPECT_EQ(outlet.posts, c.posts) << c.answers[0];
    }
}

TEST(PostedBuffer, TakeFreeEmptyAndNull) {
    const long live = livePostedBuffers();
    ByteBuffer* posted = allocatePostedBuffer(ByteBuffer{0xFC, 0x05, 0x1A});
    EXPECT_EQ(livePostedBuffers(), live + 1);
    EXPECT_EQ(takePostedBuffer(reinterpret_cast<std::intptr_t>(posted)), (ByteBuffer{0xFC, 0x05, 0x1A}));
    EXPECT_TRUE(takeOwnedBuffer(allocatePostedBuffer(ByteBuffer{})).empty());
    EXPECT_TRUE(takePostedBuffer(0).empty());
    freePostedBuffer(nullptr);
    failNextPostedBufferAllocations(2);
    EXPECT_TRUE(allocatePostedBuffer(ByteBuffer{1}) == nullptr && allocatePostedBuffer(ByteBuffer{1}) == nullptr);
    freePostedBuffer(allocatePostedBuffer(ByteBuffer{1}));
    EXPECT_EQ(livePostedBuffers(), live);
}
