// Windows tests of the link under wine64, with the real lk207.dll and virtual units on COM ports:
// a hidden test window receives StatusUpdate, Response and Alarm through the real worker thread.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "DeviceLink.h"
#include "DriverClient.h"
#include "LinkTestSupport.h"
#include "LinkWindow.h"
#include "LinkWorker.h"
#include "PostedBuffer.h"
#include "UnitCommands.h"
#include "Win32DriverLibrary.h"

using namespace linktest;

namespace {

const ByteBuffer kAckFrame{0xFC, 0x05, 0x50, 0xAA, 0x05};  // the unit's ACK, check bytes included

ByteBuffer dataFrame(std::uint32_t offset, std::uint8_t value) {
    const std::uint8_t block[] = {value, static_cast<std::uint8_t>(value ^ 0x5A)};
    return buildDataFrame(offset, block, sizeof block);
}

// Every test: a fresh hidden window; at the end no posted buffer alive, no driver library loaded.
class Link : public ::testing::Test {
protected:
    void SetUp() override {
        liveAtStart_ = livePostedBuffers();
        ASSERT_FALSE(moduleLoaded(kLibraryName)) << "a previous test left lk207.dll loaded";
    }
    void TearDown() override {
        link.reset();
        pumpUntilQuiet(window, 50, 1000);
        EXPECT_EQ(livePostedBuffers(), liveAtStart_) << "posted buffers leaked";
        EXPECT_FALSE(moduleLoaded(kLibraryName)) << "lk207.dll still loaded";
    }

    TestWindow window;
    std::unique_ptr<DeviceLink> link = std::make_unique<DeviceLink>();
    long liveAtStart_ = 0;
};

// A request as the driver library receives it: the method and the calling thread.
struct Call {
    std::string what;
    DWORD thread;
    bool workerEnded;  // the worker thread (if one was started) no longer runs
};

// Wraps the real library and records each call, to show which thread makes which request.
class RecordingLibrary : public DriverLibrary {
public:
    RecordingLibrary(std::vector<Call>& log, const LinkWorker* const& worker) : log_(log), worker_(worker) {}
    bool open(const std::string& path) override { note("open"); return real_->open(path); }
    bool load() override { note("load"); return real_->load(); }
    std::string request(const std::string& text) override {
        const std::string::size_type m = text.find("Method: ");
        note(m == std::string::npos ? "?" : text.substr(m + 8, text.find('\r', m) - m - 8));
        return real_->request(text);
    }
    void unload() override { note("unload"); real_->unload(); }
    bool release() override { note("release"); return real_->release(); }

private:
    void note(const std::string& what) {
        const DWORD worker = worker_ ? worker_->threadId() : 0;
        log_.push_back({what, GetCurrentThreadId(), threadEnded(worker)});
    }
    std::unique_ptr<DriverLibrary> real_ = makeSystemDriverLibrary();
    std::vector<Call>& log_;
    const LinkWorker* const& worker_;
};

// A worker that leaves run() as usual but then hangs on in the thread: the join's terminate path must end it.
class StuckLinkWorker : public LinkWorker {
public:
    using LinkWorker::LinkWorker;
    ~StuckLinkWorker() override { stop(); }

protected:
    DWORD run() override {
        const DWORD result = LinkWorker::run();
        SetEvent(finishedEvent());  // as the start routine would, then it does not end
        Sleep(5000);
        return result;
    }
};

class QuickThread : public WorkerThread {
protected:
    DWORD run() override { return 7; }
};

}  // namespace

// ---- polling ----

TEST_F(Link, NothingBeforeEnableCommThenAStreamThenSilenceAfterDisableComm) {
    ASSERT_TRUE(link->connect(window.hwnd, kNormalPort, kBaud));
    EXPECT_TRUE(link->isConnected());
    pump(300);
    EXPECT_TRUE(window.got.empty()) << "the worker polled before EnableComm";

    link->enablePolling();
    const DWORD start = now();
    pump(500);
    const int stream = window.count(WindowMessage::StatusUpdate);
    std::printf("polling on COM1: %d StatusUpdate in %lu ms\n", stream, static_cast<unsigned long>(now() - start));
    EXPECT_GE(stream, 10);
    EXPECT_EQ(window.count(WindowMessage::StatusUpdate), static_cast<int>(window.got.size()));
    for (const Received& r : window.got) {
        ASSERT_GE(r.bytes.size(), 5u);
        EXPECT_EQ(r.bytes[0], 0xFC);
        EXPECT_TRUE(isDisable(r.bytes));
    }

    link->disablePolling();
    pumpUntilQuiet(window);  // the poll under way, if any, still posts its answer
    window.got.clear();
    pump(400);
    EXPECT_TRUE(window.got.empty()) << "polls went on after DisableComm";
    link->disconnect();
    EXPECT_FALSE(link->isConnected());
}

