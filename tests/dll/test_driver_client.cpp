// Host tests of the driver library's client: binding and releasing the library, the requests it sends and the results
// they leave, and what a Command's answer names as an exchange.
#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <utility>

#include "DriverClient.h"
#include "RequestTexts.h"
#include "TextCodec.h"

namespace {
using Texts = std::vector<std::string>;
Texts operator+(Texts a, const Texts& b) { a.insert(a.end(), b.begin(), b.end()); return a; }
const std::string kOk = "COMM_LK207/1.0 200 OK\r\n", k401 = "COMM_LK207/1.0 401 Memory Failure\r\n",
                  kPath = "C:\\tools\\lk207.dll";
std::string error403(std::string why) { return "COMM_LK207/1.0 403 Protcol Error\r\nArgument0: " + why + "\r\n"; }
const std::string kAckReply = "COMM_LK207/1.0 200 OK\r\nArgument0: 5\r\nArgument1: /AVQqgU=\r\n";  // FC 05 50 AA 05

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

TEST(DriverClient, ACommandsAnswerNamesItsExchangeByTheReasonCode) {
    Client t;
    t->bind(kPath);
    const ByteBuffer sent{0xFC, 0x05, 0x11}, ack{0xFC, 0x05, 0x50, 0xAA, 0x05};
    const std::pair<std::string, FrameReply> rows[] = {
        {kAckReply, {ExchangeResult::Reply, ack}}, {error403("105"), {ExchangeResult::BadCheckBytes, {}}},
        {k401, {ExchangeResult::Refused, {}}}, {"", {ExchangeResult::Refused, {}}}};  // the 105 before is not kept
    for (const auto& [answer, expected] : rows) {
        t.lib->answers.push_back(answer);
        const FrameReply reply = t->exchange(sent);
        EXPECT_TRUE(reply.result == expected.result && reply.frame == expected.frame) << answer;
    }
    EXPECT_EQ(t.lib->requests, Texts(std::size(rows), commandRequest(sent).serialize()));
}
