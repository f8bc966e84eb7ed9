// Support for the Windows tests of the link: a hidden window that receives StatusUpdate, Response and Alarm the way
// the dialog does (takePostedBuffer), a message pump, mailslot readers, the virtual units' transcripts, and probes
// for loaded modules and threads.
#pragma once

#include <windows.h>

#include <set>
#include <tlhelp32.h>

#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "ByteBuffer.h"
#include "Crc16.h"
#include "LinkMessages.h"
#include "LinkWorkerCore.h"
#include "PostedBuffer.h"

namespace linktest {

// The harness (scripts/with-virtual-units.sh) maps these ports to virtual units before the tests run.
constexpr const char* kNormalPort = "COM1";   // a unit in download mode: idle status Disable, ACK to commands
constexpr const char* kSilentPort = "COM2";   // never answers: every exchange ends with 102 after one second
constexpr const char* kCorruptPort = "COM3";  // every reply has a wrong check byte: 105
constexpr const char* kMissingPort = "COM19"; // mapped to nothing: Open answers 401
constexpr std::uint32_t kBaud = 9600;
constexpr const char* kLibraryName = "lk207.dll";

inline DWORD now() { return GetTickCount(); }

inline std::string exeFolder() {
    char path[MAX_PATH] = {};
    GetModuleFileNameA(nullptr, path, MAX_PATH);
    std::string s(path);
    return s.substr(0, s.find_last_of("\\/") + 1);
}

inline bool moduleLoaded(const char* name) { return GetModuleHandleA(name) != nullptr; }

// Threads of this process, by the system's thread list.
// The ids of this process's threads.
inline std::set<DWORD> threadIds() {
    std::set<DWORD> ids;
    HANDLE snap = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    if (snap == INVALID_HANDLE_VALUE) return ids;
    THREADENTRY32 entry{};
    entry.dwSize = sizeof entry;
    for (BOOL ok = Thread32First(snap, &entry); ok; ok = Thread32Next(snap, &entry)) {
        if (entry.th32OwnerProcessID == GetCurrentProcessId()) ids.insert(entry.th32ThreadID);
    }
    CloseHandle(snap);
    return ids;
}

// True when no thread of this id runs any more.
inline bool threadEnded(DWORD id) {
    if (id == 0) return true;
    HANDLE h = OpenThread(SYNCHRONIZE, FALSE, id);
    if (h == nullptr) return true;
    const bool signalled = WaitForSingleObject(h, 0) == WAIT_OBJECT_0;
    CloseHandle(h);
    return signalled;
}

// The threads that started between two snapshots (a connection's own worker among them).
inline std::set<DWORD> threadsStartedBetween(const std::set<DWORD>& before, const std::set<DWORD>& after) {
    std::set<DWORD> started;
    for (DWORD id : after) {
        if (!before.count(id)) started.insert(id);
    }
    return started;
}

// True once every thread in `ids` has ended, waiting up to `limitMs` for the last ones.
inline bool allEnded(const std::set<DWORD>& ids, DWORD limitMs = 1000) {
    const DWORD start = GetTickCount();
    for (;;) {
        bool ended = true;
        for (DWORD id : ids) ended = ended && threadEnded(id);
        if (ended) return true;
        if (GetTickCount() - start >= limitMs) return false;
        Sleep(20);
    }
}

struct Received {
    WindowMessage message;
    ByteBuffer bytes;
};

// A hidden (message-only) window standing in for the dialog: it takes over every posted buffer on arrival.
class TestWindow {
public:
    TestWindow() {
        static const char* kClass = "QbvLinkTestWindow";
        static bool registered = false;
        if (!registered) {
            WNDCLASSA wc{};
            wc.lpfnWndProc = &TestWindow::proc;
            wc.hInstance = GetModuleHandleA(nullptr);
            wc.lpszClassName = kClass;
            RegisterClassA(&wc);
            registered = true;
        }
        statusUpdate_ = RegisterWindowMessageA(linkmsg::kStatusUpdate);
        response_ = RegisterWindowMessageA(linkmsg::kResponse);
        alarm_ = RegisterWindowMessageA(linkmsg::kAlarm);
        hwnd = CreateWindowExA(0, kClass, "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, GetModuleHandleA(nullptr), nullptr);
        SetWindowLongPtrA(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
    }
    ~TestWindow() { destroy(); }
    TestWindow(const TestWindow&) = delete;
    TestWindow& operator=(const TestWindow&) = delete;

    void destroy() {
        if (hwnd != nullptr) {
            SetWindowLongPtrA(hwnd, GWLP_USERDATA, 0);
            DestroyWindow(hwnd);
            hwnd = nullptr;
        }
    }

    int count(WindowMessage message) const {
        int n = 0;
        for (const Received& r : got) n += r.message == message;
        return n;
    }
    std::vector<Received> of(WindowMessage message) const {
        std::vector<Received> out;
        for (const Received& r : got) {
            if (r.message == message) out.push_back(r);
        }
        return out;
    }

    HWND hwnd = nullptr;
    std::vector<Received> got;

private:
    static LRESULT CALLBACK proc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
        auto* self = reinterpret_cast<TestWindow*>(GetWindowLongPtrA(hwnd, GWLP_USERDATA));
        if (self != nullptr) {
            if (msg == self->statusUpdate_) return self->take(WindowMessage::StatusUpdate, lParam);
            if (msg == self->response_) return self->take(WindowMessage::Response, lParam);
            if (msg == self->alarm_) return self->take(WindowMessage::Alarm, lParam);
        }
        return DefWindowProcA(hwnd, msg, wParam, lParam);
    }
    LRESULT take(WindowMessage message, LPARAM lParam) {
        got.push_back({message, takePostedBuffer(lParam)});
        return 0;
    }

    UINT statusUpdate_ = 0;
    UINT response_ = 0;
    UINT alarm_ = 0;
};

// Dispatches this thread's messages for `ms` milliseconds.
inline void pump(DWORD ms) {
    const DWORD start = now();
    for (;;) {
        MSG msg;
        while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&msg);
            DispatchMessageA(&msg);
        }
        const DWORD elapsed = now() - start;
        if (elapsed >= ms) return;
        MsgWaitForMultipleObjects(0, nullptr, FALSE, ms - elapsed, QS_ALLINPUT);
    }
}