TEST_F(Link, PollOnceWhileNotPollingGivesExactlyOneAnswer) {
    ASSERT_TRUE(link->connect(window.hwnd, kNormalPort, kBaud));
    // Before any EnableComm (mode 0).
    ASSERT_TRUE(link->pollOnce());
    ASSERT_TRUE(pumpUntil([&] { return !window.got.empty(); }, 2000));
    pump(200);  // and nothing more follows
    ASSERT_EQ(window.got.size(), 1u);
    EXPECT_EQ(window.got[0].message, WindowMessage::StatusUpdate);
    EXPECT_EQ(window.got[0].bytes[0], 0xFC);

    // After DisableComm (mode 2).
    link->enablePolling();
    pump(100);
    link->disablePolling();
    pump(100);
    pumpUntilQuiet(window);
    window.got.clear();
    ASSERT_TRUE(link->pollOnce());
    ASSERT_TRUE(pumpUntil([&] { return !window.got.empty(); }, 2000));
    pump(200);
    ASSERT_EQ(window.got.size(), 1u);
    EXPECT_EQ(window.got[0].message, WindowMessage::StatusUpdate);
}

TEST_F(Link, AFailedPollGivesOneEmptyAlarm) {
    ASSERT_TRUE(link->connect(window.hwnd, kCorruptPort, kBaud));
    ASSERT_TRUE(link->pollOnce());
    ASSERT_TRUE(pumpUntil([&] { return !window.got.empty(); }, 2000));
    pump(200);
    ASSERT_EQ(window.got.size(), 1u);
    EXPECT_EQ(window.got[0].message, WindowMessage::Alarm);
    EXPECT_TRUE(window.got[0].bytes.empty());
}

// ---- commands ----

TEST_F(Link, ACommandFailingWith403GivesAnAlarmHoldingExactlyThePostedFrame) {
    ASSERT_TRUE(link->connect(window.hwnd, kCorruptPort, kBaud));
    const ByteBuffer frame = dataFrame(492, 0x42);
    ASSERT_TRUE(link->postCommand(frame));
    ASSERT_TRUE(pumpUntil([&] { return !window.got.empty(); }, 2000));
    pump(100);
    ASSERT_EQ(window.got.size(), 1u);
    EXPECT_EQ(window.got[0].message, WindowMessage::Alarm);
    EXPECT_EQ(window.got[0].bytes, frame);  // exactly the frame as posted, without check bytes
}

TEST_F(Link, ASuccessfulCommandGivesAResponseWithTheWholeReplyFrame) {
    ASSERT_TRUE(link->connect(window.hwnd, kNormalPort, kBaud));
    ASSERT_TRUE(link->postCommand(buildFrame(UnitCommand::Ack)));
    ASSERT_TRUE(pumpUntil([&] { return !window.got.empty(); }, 2000));
    EXPECT_EQ(window.got[0].message, WindowMessage::Response);
    EXPECT_EQ(window.got[0].bytes, kAckFrame);
}

