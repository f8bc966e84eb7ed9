// The station's web side against a fake station: a real server on an ephemeral port, driven by httplib's client and,
// where a client must misbehave, by a bare socket: the token, an oversized upload, an image's name and refusal, and a
// page that reads nothing. What the page shows and its live updates are the browser test's.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>
#include <thread>

#include <httplib.h>

#include "TempFolder.h"
#include "WebServer.h"

using namespace station;

namespace {
constexpr const char* kToken = "s3cret-token";
constexpr const char* kHost = "127.0.0.1";
constexpr std::uint64_t kLargestImage = 4096;               // bytes
constexpr std::chrono::seconds kPatience{3};                // for an answer that should come at once
constexpr std::size_t kFloodEvents = 640;                   // tile changes thrown at a page that reads nothing
constexpr std::size_t kFloodMessageBytes = 16 * 1024;       // each; 10 MiB together, more than the sockets hold
constexpr std::chrono::seconds kBlockedWrite{5};            // what a write to that page would wait before failing
constexpr std::size_t kCopyBytes = 8 * 1024 * 1024;         // a history copy larger than the sockets hold
constexpr std::chrono::seconds kDeadline{60};               // for what the server does once the answer is sent
constexpr std::chrono::milliseconds kLookPeriod{10};

class FakeStation : public StationControl {
public:
    std::vector<Tile> tileList;
    ImageInfo image_{"fw-1.bin", 2048, 16, "E649", ""};
    std::atomic<bool> manual_{false};
    TileListener listener;
    std::atomic<int> startAllCalls{0};
    std::vector<std::string> started, retried;
    std::vector<int> checkedPolls;  // p1 is checked, p2 refused
    std::atomic<int> replaceCalls{0};
    std::string replacedName, replacedBytes, refusal;
    std::optional<std::string> replacedSignature;
    TempFolder folder;
    const std::string copyPath = folder / "history-copy";
    std::string copyBytes;  // what copyHistory writes there; "" for a copy that cannot be made

    FakeStation() {
        Tile waiting;
        waiting.id = "p1";
        waiting.state = "waiting";
        Tile failed;
        failed.id = "p2";
        failed.state = "failed";
        tileList = {waiting, failed};
    }
    std::vector<Tile> tiles() const override { return tileList; }
    ImageInfo image() const override { return image_; }
    bool manual() const override { return manual_; }
    void onTileChanged(TileListener l) override { listener = std::move(l); }
    void setManual(bool m) override { manual_ = m; }
    bool start(const std::string& id) override {
        started.push_back(id);
        return id == "p1";
    }
    bool retry(const std::string& id) override {
        retried.push_back(id);
        return id == "p2";
    }
    PortCheck checkPort(const std::string& id, int polls) override {
        checkedPolls.push_back(polls);
        if (id == "p1") return {PortCheck::Result::Done, "", {{"port", "p1"}, {"polls", polls}}};
        if (id == "p2") return {PortCheck::Result::Refused, "a download runs on this port", {}};
        return {PortCheck::Result::NoSuchPort, "", {}};
    }
    int startAll() override { return ++startAllCalls; }
    std::string replaceImage(const std::string& name, const std::string& bytes,
                             const std::optional<std::string>& signature) override {
        ++replaceCalls;
        replacedName = name;
        replacedBytes = bytes;
        replacedSignature = signature;
        return refusal;
    }
    std::uint64_t largestImageBytes() const override { return kLargestImage; }
    std::string historyJson(const HistoryQuery&) const override { return "[]"; }
    std::string historyCsv(const HistoryQuery&) const override { return "id\r\n"; }
    nlohmann::json todayCounts() const override { return {{"passed", 0}}; }
    MetricFigures metricFigures() const override { return {}; }
    std::optional<std::string> copyHistory(std::string& why) const override {
        if (copyBytes.empty()) why = "disk full";
        if (copyBytes.empty()) return std::nullopt;
        writeFile(copyPath, copyBytes);
        return copyPath;
    }
};

// A connected socket with the request's bytes sent; -1 when the server is not there.
int sendRaw(int port, const std::string& request) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    inet_pton(AF_INET, kHost, &address.sin_addr);
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        write(fd, request.data(), request.size()) != static_cast<ssize_t>(request.size())) {
        close(fd);
        return -1;
    }
    return fd;
}

// What arrives on the socket within the wait, up to the first read that returns.
std::string readSome(int fd, std::chrono::milliseconds wait) {
    pollfd ready{fd, POLLIN, 0};
    char buffer[512];
    if (poll(&ready, 1, static_cast<int>(wait.count())) != 1) return "";
    const ssize_t n = read(fd, buffer, sizeof buffer);
    return n > 0 ? std::string(buffer, static_cast<std::size_t>(n)) : "";
}

// Looks until the condition holds or the deadline passes; whether it held.
bool within(std::chrono::seconds deadline, const std::function<bool()>& holds) {
    const auto end = std::chrono::steady_clock::now() + deadline;
    while (!holds() && std::chrono::steady_clock::now() < end) std::this_thread::sleep_for(kLookPeriod);
    return holds();
}

