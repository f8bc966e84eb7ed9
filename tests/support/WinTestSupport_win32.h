// Support of the Windows tests of lk207.dll and the link: ports, the exe folder, lk207.dll's `request`, the units'
// transcripts, mailslots, a hidden window that takes the link's answers, a message pump and a thread probe.
#pragma once

#include <windows.h>
#include <tlhelp32.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <set>

#include "ExePath.h"
#include "LinkMessages.h"
#include "PostedBuffer.h"

// scripts/with-virtual-units.sh maps COM1..COM4; COM19 is mapped to nothing.
constexpr const char *kNormal = "COM1", *kSilent = "COM2", *kCorrupt = "COM3", *kNoisy = "COM4", *kMissing = "COM19";
const std::string kOk = "COMM_LK207/1.0 200 OK\r\n\r\n", k401 = "COMM_LK207/1.0 401 Memory Failure\r\n\r\n";

inline std::string thisExeFolder() {
    char path[MAX_PATH] = {};
    return exepath::folderOf(std::string(path, GetModuleFileNameA(nullptr, path, MAX_PATH)));
}

// One call of lk207.dll's `request` under the block contract: a GPTR block of n + 1 bytes in, an answer block of
// m + 1 bytes ending in 0 out with m stored through `length`, freed with GlobalFree.
inline std::string request(HMODULE dll, const std::string& bytes, std::uint32_t length) {
    using RequestFn = char*(__cdecl*)(char*, std::uint32_t*);
    const auto fn = reinterpret_cast<RequestFn>(reinterpret_cast<void*>(GetProcAddress(dll, "request")));
    char* block = static_cast<char*>(GlobalAlloc(GPTR, bytes.size() + 1));
    CopyMemory(block, bytes.data(), bytes.size());
    char* answer = fn(block, &length);
    EXPECT_TRUE(answer && GlobalSize(answer) == length + 1u && answer[length] == '\0') << length;
    const std::string text = answer ? std::string(answer, length) : "<no answer block>";
    EXPECT_EQ(GlobalFree(answer), nullptr);
    return text;
}

// The frames with a good check code that the unit behind `port` received, from its transcript: "FC 05 11 27 56";
// with tag " LINE " the line settings it saw them with: "9600 1" (baud rate, stop bits).
inline std::vector<std::string> framesIn(std::string port, const std::string& tag = " IN ") {
    std::ifstream in(std::string("Z:") + std::getenv("QBV_PORT_DIR") + "/transcript-" + CharLowerA(&port[0]) + ".txt");
    std::vector<std::string> frames;
    for (std::string line; std::getline(in, line);)
        if (line.find(tag) != std::string::npos) frames.push_back(line.substr(line.find(tag) + tag.size()));
    return frames;
}

// A mailslot made by the test, as the outside debug viewer would; readAll takes every message waiting.
struct Mailslot {
    HANDLE handle;
    explicit Mailslot(std::string n) : handle(CreateMailslotA(("\\\\.\\mailslot\\" + n).c_str(), 0, 0, nullptr)) {}
    ~Mailslot() { CloseHandle(handle); }
    std::vector<std::string> readAll() {
        std::vector<std::string> texts;
        char text[4096];
        for (DWORD n = 0; ReadFile(handle, text, sizeof text, &n, nullptr);) texts.emplace_back(text, n);
        return texts;
    }
};

// A hidden window standing in for the dialog: it takes every StatusUpdate, Response and Alarm on arrival and notes
// each as 'S', 'R' or 'A' in `kinds`.
struct TestWindow {
    HWND hwnd = CreateWindowExA(0, "STATIC", "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr);
    std::string kinds;
    std::vector<ByteBuffer> bytes;
    TestWindow() {
        SetWindowLongPtrA(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
        SetWindowLongPtrA(hwnd, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&proc));
    }
    ~TestWindow() { DestroyWindow(hwnd); }
    static LRESULT CALLBACK proc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
        static const UINT ids[] = {RegisterWindowMessageA(linkmsg::kStatusUpdate),
                                   RegisterWindowMessageA(linkmsg::kResponse), RegisterWindowMessageA(linkmsg::kAlarm)};
        auto* self = reinterpret_cast<TestWindow*>(GetWindowLongPtrA(hwnd, GWLP_USERDATA));
        const auto i = std::find(ids, ids + 3, msg) - ids;
        if (i == 3) return DefWindowProcA(hwnd, msg, wParam, lParam);
        self->kinds += "SRA"[i];
        self->bytes.push_back(takePostedBuffer(lParam));
        return 0;
    }
};

// Dispatches this thread's messages until `done()` holds (true) or `ms` passed (false).
template <typename Done>
bool pumpUntil(Done done, DWORD ms) {
    for (const DWORD start = GetTickCount();; MsgWaitForMultipleObjects(0, nullptr, FALSE, 5, QS_ALLINPUT)) {
        for (MSG m; PeekMessageA(&m, nullptr, 0, 0, PM_REMOVE);) DispatchMessageA(&m);
        if (done()) return true;
        if (GetTickCount() - start >= ms) return false;
    }
}
inline void pump(DWORD ms) { pumpUntil([] { return false; }, ms); }

// The running threads of this process that are not in `before`.
inline std::set<DWORD> threadsBut(const std::set<DWORD>& before = {}) {
    std::set<DWORD> ids;
    HANDLE snap = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    THREADENTRY32 e{sizeof e, 0, 0, 0, 0, 0, 0};
    for (BOOL ok = Thread32First(snap, &e); ok; ok = Thread32Next(snap, &e))
        if (e.th32OwnerProcessID == GetCurrentProcessId() && !before.count(e.th32ThreadID)) ids.insert(e.th32ThreadID);
    CloseHandle(snap);
    return ids;
}