// The real library answers 401 to a Command only when it holds no port. The test takes the port away under the
// idle worker with a Close of its own, through the same loaded library, then watches the library's own mailslot.
TEST_F(Link, ACommandFailingWith401GivesNoMessageAtAll) {
    Mailslot driverSlot("DebugComm_lk207");
    ASSERT_TRUE(driverSlot.valid());
    ASSERT_TRUE(link->connect(window.hwnd, kNormalPort, kBaud));
    driverSlot.readAll();

    using RequestFn = char*(__cdecl*)(char*, std::uint32_t*);
    HMODULE module = GetModuleHandleA(kLibraryName);
    ASSERT_NE(module, nullptr);
    auto request = reinterpret_cast<RequestFn>(reinterpret_cast<void*>(GetProcAddress(module, "request")));
    const std::string close = "COMM_LK207/1.0\r\nMethod: Close\r\n\r\n";
    char* block = static_cast<char*>(GlobalAlloc(GPTR, close.size() + 1));
    std::memcpy(block, close.data(), close.size());
    std::uint32_t length = static_cast<std::uint32_t>(close.size());
    char* answer = request(block, &length);
    ASSERT_NE(answer, nullptr);
    EXPECT_EQ(std::string(answer, length), "COMM_LK207/1.0 200 OK\r\n\r\n");
    GlobalFree(answer);
    driverSlot.readAll();

    ASSERT_TRUE(link->postCommand(buildFrame(UnitCommand::DownloadStart)));
    ASSERT_TRUE(link->pollOnce());
    // Two requests and their two answers reach the library's mailslot.
    std::vector<std::string> texts;
    ASSERT_TRUE(pumpUntil([&] {
        for (const std::string& t : driverSlot.readAll()) texts.push_back(t);
        return texts.size() >= 4;
    }, 2000));
    EXPECT_NE(texts[0].find("Method: Command"), std::string::npos);
    EXPECT_EQ(texts[1], "COMM_LK207/1.0 401 Memory Failure\r\n\r\n");
    EXPECT_NE(texts[2].find("Argument1: /AUR"), std::string::npos);
    EXPECT_EQ(texts[3], "COMM_LK207/1.0 401 Memory Failure\r\n\r\n");
    pump(200);
    EXPECT_TRUE(window.got.empty()) << "a 401 failure was reported";
}

TEST_F(Link, SeveralCommandsPostedQuicklyComeBackOneEachInOrder) {
    std::vector<ByteBuffer> frames;
    for (std::uint8_t i = 0; i < 8; ++i) frames.push_back(dataFrame(i * unit::kBlockSize, i));

    // Failing commands carry their frames back, so the order is visible in the Alarms themselves.
    ASSERT_TRUE(link->connect(window.hwnd, kCorruptPort, kBaud));
    for (const ByteBuffer& f : frames) ASSERT_TRUE(link->postCommand(f));
    ASSERT_TRUE(pumpUntil([&] { return window.got.size() >= frames.size(); }, 3000));
    pump(100);
    ASSERT_EQ(window.got.size(), frames.size());
    for (std::size_t i = 0; i < frames.size(); ++i) {
        EXPECT_EQ(window.got[i].message, WindowMessage::Alarm);
        EXPECT_EQ(window.got[i].bytes, frames[i]) << "answer " << i;
    }
    link->disconnect();
    window.got.clear();

    // Successful ones: one Response each, and the unit received them in posting order.
    const std::size_t before = framesReceivedBy(kNormalPort).size();
    ASSERT_TRUE(link->connect(window.hwnd, kNormalPort, kBaud));
    for (const ByteBuffer& f : frames) ASSERT_TRUE(link->postCommand(f));
    ASSERT_TRUE(pumpUntil([&] { return window.got.size() >= frames.size(); }, 3000));
    pump(100);
    ASSERT_EQ(window.got.size(), frames.size());
    for (const Received& r : window.got) {
        EXPECT_EQ(r.message, WindowMessage::Response);
        EXPECT_EQ(r.bytes, kAckFrame);
    }
    const std::vector<std::string> received = framesReceivedBy(kNormalPort);
    ASSERT_EQ(received.size(), before + frames.size());
    for (std::size_t i = 0; i < frames.size(); ++i) EXPECT_EQ(received[before + i], onTheLine(frames[i]));
}

// One message per turn, then the turn's poll: with polling enabled, a status request goes over the line between
// any two commands, however fast they were posted.
TEST_F(Link, WhilePollingCommandsAreTakenOnePerTurnWithAPollBetween) {
    ASSERT_TRUE(link->connect(window.hwnd, kNormalPort, kBaud));
    link->enablePolling();
    ASSERT_TRUE(pumpUntil([&] { return !window.got.empty(); }, 2000));
    const std::size_t before = framesReceivedBy(kNormalPort).size();
    std::vector<std::string> commands;
    for (std::uint8_t i = 0; i < 6; ++i) {
        const ByteBuffer f = dataFrame(i, static_cast<std::uint8_t>(0x30 + i));
        commands.push_back(onTheLine(f));
        ASSERT_TRUE(link->postCommand(f));
    }
    ASSERT_TRUE(pumpUntil([&] { return window.count(WindowMessage::Response) >= 6; }, 3000));
    link->disablePolling();
    link->disconnect();
    const std::vector<std::string> received = framesReceivedBy(kNormalPort);
    const std::string status = onTheLine(buildFrame(UnitCommand::StatusRequest));
    std::size_t next = 0;
    bool pollSinceLast = true;
    for (std::size_t i = before; i < received.size(); ++i) {
        if (received[i] == status) {
            pollSinceLast = true;
        } else if (next < commands.size() && received[i] == commands[next]) {
            EXPECT_TRUE(pollSinceLast) << "command " << next << " followed the previous one in the same turn";
            pollSinceLast = false;
            ++next;
        }
    }
    EXPECT_EQ(next, commands.size());
}