// Dispatches until `done` holds or `timeoutMs` passed; answers `done()`.
inline bool pumpUntil(const std::function<bool()>& done, DWORD timeoutMs) {
    const DWORD start = now();
    while (!done()) {
        if (now() - start >= timeoutMs) return done();
        pump(5);
    }
    return true;
}

// Dispatches until no message arrived at `window` for `quietMs` (at most `maxMs`).
inline void pumpUntilQuiet(const TestWindow& window, DWORD quietMs = 100, DWORD maxMs = 3000) {
    const DWORD start = now();
    std::size_t seen = window.got.size();
    DWORD lastChange = now();
    while (now() - start < maxMs) {
        pump(10);
        if (window.got.size() != seen) {
            seen = window.got.size();
            lastChange = now();
        } else if (now() - lastChange >= quietMs) {
            return;
        }
    }
}

// A mailslot the test creates, as the outside debug viewer would.
class Mailslot {
public:
    explicit Mailslot(const std::string& name)
        : handle_(CreateMailslotA(("\\\\.\\mailslot\\" + name).c_str(), 0, 0, nullptr)) {}
    ~Mailslot() {
        if (valid()) CloseHandle(handle_);
    }
    Mailslot(const Mailslot&) = delete;
    Mailslot& operator=(const Mailslot&) = delete;

    bool valid() const { return handle_ != INVALID_HANDLE_VALUE; }
    // Every message waiting, in order.
    std::vector<std::string> readAll() {
        std::vector<std::string> out;
        for (;;) {
            DWORD next = 0, count = 0;
            if (!GetMailslotInfo(handle_, nullptr, &next, &count, nullptr) || count == 0 || next == MAILSLOT_NO_MESSAGE) {
                return out;
            }
            std::string text(next, '\0');
            DWORD read = 0;
            if (!ReadFile(handle_, text.data(), next, &read, nullptr)) return out;
            text.resize(read);
            out.push_back(text);
        }
    }
    int waiting() {
        DWORD next = 0, count = 0;
        return GetMailslotInfo(handle_, nullptr, &next, &count, nullptr) ? static_cast<int>(count) : -1;
    }

private:
    HANDLE handle_;
};

inline std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

// The lines "IN ..." of the virtual unit behind a port, as hex texts such as "FC 05 11 27 56".
inline std::vector<std::string> framesReceivedBy(const std::string& port) {
    const char* dir = std::getenv("QBV_PORT_DIR");
    std::vector<std::string> frames;
    if (dir == nullptr) return frames;
    std::string name = port;
    for (char& c : name) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    std::istringstream lines(readFile(std::string("Z:") + dir + "/transcript-" + name + ".txt"));
    std::string line;
    while (std::getline(lines, line)) {
        const std::string::size_type in = line.find(" IN ");
        if (in != std::string::npos) frames.push_back(line.substr(in + 4));
    }
    return frames;
}

// The hex text of a frame as it goes on the line: with its check bytes, low byte first.
inline std::string onTheLine(const ByteBuffer& frame) {
    ByteBuffer full = frame;
    full.append16(Crc16::of(frame.data(), frame.size()));
    std::string text;
    char hex[4];
    for (std::size_t i = 0; i < full.size(); ++i) {
        wsprintfA(hex, i == 0 ? "%02X" : " %02X", full[i]);
        text += hex;
    }
    return text;
}

}  // namespace linktest
