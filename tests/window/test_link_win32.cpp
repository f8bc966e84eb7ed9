// Windows tests of the link under wine64: DeviceLink, LinkWorker, WorkerThread, Win32DriverLibrary and posted buffers
// across threads, with the real lk207.dll, two broken driver libraries and virtual units on COM ports.
#include "DeviceLink_win32.h"
#include "LinkWindow_win32.h"
#include "LinkWorker_win32.h"
#include "TextCodec.h"
#include "UnitCommands.h"
#include "DriverLibrary_win32.h"
#include "WinTestSupport_win32.h"

using Texts = std::vector<std::string>;

const ByteBuffer kAck = buildFrame(UnitCommand::Ack);
bool dllLoaded() { return GetModuleHandleA("lk207.dll") != nullptr; }
ByteBuffer dataFrame(int i) { return buildDataFrame(i, ByteBuffer{std::uint8_t(i), 0x5A}.data(), 2); }

// Each test: a hidden window and a DeviceLink; at the end no posted buffer alive and lk207.dll not loaded.
struct Link : ::testing::Test {
    void TearDown() override {
        link.reset();
        pump(50);
        EXPECT_EQ(livePostedBuffers(), live0);
        EXPECT_FALSE(dllLoaded());
        EXPECT_TRUE(pumpUntil([&] { return threadsBut(before).empty(); }, 1000)) << "a link thread still runs";
    }
    bool waitFor(std::size_t n) { return pumpUntil([&] { return window.kinds.size() >= n; }, 3000); }
    TestWindow window;
    std::unique_ptr<DeviceLink> link = std::make_unique<DeviceLink>();
    const long live0 = livePostedBuffers();
    const std::set<DWORD> before = threadsBut();
    // Wine starts a thread of its own at the process's first connection, which stays: one connection before the tests.
    static void SetUpTestSuite() { TestWindow w; DeviceLink link; link.connect(w.hwnd, kNormal, 9600); }
};

// The real library, each call logged with its thread: "@worker", "@?" for another while the worker runs, else none.
struct LoggingLibrary : Win32DriverLibrary {
    LoggingLibrary(Texts& log, const LinkWorker& worker) : log(log), worker(worker) {}
    void note(const char* what) {
        const DWORD id = worker.threadId();
        log.push_back(what + std::string(GetCurrentThreadId() == id ? "@worker" : threadsBut().count(id) ? "@?" : ""));
    }
    std::string request(const std::string& text) override { return note("request"), Win32DriverLibrary::request(text); }
    void unload() override { note("unload"), Win32DriverLibrary::unload(); }
    bool release() override { return note("release"), Win32DriverLibrary::release(); }
    Texts& log;
    const LinkWorker& worker;
};

// A worker that leaves run() as usual, then hangs on in its thread after telling the join it finished.
struct StuckWorker : LinkWorker {
    using LinkWorker::LinkWorker;
    ~StuckWorker() override { stop(); }
    DWORD run() override { return LinkWorker::run(), SetEvent(finishedEvent()), Sleep(5000), 0; }
};

TEST_F(Link, OneConnectionsLifeAndItsDebugTexts) {
    Mailslot slot("Debug_QBV_DOWNLOAD");
    link->enablePolling(), link->disablePolling(), link->disconnect();  // harmless without a connection
    EXPECT_FALSE(link->pollOnce() || link->postCommand(kAck));
    EXPECT_FALSE(link->connect(window.hwnd, kMissing, 9600));
    EXPECT_TRUE(threadsBut(before).empty() && !dllLoaded());
    ASSERT_TRUE(link->connect(window.hwnd, kNormal, 9600));
    EXPECT_FALSE(link->connect(window.hwnd, kNormal, 9600));
    EXPECT_EQ(slot.readAll().size(), 2u) << "each Open's result, as DriverClient's tests spell them";
    ASSERT_TRUE(link->pollOnce() && waitFor(1));
    pump(300);  // one answer to one poll, and nothing before EnableComm
    EXPECT_EQ(window.kinds, "S");
    link->enablePolling();
    pump(500);
    EXPECT_TRUE(window.kinds.size() >= 10 && window.kinds.find_first_not_of('S') == std::string::npos) << window.kinds;
    EXPECT_EQ(slot.readAll(), (Texts{"Polling Message \r", "Enable Message \r"})) << "none for periodic polls";
    link->disablePolling();
    pump(200);
    window.kinds.clear();  // then nothing after DisableComm but one answer to each request
    ASSERT_TRUE(link->pollOnce() && link->postCommand(kAck) && waitFor(2));
    pump(200);
    EXPECT_EQ(window.kinds, "SR");
    EXPECT_EQ(window.bytes.back(), (ByteBuffer{0xFC, 0x05, 0x50, 0xAA, 0x05}));
    link->disconnect();
    const long made = postedBuffersMade();
    EXPECT_FALSE(link->pollOnce() || link->postCommand(kAck) || postedBuffersMade() != made);
    // A reconnect works; the window goes: discardPendingLinkMessages frees what it has not taken, the worker the rest.
    auto doomed = std::make_unique<TestWindow>();
    ASSERT_TRUE(link->connect(doomed->hwnd, kNormal, 9600));
    link->enablePolling();
    Sleep(300);
    link->disablePolling();
    Sleep(100);
    EXPECT_GT(discardPendingLinkMessages(doomed->hwnd), 0);
    EXPECT_EQ(livePostedBuffers(), live0);
    doomed.reset();  // the worker's posts fail from now on: TearDown sees that it freed their buffers
    for (int i = 0; i < 20; ++i) ASSERT_TRUE(link->pollOnce() && link->postCommand(kAck));
}