// ---- disconnect ----

TEST_F(Link, RequestsPostedBeforeDisconnectAreStillExchangedAndDisconnectWaitsForThem) {
    const std::size_t before = framesReceivedBy(kNormalPort).size();
    ASSERT_TRUE(link->connect(window.hwnd, kNormalPort, kBaud));
    std::vector<WindowMessage> expected;
    std::vector<std::string> expectedOnLine;
    for (std::uint8_t i = 0; i < 10; ++i) {
        const ByteBuffer f = dataFrame(i * unit::kBlockSize, static_cast<std::uint8_t>(0xA0 + i));
        ASSERT_TRUE(link->postCommand(f));
        expected.push_back(WindowMessage::Response);
        expectedOnLine.push_back(onTheLine(f));
        if (i % 2 == 0) {
            ASSERT_TRUE(link->pollOnce());
            expected.push_back(WindowMessage::StatusUpdate);
            expectedOnLine.push_back(onTheLine(buildFrame(UnitCommand::StatusRequest)));
        }
    }
    const DWORD start = now();
    link->disconnect();
    const DWORD took = now() - start;
    std::printf("disconnect with %zu requests queued: %lu ms\n", expected.size(), static_cast<unsigned long>(took));
    EXPECT_FALSE(link->isConnected());
    EXPECT_FALSE(moduleLoaded(kLibraryName));

    // Before anything is pumped: every request already went over the line, in posting order.
    const std::vector<std::string> received = framesReceivedBy(kNormalPort);
    ASSERT_EQ(received.size(), before + expectedOnLine.size());
    for (std::size_t i = 0; i < expectedOnLine.size(); ++i) EXPECT_EQ(received[before + i], expectedOnLine[i]);
    // And each answer is waiting in the window's queue, in the same order.
    pump(100);
    ASSERT_EQ(window.got.size(), expected.size());
    for (std::size_t i = 0; i < expected.size(); ++i) EXPECT_EQ(window.got[i].message, expected[i]) << i;
}

TEST_F(Link, OpenOnTheWindowThreadCommandsOnTheWorkerCloseOnlyAfterTheWorkerEnded) {
    std::vector<Call> log;
    const LinkWorker* workerRef = nullptr;
    LinkWorker worker(window.hwnd, [&] { return std::make_unique<RecordingLibrary>(log, workerRef); });
    workerRef = &worker;
    const DWORD windowThread = GetCurrentThreadId();

    ASSERT_TRUE(worker.start(kNormalPort, kBaud));
    const DWORD workerThread = worker.threadId();
    ASSERT_NE(workerThread, 0u);
    ASSERT_NE(workerThread, windowThread);
    worker.post(WorkerMessage::Polling, 0);
    worker.post(WorkerMessage::Command, reinterpret_cast<LPARAM>(allocatePostedBuffer(buildFrame(UnitCommand::Ack))));
    worker.wake();
    ASSERT_TRUE(pumpUntil([&] { return window.got.size() >= 2; }, 2000));
    worker.stop();
    EXPECT_FALSE(worker.connected());
    EXPECT_EQ(worker.lastJoinOutcome(), WorkerThread::JoinOutcome::Ended);
    EXPECT_EQ(worker.lastExitCode(), WorkerThread::kNormalExitCode);

    std::vector<std::string> sequence;
    for (const Call& c : log) sequence.push_back(c.what);
    ASSERT_EQ(sequence, (std::vector<std::string>{"open", "load", "Open", "Command", "Command", "Close", "unload",
                                                  "release"}));
    for (int i : {0, 1, 2}) {
        EXPECT_EQ(log[i].thread, windowThread) << log[i].what;
        EXPECT_TRUE(log[i].workerEnded) << log[i].what << ": before the worker exists";
    }
    for (int i : {3, 4}) {
        EXPECT_EQ(log[i].thread, workerThread) << log[i].what;
        EXPECT_FALSE(log[i].workerEnded);
    }
    for (int i : {5, 6, 7}) {
        EXPECT_EQ(log[i].thread, windowThread) << log[i].what;
        EXPECT_TRUE(log[i].workerEnded) << log[i].what << " came while the worker still ran";
    }
}