class Web : public ::testing::Test {
protected:
    void SetUp() override {
        server = std::make_unique<WebServer>(fake, kHost, 0, kToken);
        ASSERT_EQ(server->start(), "");
    }
    httplib::Client client() const { return httplib::Client(kHost, server->port()); }
    httplib::Headers withToken(const std::string& token = kToken) const { return {{"X-Station-Token", token}}; }

    FakeStation fake;
    std::unique_ptr<WebServer> server;
};
}  // namespace

TEST(WebAccess, OnlyLoopbackServesWithoutToken) {
    for (const char* loopback : {"127.0.0.1", "127.10.0.3", "localhost", "::1", "[::1]", "::ffff:127.0.0.1"}) {
        EXPECT_FALSE(needsToken(loopback)) << loopback;
    }
    for (const char* reachable : {"0.0.0.0", "::", "", "192.168.1.20", "128.0.0.1", "host.local", "::ffff:10.0.0.1"}) {
        EXPECT_TRUE(needsToken(reachable)) << reachable;
    }
}

TEST_F(Web, PostsWithoutTheRightTokenChangeNothing) {
    auto http = client();
    for (const char* wrong : {"", "s3cret-toke", "s3cret-token!", "S3cret-token"}) {
        EXPECT_EQ(http.Post("/api/mode", withToken(wrong), "manual=true", "application/x-www-form-urlencoded")->status,
                  401)
            << wrong;
        EXPECT_EQ(http.Post("/api/start", withToken(wrong), "", "text/plain")->status, 401) << wrong;
        EXPECT_EQ(http.Post("/api/ports/p1/start", withToken(wrong), "", "text/plain")->status, 401) << wrong;
        EXPECT_EQ(http.Post("/api/ports/p1/doctor", withToken(wrong), "", "text/plain")->status, 401) << wrong;
    }
    EXPECT_TRUE(fake.checkedPolls.empty()) << "a check takes the port from the line: it needs the token";
    EXPECT_FALSE(fake.manual_);
    EXPECT_EQ(fake.startAllCalls, 0);
    EXPECT_TRUE(fake.started.empty());

    EXPECT_EQ(http.Post("/api/mode", withToken(), "manual=true", "application/x-www-form-urlencoded")->status, 200);
    EXPECT_TRUE(fake.manual_);
    EXPECT_EQ(http.Post("/api/mode", "manual=false&token=s3cret-token", "application/x-www-form-urlencoded")->status,
              200);  // the token as a form field
    EXPECT_FALSE(fake.manual_);
    EXPECT_EQ(http.Post("/api/start", withToken(), "", "text/plain")->body, R"({"started":1})");
    EXPECT_EQ(http.Post("/api/ports/p1/start", withToken(), "", "text/plain")->status, 200);
    EXPECT_EQ(http.Post("/api/ports/p2/start", withToken(), "", "text/plain")->status, 409);
    EXPECT_EQ(http.Post("/api/ports/p2/retry", withToken(), "", "text/plain")->status, 200);
    EXPECT_EQ(http.Post("/api/ports/p1/retry", withToken(), "", "text/plain")->status, 409);
    EXPECT_EQ(http.Post("/api/ports/p9/retry", withToken(), "", "text/plain")->status, 404);
    EXPECT_EQ(fake.started, (std::vector<std::string>{"p1", "p2"}));
    EXPECT_EQ(fake.retried, (std::vector<std::string>{"p2", "p1"}));
}

TEST_F(Web, OversizedImageIsRefusedBeforeItsBodyIsRead) {
    // Headers only: a server that waited for the body would answer nothing.
    const int fd = sendRaw(server->port(), "POST /api/image HTTP/1.1\r\nHost: x\r\nX-Station-Token: " +
                                               std::string(kToken) + "\r\nX-Image-Name: big.bin\r\n" +
                                               "Content-Length: 1073741824\r\n\r\n");
    ASSERT_GE(fd, 0);
    EXPECT_EQ(readSome(fd, kPatience).rfind("HTTP/1.1 413", 0), 0u);
    close(fd);

    // A client that sent it all still reads the refusal.
    auto answer = client().Post("/api/image?name=big.bin", withToken(), std::string(kLargestImage + 1, 'x'),
                                "application/octet-stream");
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->status, 413);
    EXPECT_NE(answer->body.find("largest image (4096)"), std::string::npos);
    EXPECT_EQ(fake.replaceCalls, 0);
}

