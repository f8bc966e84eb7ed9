// Windows checks of what crosses the driver library's boundary: each answer block the library hands to the link goes
// back exactly once, each command still queued when the worker ends is freed, and a connection leaves no handle behind.
#include <atomic>
#include <cstdlib>

#include "DriverLibrary_win32.h"
#include "LinkWorker_win32.h"
#include "UnitCommands.h"
#include "WinTestSupport_win32.h"
#include "WindowOperator_win32.h"

namespace {
constexpr const char* kCountingDriver = "counting_driver.dll";
constexpr std::uint32_t kSilentOffset = 0xEEEE, kSlowOffset = 0x5100;  // as the counting driver's unit treats them
constexpr DWORD kInsideSlowExchangeMs = 100;                           // well within its 300 ms

std::atomic<long> freeCalls{0}, failedFrees{0};
decltype(&GlobalFree) realGlobalFree = nullptr;

HGLOBAL WINAPI countingGlobalFree(HGLOBAL block) {
    ++freeCalls;
    const HGLOBAL left = realGlobalFree(block);
    if (left != nullptr) ++failedFrees;
    return left;
}

// The executable's import slot of a kernel32 function.
void** importSlot(const char* function) {
    auto* base = reinterpret_cast<BYTE*>(GetModuleHandleA(nullptr));
    const auto* nt = reinterpret_cast<IMAGE_NT_HEADERS*>(base + reinterpret_cast<IMAGE_DOS_HEADER*>(base)->e_lfanew);
    const DWORD imports = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT].VirtualAddress;
    for (auto* d = reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR*>(base + imports); d->Name != 0; ++d) {
        if (lstrcmpiA(reinterpret_cast<char*>(base + d->Name), "kernel32.dll") != 0) continue;
        auto* name = reinterpret_cast<IMAGE_THUNK_DATA*>(base + d->OriginalFirstThunk);
        auto* slot = reinterpret_cast<IMAGE_THUNK_DATA*>(base + d->FirstThunk);
        for (; name->u1.AddressOfData != 0; ++name, ++slot) {
            if (IMAGE_SNAP_BY_ORDINAL(name->u1.Ordinal)) continue;
            const auto* byName = reinterpret_cast<IMAGE_IMPORT_BY_NAME*>(base + name->u1.AddressOfData);
            if (lstrcmpA(reinterpret_cast<const char*>(byName->Name), function) == 0) {
                return reinterpret_cast<void**>(&slot->u1.Function);
            }
        }
    }
    return nullptr;
}

// While it lives, the executable's GlobalFree calls are counted: the link gives answer blocks back there and
// nowhere else.
struct GlobalFreeCount {
    void** slot = importSlot("GlobalFree");
    GlobalFreeCount() { swapIn(reinterpret_cast<void*>(&countingGlobalFree)); }
    ~GlobalFreeCount() { swapIn(reinterpret_cast<void*>(realGlobalFree)); }
    void swapIn(void* function) {
        DWORD was = 0;
        if (slot == nullptr || !VirtualProtect(slot, sizeof *slot, PAGE_READWRITE, &was)) return;
        if (realGlobalFree == nullptr) realGlobalFree = reinterpret_cast<decltype(&GlobalFree)>(*slot);
        *slot = function;
        VirtualProtect(slot, sizeof *slot, was, &was);
    }
};

// The link's own use of a driver library, with the counting driver loaded in place of lk207.dll.
struct CountingLibrary : Win32DriverLibrary {
    bool open(const std::string&) override { return Win32DriverLibrary::open(thisExeFolder() + kCountingDriver); }
};

std::unique_ptr<LinkWorker> countingWorker(HWND window) {
    SetEnvironmentVariableA("QBV_ANSWER_BLOCKS", "0");
    return std::make_unique<LinkWorker>(window, [] { return std::make_unique<CountingLibrary>(); });
}

long answerBlocksMade() {
    char text[32] = {};
    GetEnvironmentVariableA("QBV_ANSWER_BLOCKS", text, sizeof text);
    return std::strtol(text, nullptr, 10);
}

LPARAM blockAt(std::uint32_t offset) {
    const std::uint8_t byte = 0x5A;
    return reinterpret_cast<LPARAM>(allocatePostedBuffer(buildDataFrame(offset, &byte, 1)));
}
}  // namespace

TEST(DriverLibraryBlocks, EachAnswerBlockGoesBackExactlyOnceOverAConnectionsLife) {
    TestWindow window;
    GlobalFreeCount frees;  // an executable that never imports GlobalFree counts no frees
    freeCalls = failedFrees = 0;
    auto worker = countingWorker(window.hwnd);
    ASSERT_TRUE(worker->start("COM1", 9600));
    ASSERT_TRUE(worker->post(WorkerMessage::Polling, 0) && worker->post(WorkerMessage::Command, blockAt(0)) &&
                worker->post(WorkerMessage::Command, blockAt(kSilentOffset)) &&
                worker->post(WorkerMessage::EnableComm, 0));
    worker->wake();
    EXPECT_TRUE(pumpUntil([&] { return window.kinds.size() >= 10; }, 3000)) << window.kinds;
    worker->post(WorkerMessage::DisableComm, 0);
    worker->stop();
    worker.reset();
    EXPECT_EQ(window.kinds.substr(0, 3), "SRA") << "a poll, a command, a failed exchange";
    EXPECT_GE(answerBlocksMade(), 12);
    EXPECT_EQ(freeCalls.load(), answerBlocksMade());
    EXPECT_EQ(failedFrees.load(), 0);
}

TEST(DriverLibraryBlocks, CommandsStillQueuedWhenTheWorkerEndsAreFreed) {
    TestWindow window;
    const long live = livePostedBuffers();
    auto worker = countingWorker(window.hwnd);
    ASSERT_TRUE(worker->start("COM1", 9600));
    ASSERT_TRUE(worker->post(WorkerMessage::Command, blockAt(kSlowOffset)));
    worker->wake();
    Sleep(kInsideSlowExchangeMs);
    ASSERT_TRUE(worker->post(WorkerMessage::ExitThread, 0));
    for (std::uint32_t i = 0; i < 5; ++i) ASSERT_TRUE(worker->post(WorkerMessage::Command, blockAt(i)));
    worker->stop();
    worker.reset();
    pump(100);
    EXPECT_EQ(window.kinds, "R") << "nothing behind ExitThread is exchanged";
    EXPECT_EQ(livePostedBuffers(), live);
}

// Each connection loads and unloads lk207.dll on the window's thread: what the library starts there must end with it.
TEST(DriverLibraryBlocks, ConnectionsThroughTheDriverLibraryLeaveNoHandleBehind) {
    const auto connection = [] {
        DriverClient client(makeSystemDriverLibrary());
        ASSERT_TRUE(client.bind(thisExeFolder() + "lk207.dll"));
        client.openPort(kMissing, 9600);
        client.closePort();
    };
    connection();
    const DWORD before = winop::usageOf(GetCurrentProcess(), GetCurrentProcessId()).handles;
    for (int i = 0; i < 5; ++i) connection();
    EXPECT_EQ(winop::usageOf(GetCurrentProcess(), GetCurrentProcessId()).handles, before);
}