TEST_F(Link, WithoutAConnectionEveryCallIsHarmless) {
    EXPECT_FALSE(link->isConnected());
    link->enablePolling();
    link->disablePolling();
    EXPECT_FALSE(link->pollOnce());
    EXPECT_FALSE(link->postCommand(buildFrame(UnitCommand::Ack)));
    link->disconnect();
    EXPECT_FALSE(link->isConnected());
}

TEST_F(Link, AfterDisconnectRequestsAreRefusedWithoutAllocatingAndAReconnectWorks) {
    ASSERT_TRUE(link->connect(window.hwnd, kNormalPort, kBaud));
    link->disconnect();
    EXPECT_FALSE(link->isConnected());
    const long made = postedBuffersMade();
    EXPECT_FALSE(link->pollOnce());
    EXPECT_FALSE(link->postCommand(buildFrame(UnitCommand::Ack)));
    EXPECT_EQ(postedBuffersMade(), made);
    link->disconnect();  // twice is harmless

    ASSERT_TRUE(link->connect(window.hwnd, kNormalPort, kBaud));
    ASSERT_TRUE(link->pollOnce());
    ASSERT_TRUE(pumpUntil([&] { return !window.got.empty(); }, 2000));
    EXPECT_EQ(window.got[0].message, WindowMessage::StatusUpdate);
}

TEST_F(Link, ConnectWhileConnectedIsRefusedAndLeavesTheConnection) {
    ASSERT_TRUE(link->connect(window.hwnd, kNormalPort, kBaud));
    EXPECT_FALSE(link->connect(window.hwnd, kNormalPort, kBaud));
    EXPECT_TRUE(link->isConnected());
    ASSERT_TRUE(link->pollOnce());
    ASSERT_TRUE(pumpUntil([&] { return !window.got.empty(); }, 2000));
    EXPECT_EQ(window.got[0].message, WindowMessage::StatusUpdate);
}

// ---- connect failures ----

TEST_F(Link, AFailedConnectLeavesNothingLoadedAndALaterConnectWorks) {
    const std::set<DWORD> before = threadIds();
    EXPECT_FALSE(link->connect(window.hwnd, kMissingPort, kBaud));
    EXPECT_FALSE(link->isConnected());
    EXPECT_FALSE(moduleLoaded(kLibraryName));
    EXPECT_TRUE(threadsStartedBetween(before, threadIds()).empty()) << "a failed connect started a thread";
    EXPECT_FALSE(link->pollOnce());

    ASSERT_TRUE(link->connect(window.hwnd, kNormalPort, kBaud));
    EXPECT_TRUE(link->isConnected());
    ASSERT_TRUE(link->pollOnce());
    ASSERT_TRUE(pumpUntil([&] { return !window.got.empty(); }, 2000));
    EXPECT_EQ(window.got[0].message, WindowMessage::StatusUpdate);
}

TEST_F(Link, StartOnAWorkerThatHoldsADriverClientReturnsFalseAndLeavesItRunning) {
    LinkWorker worker(window.hwnd);
    ASSERT_TRUE(worker.start(kNormalPort, kBaud));
    const DWORD thread = worker.threadId();
    EXPECT_FALSE(worker.start(kNormalPort, kBaud));
    EXPECT_FALSE(worker.start(kCorruptPort, kBaud));
    EXPECT_TRUE(worker.connected());
    EXPECT_EQ(worker.threadId(), thread);
    ASSERT_TRUE(worker.post(WorkerMessage::Polling, 0));
    ASSERT_TRUE(pumpUntil([&] { return !window.got.empty(); }, 2000));
    EXPECT_EQ(window.got[0].message, WindowMessage::StatusUpdate);  // still COM1, still answering
    worker.stop();
}