TEST_F(Link, QueuedRequestsReachTheUnitInOrderWithAPollBetweenCommandsAndEveryBufferIsFreedOnce) {
    const long made = postedBuffersMade();
    ASSERT_TRUE(link->connect(window.hwnd, kNormal, 9600));
    link->enablePolling();
    const std::size_t seen = framesIn(kNormal).size();
    constexpr int kCommands = 60;
    for (int i = 0; i < kCommands; ++i) ASSERT_TRUE(link->postCommand(dataFrame(i)));
    link->disconnect();  // every request posted before is exchanged before it returns
    const Texts in = framesIn(kNormal);
    std::string order;  // P for a poll, C for the next command in posting order
    for (std::size_t i = seen, next = 0; i < in.size(); ++i)
        order += in[i] == "FC 05 11 27 56" ? 'P' : in[i].rfind(hexDump(dataFrame(next)), 0) != 0 ? '?' : (++next, 'C');
    EXPECT_EQ(std::count(order.begin(), order.end(), 'C'), kCommands) << order;
    EXPECT_TRUE(order.find("CC") == std::string::npos && order.find('?') == std::string::npos) << order;
    pump(200);
    EXPECT_EQ(std::count(window.kinds.begin(), window.kinds.end(), 'R'), kCommands);
    EXPECT_EQ(postedBuffersMade() - made, kCommands + static_cast<long>(window.kinds.size()));
}

TEST_F(Link, OpenBeforeTheWorkerCommandsOnItCloseAfterItAndASecondStartIsRefused) {
    Texts log;
    LinkWorker worker(window.hwnd, [&] { return std::make_unique<LoggingLibrary>(log, worker); });
    ASSERT_TRUE(worker.start(kNormal, 9600));
    EXPECT_FALSE(worker.start(kCorrupt, 9600));
    ASSERT_TRUE(worker.post(WorkerMessage::Polling, 0));
    ASSERT_TRUE(worker.post(WorkerMessage::Command, reinterpret_cast<LPARAM>(allocatePostedBuffer(kAck))));
    ASSERT_TRUE(waitFor(2));
    worker.stop();
    EXPECT_TRUE(worker.lastJoinOutcome() == WorkerThread::JoinOutcome::Ended && worker.lastExitCode() == 1);
    EXPECT_EQ(log, (Texts{"request", "request@worker", "request@worker", "request", "unload", "release"}));
}

TEST(DriverClientBind, RefusesALibraryWithoutUnloadAndKeepsOneWhoseLoadFailsUntilTheClientGoes) {
    for (const std::string file : {"lk207_no_unload.dll", "lk207_load_fails.dll"}) {
        SetEnvironmentVariableA("QBV_FAKE_DRIVER_CALLS", "");
        auto client = std::make_unique<DriverClient>(makeSystemDriverLibrary());
        EXPECT_FALSE(client->bind(thisExeFolder() + file));
        const bool kept = GetModuleHandleA(file.c_str()) != nullptr;
        client.reset();
        char calls[64] = {};
        GetEnvironmentVariableA("QBV_FAKE_DRIVER_CALLS", calls, sizeof calls);
        EXPECT_EQ((kept ? "kept, " : "freed, ") + std::string(calls),
                  file == "lk207_no_unload.dll" ? "freed, " : "kept, load;unload;");
        EXPECT_FALSE(GetModuleHandleA(file.c_str()));
    }
}

TEST_F(Link, DisconnectFromASilentUnitTakesAtMostAboutTwoSecondsAndEndsEveryLinkThread) {
    ASSERT_TRUE(link->connect(window.hwnd, kSilent, 9600));
    link->enablePolling();
    ASSERT_TRUE(waitFor(1));
    link->disablePolling();
    ASSERT_TRUE(link->pollOnce());
    const DWORD start = GetTickCount();
    link->disconnect();
    EXPECT_LE(GetTickCount() - start, 2600u);
}

TEST_F(Link, AWorkerThatDoesNotEndIsTerminatedTheLibraryUnloadedAndThePortOpensAgain) {
    StuckWorker worker(window.hwnd);
    ASSERT_TRUE(worker.start(kNormal, 9600));
    const DWORD start = GetTickCount();
    worker.stop();
    EXPECT_NEAR(GetTickCount() - start, 1700.0, 800.0);
    EXPECT_TRUE(worker.lastJoinOutcome() == WorkerThread::JoinOutcome::Terminated && worker.lastExitCode() == 10);
    ASSERT_TRUE(link->connect(window.hwnd, kNormal, 9600) && link->pollOnce() && waitFor(1));
}