TEST_F(Web, ImageArrivesWholeAndItsRefusalKeepsTheWords) {
    const std::string image("\x7f\0\r\n\xff image", 11);
    auto headers = withToken();
    headers.emplace("X-Image-Name", "fw%20v2.bin");
    fake.refusal = "the image check failed: FILE-CRC B00B, expected E649";
    auto refused = client().Post("/api/image", headers, image, "application/octet-stream");
    EXPECT_EQ(refused->status, 422);
    EXPECT_EQ(refused->body, fake.refusal);
    EXPECT_EQ(fake.replacedName, "fw v2.bin");
    EXPECT_EQ(fake.replacedBytes, image);
    EXPECT_FALSE(fake.replacedSignature) << "no signature came with it";

    headers.emplace("X-Image-Signature", "dW50cnVzdGVkIGNvbW1lbnQ6IHgK");  // "untrusted comment: x\n"
    client().Post("/api/image", headers, image, "application/octet-stream");
    EXPECT_EQ(fake.replacedSignature, "untrusted comment: x\n");
    headers.erase("X-Image-Signature");
    headers.emplace("X-Image-Signature", "dW50cnVzdGVk*");
    const int calls = fake.replaceCalls;
    EXPECT_EQ(client().Post("/api/image", headers, image, "application/octet-stream")->status, 400);
    EXPECT_EQ(fake.replaceCalls, calls) << "a signature that is not base64 reaches nothing";

    fake.refusal = "";
    const auto taken = client().Post("/api/image?name=..%2Fetc%2Ffw.bin", withToken(), image, "text/plain");
    EXPECT_EQ(taken->status, 200);
    EXPECT_EQ(fake.replacedName, "fw.bin");  // a name, never a path
}

TEST_F(Web, APageThatReadsNothingNeverHoldsTheStation) {
    const int fd = sendRaw(server->port(), "GET /api/events HTTP/1.1\r\nHost: x\r\n\r\n");
    ASSERT_GE(fd, 0);
    ASSERT_NE(readSome(fd, kPatience).find("200"), std::string::npos);
    Tile big = fake.tileList[0];
    big.message.assign(kFloodMessageBytes, 'm');
    const auto begun = std::chrono::steady_clock::now();
    for (std::size_t i = 0; i < kFloodEvents; ++i) fake.listener(big);
    EXPECT_LT(std::chrono::steady_clock::now() - begun, kBlockedWrite / 2);
    EXPECT_EQ(client().Get("/api/ports")->status, 200);
    close(fd);
}

TEST_F(Web, HistoryCopyIsSentAndRemovedAlsoWhenThePageLeavesEarly) {
    fake.copyBytes.resize(kCopyBytes);
    for (std::size_t i = 0; i < kCopyBytes; ++i) fake.copyBytes[i] = static_cast<char>(i * 7 / 3);
    const std::pair<const char*, std::function<void()>> readers[] = {
        {"read whole",
         [&] {
             const auto answer = client().Get("/api/history.sqlite3");
             ASSERT_TRUE(answer);
             EXPECT_EQ(answer->get_header_value("Content-Type"), "application/vnd.sqlite3");
             EXPECT_EQ(answer->get_header_value("Content-Disposition"),
                       "attachment; filename=\"station-history.sqlite3\"");
             EXPECT_TRUE(answer->body == fake.copyBytes);
         }},
        {"left after the first bytes",
         [&] {
             const int fd = sendRaw(server->port(), "GET /api/history.sqlite3 HTTP/1.1\r\nHost: x\r\n\r\n");
             ASSERT_GE(fd, 0);
             EXPECT_EQ(readSome(fd, kPatience).rfind("HTTP/1.1 200", 0), 0u);
             close(fd);
         }},
    };
    for (const auto& [how, read] : readers) {
        read();
        EXPECT_TRUE(within(kDeadline, [&] { return !std::filesystem::exists(fake.copyPath); })) << how;
    }
    fake.copyBytes.clear();
    const auto refused = client().Get("/api/history.sqlite3");
    EXPECT_EQ(refused->status, 500);
    EXPECT_EQ(refused->body, "the history could not be copied: disk full");
}

TEST_F(Web, ACheckTakesItsNumberOfPollsAndSaysWhyItIsRefused) {
    auto http = client();
    const auto form = "application/x-www-form-urlencoded";
    EXPECT_EQ(http.Post("/api/ports/p1/doctor", withToken(), "", form)->body, R"({"polls":50,"port":"p1"})");
    EXPECT_EQ(http.Post("/api/ports/p1/doctor", withToken(), "polls=10000", form)->status, 200);
    EXPECT_EQ(http.Post("/api/ports/p1/doctor?polls=1", withToken(), "", form)->status, 200);
    for (const char* wrong : {"polls=0", "polls=10001", "polls=5x"}) {
        const auto refused = http.Post("/api/ports/p1/doctor", withToken(), wrong, form);
        EXPECT_EQ(refused->status, 400) << wrong;
        EXPECT_EQ(refused->body, "polls: a whole number from 1 to 10000") << wrong;
    }
    EXPECT_EQ(fake.checkedPolls, (std::vector<int>{50, 10000, 1}));
    const auto busy = http.Post("/api/ports/p2/doctor", withToken(), "", form);
    EXPECT_EQ(busy->status, 409);
    EXPECT_EQ(busy->body, "a download runs on this port");
    EXPECT_EQ(http.Post("/api/ports/p9/doctor", withToken(), "", form)->status, 404);
}