TEST(DriverClientBind, RefusesADllWithoutUnloadAndFreesTheFile) {
    SetEnvironmentVariableA("QBV_FAKE_DRIVER_CALLS", "");
    DriverClient client(makeSystemDriverLibrary());
    EXPECT_FALSE(client.bind(exeFolder() + "lk207_no_unload.dll"));
    EXPECT_FALSE(client.isBound());
    EXPECT_FALSE(moduleLoaded("lk207_no_unload.dll"));
    char calls[512] = {};
    GetEnvironmentVariableA("QBV_FAKE_DRIVER_CALLS", calls, sizeof calls);
    EXPECT_STREQ(calls, "attach;detach;");  // loaded, `load` never called, released
    EXPECT_FALSE(client.openPort("COM1", 9600));
}

TEST(DriverClientBind, ADllWhoseLoadFailsStaysLoadedUntilTheClientGoesThenUnloadThenFree) {
    SetEnvironmentVariableA("QBV_FAKE_DRIVER_CALLS", "");
    {
        DriverClient client(makeSystemDriverLibrary());
        EXPECT_FALSE(client.bind(exeFolder() + "lk207_load_fails.dll"));
        EXPECT_TRUE(moduleLoaded("lk207_load_fails.dll"));
    }
    EXPECT_FALSE(moduleLoaded("lk207_load_fails.dll"));
    char calls[512] = {};
    GetEnvironmentVariableA("QBV_FAKE_DRIVER_CALLS", calls, sizeof calls);
    EXPECT_STREQ(calls, "attach;load;unload;detach;");
}

TEST(DriverClientBind, AMissingFileIsRefused) {
    DriverClient client(makeSystemDriverLibrary());
    EXPECT_FALSE(client.bind(exeFolder() + "no_such_library.dll"));
    EXPECT_FALSE(client.unbind());
}

TEST(DriverClientBind, TheRealLibraryBindsOpensAndUnbinds) {
    DriverClient client(makeSystemDriverLibrary());
    ASSERT_TRUE(client.bind(exeFolder() + kLibraryName));
    EXPECT_TRUE(client.openPort(kMissingPort, kBaud));
    EXPECT_EQ(client.result("ResultCode"), "401");
    EXPECT_EQ(client.result("ResultMessage"), "Memory Failure");
    EXPECT_EQ(client.result("ErrorCode"), "");
    EXPECT_TRUE(client.unbind());
    EXPECT_FALSE(moduleLoaded(kLibraryName));
}

TEST(DriverLibraryPathTest, IsTheExecutablesFolderFollowedByLk207Dll) {
    std::string path;
    ASSERT_TRUE(driverLibraryPath(path));
    EXPECT_EQ(path, exeFolder() + "lk207.dll");
}

// ---- debug mailslot ----

TEST_F(Link, DebugTextsEnableIsExactly16BytesAndEachOpenWritesOneResultText) {
    Mailslot slot("Debug_QBV_DOWNLOAD");
    ASSERT_TRUE(slot.valid());

    ASSERT_TRUE(link->connect(window.hwnd, kNormalPort, kBaud));
    std::vector<std::string> texts = slot.readAll();
    ASSERT_EQ(texts.size(), 1u);
    EXPECT_EQ(texts[0], "Result = COMM_LK207/1.0 200 OK\r\nResultCode: 200\r\nResultMessage: OK\r\n\r\n\n");
    EXPECT_EQ(texts[0].rfind("Result = ", 0), 0u);
    EXPECT_EQ(texts[0].substr(texts[0].size() - 5), "\r\n\r\n\n");

    link->enablePolling();
    ASSERT_TRUE(pumpUntil([&] { return window.count(WindowMessage::StatusUpdate) >= 5; }, 2000));
    texts = slot.readAll();
    ASSERT_EQ(texts.size(), 1u) << "periodic polls must write nothing";
    EXPECT_EQ(texts[0], "Enable Message \r");
    EXPECT_EQ(texts[0].size(), 16u);

    link->disablePolling();
    pumpUntilQuiet(window);
    const std::size_t answers = window.got.size();
    ASSERT_TRUE(link->pollOnce());
    ASSERT_TRUE(link->postCommand(buildFrame(UnitCommand::Ack)));
    ASSERT_TRUE(pumpUntil([&] { return window.got.size() >= answers + 2; }, 2000));
    texts = slot.readAll();
    EXPECT_EQ(texts, (std::vector<std::string>{"Disable Message \r", "Polling Message \r", "Command Message \r"}));

    link->disconnect();
    EXPECT_TRUE(slot.readAll().empty()) << "Close writes nothing";

    EXPECT_FALSE(link->connect(window.hwnd, kMissingPort, kBaud));
    texts = slot.readAll();
    ASSERT_EQ(texts.size(), 1u);
    EXPECT_EQ(texts[0],
              "Result = COMM_LK207/1.0 401 Memory Failure\r\nResultCode: 401\r\nResultMessage: Memory Failure\r\n\r\n\n");
}

// ---- buffer ownership ----

TEST_F(Link, ALongRunOfPollsAndCommandsFreesEveryPostedBufferExactlyOnce) {
    const long made = postedBuffersMade();
    ASSERT_TRUE(link->connect(window.hwnd, kNormalPort, kBaud));
    link->enablePolling();
    constexpr int kRounds = 150;
    int commands = 0;
    const DWORD start = now();
    for (int i = 0; i < kRounds; ++i) {
        ASSERT_TRUE(link->postCommand(i % 3 == 0 ? buildFrame(UnitCommand::Ack) : dataFrame(i, static_cast<std::uint8_t>(i))));
        ++commands;
        ASSERT_TRUE(link->pollOnce());
        if (i % 10 == 0) pump(5);
    }
    ASSERT_TRUE(pumpUntil([&] { return window.count(WindowMessage::Response) >= kRounds; }, 20000));
    link->disablePolling();
    link->disconnect();
    pumpUntilQuiet(window);
    std::printf("long run: %d commands, %d polls asked, %zu answers in %lu ms\n", commands, kRounds, window.got.size(),
                static_cast<unsigned long>(now() - start));
    EXPECT_EQ(window.count(WindowMessage::Response), kRounds);
    EXPECT_GE(window.count(WindowMessage::StatusUpdate), kRounds);
    EXPECT_EQ(window.count(WindowMessage::Alarm), 0);
    // Every buffer made was either a command (freed by the worker) or an answer (freed by the window).
    EXPECT_EQ(postedBuffersMade() - made, static_cast<long>(commands + window.got.size()));
    EXPECT_EQ(livePostedBuffers(), liveAtStart_);
}

TEST_F(Link, AnswersPostedToADestroyedWindowAreFreedByTheWorker) {
    auto doomed = std::make_unique<TestWindow>();
    ASSERT_TRUE(link->connect(doomed->hwnd, kNormalPort, kBaud));
    link->enablePolling();
    ASSERT_TRUE(pumpUntil([&] { return doomed->got.size() >= 3; }, 2000));
    link->disablePolling();
    pumpUntilQuiet(*doomed);
    discardPendingLinkMessages(doomed->hwnd);
    doomed->destroy();

    const long made = postedBuffersMade();
    constexpr int kRounds = 20;
    for (int i = 0; i < kRounds; ++i) {
        ASSERT_TRUE(link->pollOnce());
        ASSERT_TRUE(link->postCommand(buildFrame(UnitCommand::Ack)));
    }
    // 20 commands from the window side, 40 answers from the worker whose posts all fail.
    EXPECT_TRUE(pumpUntil([&] { return postedBuffersMade() - made == 3 * kRounds && livePostedBuffers() == liveAtStart_; },
                          5000))
        << "made " << postedBuffersMade() - made << ", alive " << livePostedBuffers() - liveAtStart_;
    link->disconnect();
    EXPECT_EQ(livePostedBuffers(), liveAtStart_);
}

TEST_F(Link, DiscardPendingLinkMessagesFreesWhatTheWindowHasNotTakenYet) {
    ASSERT_TRUE(link->connect(window.hwnd, kNormalPort, kBaud));
    link->enablePolling();
    Sleep(300);  // answers pile up in the queue, nothing is dispatched
    link->disconnect();
    EXPECT_GT(livePostedBuffers(), liveAtStart_);
    const int discarded = discardPendingLinkMessages(window.hwnd);
    std::printf("discarded %d pending answers\n", discarded);
    EXPECT_GT(discarded, 0);
    EXPECT_EQ(livePostedBuffers(), liveAtStart_);
    pump(50);
    EXPECT_TRUE(window.got.empty());
}

// ---- close under trouble ----

TEST_F(Link, DisconnectWhileTheUnitIsSilentReturnsWithinAboutTwoSeconds) {
    const std::set<DWORD> before = threadIds();
    ASSERT_TRUE(link->connect(window.hwnd, kSilentPort, kBaud));
    const std::set<DWORD> started = threadsStartedBetween(before, threadIds());
    EXPECT_FALSE(started.empty()) << "the worker thread";
    link->enablePolling();
    ASSERT_TRUE(pumpUntil([&] { return !window.got.empty(); }, 2500));  // the first poll's 102 after ~1 s
    EXPECT_EQ(window.got[0].message, WindowMessage::Alarm);
    EXPECT_TRUE(window.got[0].bytes.empty());
    // As the window ends a download: automatic polling off, one Polling still queued behind the poll under way.
    link->disablePolling();
    ASSERT_TRUE(link->pollOnce());
    const DWORD start = now();
    link->disconnect();
    const DWORD took = now() - start;
    std::printf("disconnect with a silent unit (poll under way + 1 queued): %lu ms\n", static_cast<unsigned long>(took));
    EXPECT_LE(took, 2600u);
    EXPECT_FALSE(link->isConnected());
    EXPECT_FALSE(moduleLoaded(kLibraryName));
    EXPECT_TRUE(allEnded(started)) << "a thread was left running";
    pumpUntilQuiet(window);
    for (const Received& r : window.got) EXPECT_EQ(r.message, WindowMessage::Alarm);
}

TEST_F(Link, DisconnectWhileTheUnitIsSilentAndNothingQueuedTakesAboutOneExchange) {
    ASSERT_TRUE(link->connect(window.hwnd, kSilentPort, kBaud));
    link->enablePolling();
    pump(300);  // a poll is under way
    const DWORD start = now();
    link->disconnect();
    const DWORD took = now() - start;
    std::printf("disconnect with a silent unit (poll under way): %lu ms\n", static_cast<unsigned long>(took));
    EXPECT_LE(took, 1600u);
    EXPECT_FALSE(moduleLoaded(kLibraryName));
}

TEST_F(Link, AWorkerThatDoesNotEndIsTerminatedAndTheLibraryStillUnloaded) {
    const std::set<DWORD> before = threadIds();
    StuckLinkWorker worker(window.hwnd);
    ASSERT_TRUE(worker.start(kNormalPort, kBaud));
    const std::set<DWORD> started = threadsStartedBetween(before, threadIds());
    worker.post(WorkerMessage::EnableComm, 0);
    worker.wake();
    ASSERT_TRUE(pumpUntil([&] { return !window.got.empty(); }, 2000));
    const DWORD start = now();
    worker.stop();
    const DWORD took = now() - start;
    std::printf("stop with a worker that does not end: %lu ms, exit code %lu\n", static_cast<unsigned long>(took),
                static_cast<unsigned long>(worker.lastExitCode()));
    EXPECT_EQ(worker.lastJoinOutcome(), WorkerThread::JoinOutcome::Terminated);
    EXPECT_EQ(worker.lastExitCode(), WorkerThread::kTerminateExitCode);
    EXPECT_GE(took, 900u);
    EXPECT_LE(took, 2500u);
    EXPECT_FALSE(worker.connected());
    EXPECT_FALSE(moduleLoaded(kLibraryName));
    EXPECT_TRUE(allEnded(started)) << "the stuck worker was not ended";

    // The port was closed: a new connection opens it again.
    pumpUntilQuiet(window);
    window.got.clear();
    ASSERT_TRUE(link->connect(window.hwnd, kNormalPort, kBaud));
    ASSERT_TRUE(link->pollOnce());
    ASSERT_TRUE(pumpUntil([&] { return !window.got.empty(); }, 2000));
    EXPECT_EQ(window.got[0].message, WindowMessage::StatusUpdate);
}

TEST(WorkerThreadJoin, AThreadThatEndsIsJoinedWithExitCode1) {
    QuickThread thread;
    ASSERT_TRUE(thread.startThread(0));
    EXPECT_NE(thread.threadId(), 0u);
    thread.join();
    EXPECT_EQ(thread.lastJoinOutcome(), WorkerThread::JoinOutcome::Ended);
    EXPECT_EQ(thread.lastExitCode(), 1u);
    EXPECT_FALSE(thread.hasThread());
}
