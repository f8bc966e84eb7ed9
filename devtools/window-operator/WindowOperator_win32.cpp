// WindowOperator (Windows only): the tool's process, its windows, controls, boxes and dialogs, worked from outside.
#include "WindowOperator_win32.h"

#include <commctrl.h>
#include <psapi.h>
#include <winternl.h>

#include <algorithm>
#include <vector>

#include "ExePath.h"

namespace winop {
namespace {
constexpr const char* kDialogClass = "#32770";
constexpr DWORD kPollMs = 50;          // how often a wait looks again
constexpr DWORD kSampleMs = 1;         // a download's status line and progress bar sampling period
constexpr DWORD kBoxCheckMs = 20;      // how often a download's sampler looks for a box
constexpr DWORD kSendTimeoutMs = 5000; // a message to a hung tool gives up after this
constexpr DWORD kSnapshotTimeoutMs = 15000;
constexpr int kBoxTextId = 0xFFFF;     // a message box's text
constexpr int kFileNameComboId = 0x47C; // the file dialog's name field (a ComboBoxEx holding an Edit)
constexpr int kTextChars = 1024;
constexpr LPARAM kAltHeld = 1 << 29;   // the key data's context bit
constexpr LPARAM kKeyUp = 0xC0000001;  // previous state down, transition up, one repeat
constexpr long kCentreSlackPixels = 1;
constexpr ULONG kSystemHandleInformation = 16;
constexpr NTSTATUS kInfoLengthMismatch = static_cast<NTSTATUS>(0xC0000004);
constexpr std::size_t kHandleTableBytes = 1 << 20;

// Texts across processes: the wide messages, converted in this process's code page.
std::wstring widen(const std::string& text) {
    std::wstring wide(text.size(), L'\0');
    wide.resize(static_cast<std::size_t>(MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()),
                                                             wide.data(), static_cast<int>(wide.size()))));
    return wide;
}

std::string narrow(const std::wstring& wide) {
    std::string text(wide.size() * 2, '\0');
    text.resize(static_cast<std::size_t>(WideCharToMultiByte(CP_ACP, 0, wide.data(), static_cast<int>(wide.size()),
                                                             text.data(), static_cast<int>(text.size()), nullptr,
                                                             nullptr)));
    return text;
}

LRESULT send(HWND window, UINT message, WPARAM wParam = 0, LPARAM lParam = 0) {
    DWORD_PTR result = 0;
    if (!SendMessageTimeoutW(window, message, wParam, lParam, SMTO_ABORTIFHUNG, kSendTimeoutMs, &result)) return -1;
    return static_cast<LRESULT>(result);
}

std::string textOf(HWND window) {
    wchar_t buffer[kTextChars] = {};
    send(window, WM_GETTEXT, kTextChars, reinterpret_cast<LPARAM>(buffer));
    return narrow(buffer);
}

std::string classOf(HWND window) {
    char name[256] = {};
    GetClassNameA(window, name, sizeof name);
    return name;
}

struct Search {
    DWORD pid;
    std::vector<HWND> found;
};

BOOL CALLBACK collectDialog(HWND window, LPARAM context) {
    auto* search = reinterpret_cast<Search*>(context);
    DWORD pid = 0;
    GetWindowThreadProcessId(window, &pid);
    if (pid == search->pid && IsWindowVisible(window) && classOf(window) == kDialogClass) {
        search->found.push_back(window);
    }
    return TRUE;
}

BOOL CALLBACK findEdit(HWND window, LPARAM context) {
    if (classOf(window) != "Edit") return TRUE;
    *reinterpret_cast<HWND*>(context) = window;
    return FALSE;
}

std::vector<HWND> dialogsOf(DWORD pid) {
    Search search{pid, {}};
    EnumWindows(collectDialog, reinterpret_cast<LPARAM>(&search));
    return search.found;
}

bool waitUntil(const std::function<bool()>& done, DWORD timeoutMs) {
    const DWORD start = GetTickCount();
    while (!done()) {
        if (GetTickCount() - start > timeoutMs) return false;
        Sleep(kPollMs);
    }
    return true;
}

bool waitGone(HWND window) {
    return waitUntil([&] { return !IsWindow(window) || !IsWindowVisible(window); }, kBoxTimeoutMs);
}

void pressOk(HWND dialog, WPARAM id = IDOK) {
    const HWND button = GetDlgItem(dialog, static_cast<int>(id));
    PostMessageA(dialog, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), reinterpret_cast<LPARAM>(button));
}
}  // namespace

std::string readFile(const std::string& path) {
    const HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                    nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return std::string();
    std::string bytes;
    char chunk[65536];
    DWORD got = 0;
    while (ReadFile(file, chunk, sizeof chunk, &got, nullptr) && got > 0) bytes.append(chunk, got);
    CloseHandle(file);
    return bytes;
}

bool writeFile(const std::string& path, const std::string& bytes) {
    const HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                                    nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    DWORD written = 0;
    const BOOL ok = WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
    CloseHandle(file);
    return ok && written == bytes.size();
}

bool exists(const std::string& path) { return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

std::vector<std::string> folderEntries(const std::string& folder) {
    std::vector<std::string> names;
    WIN32_FIND_DATAA found{};
    const HANDLE search = FindFirstFileA((folder + "\\*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) return names;
    do {
        const std::string name = found.cFileName;
        if (name != "." && name != "..") names.push_back(name);
    } while (FindNextFileA(search, &found));
    FindClose(search);
    std::sort(names.begin(), names.end());
    return names;
}

bool askSnapshot(const std::string& folder, const std::string& name) {
    const std::string done = folder + "\\" + name + ".done";
    return writeFile(folder + "\\" + name + ".request", name) &&
           waitUntil([&] { return exists(done); }, kSnapshotTimeoutMs);
}

Tool::~Tool() {
    if (process_.hProcess != nullptr) waitExit(0);
}

bool Tool::launch(const std::string& exe, const std::string& workingFolder) {
    folder_ = exepath::folderOf(exe);
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    std::string commandLine = "\"" + exe + "\"";
    return CreateProcessA(exe.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, workingFolder.c_str(),
                          &startup, &process_) != FALSE;
}

bool Tool::start(const std::string& exe, const std::string& workingFolder) {
    if (!launch(exe, workingFolder)) return false;
    return waitUntil([&] { return (main_ = find(kMainCaption, false)) != nullptr; }, kWindowTimeoutMs);
}

int Tool::waitExit(DWORD timeoutMs) {
    int code = -1;
    DWORD exitCode = 0;
    if (WaitForSingleObject(process_.hProcess, timeoutMs) == WAIT_OBJECT_0 &&
        GetExitCodeProcess(process_.hProcess, &exitCode)) {
        code = static_cast<int>(exitCode);
    } else {
        TerminateProcess(process_.hProcess, 99);
        WaitForSingleObject(process_.hProcess, kExitTimeoutMs);
    }
    CloseHandle(process_.hThread);
    CloseHandle(process_.hProcess);
    process_ = PROCESS_INFORMATION{};
    main_ = nullptr;
    return code;
}

int Tool::close(Close how) {
    const HWND field = GetDlgItem(main_, kFilePath);
    switch (how) {
    case Close::CloseBox: PostMessageA(main_, WM_SYSCOMMAND, SC_CLOSE, 0); break;
    case Close::Escape: key(VK_ESCAPE); break;
    case Close::AltF4: PostMessageA(field, WM_SYSKEYDOWN, VK_F4, kAltHeld | 1); break;
    case Close::Message: PostMessageA(main_, WM_CLOSE, 0, 0); break;
    }
    return waitExit();
}

bool Tool::running() const { return WaitForSingleObject(process_.hProcess, 0) == WAIT_TIMEOUT; }

std::string Tool::title() const { return textOf(main_); }

std::string Tool::text(int id) const { return textOf(GetDlgItem(main_, id)); }

std::vector<std::string> Tool::items(int id) const {
    std::vector<std::string> entries;
    const HWND combo = GetDlgItem(main_, id);
    for (LRESULT i = 0, count = send(combo, CB_GETCOUNT); i < count; ++i) {
        wchar_t buffer[kTextChars] = {};
        if (send(combo, CB_GETLBTEXTLEN, static_cast<WPARAM>(i)) >= kTextChars) continue;
        send(combo, CB_GETLBTEXT, static_cast<WPARAM>(i), reinterpret_cast<LPARAM>(buffer));
        entries.push_back(narrow(buffer));
    }
    return entries;
}

std::string Tool::selection(int id) const {
    const LRESULT index = send(GetDlgItem(main_, id), CB_GETCURSEL);
    const std::vector<std::string> entries = items(id);
    const auto at = static_cast<std::size_t>(index);
    return index >= 0 && at < entries.size() ? entries[at] : "";
}

bool Tool::select(int id, const std::string& entry) const {
    const std::wstring wide = widen(entry);
    return send(GetDlgItem(main_, id), CB_SELECTSTRING, static_cast<WPARAM>(-1),
                reinterpret_cast<LPARAM>(wide.c_str())) != CB_ERR;
}

bool Tool::enabled(int id) const { return IsWindowEnabled(GetDlgItem(main_, id)) != FALSE; }

bool Tool::allEnabled() const {
    return std::all_of(std::begin(kTogetherControls), std::end(kTogetherControls), [&](int id) { return enabled(id); });
}

bool Tool::visible(int id) const { return IsWindowVisible(GetDlgItem(main_, id)) != FALSE; }

LRESULT Tool::progressRange() const { return send(GetDlgItem(main_, kProgress), PBM_GETRANGE, FALSE); }

LRESULT Tool::progressPosition() const { return send(GetDlgItem(main_, kProgress), PBM_GETPOS); }

bool Tool::centred() const {
    RECT area{}, window{};
    SystemParametersInfoA(SPI_GETWORKAREA, 0, &area, 0);
    GetWindowRect(main_, &window);
    const long dx = (window.left + window.right) / 2 - (area.left + area.right) / 2;
    const long dy = (window.top + window.bottom) / 2 - (area.top + area.bottom) / 2;
    return std::max(std::labs(dx), std::labs(dy)) <= kCentreSlackPixels;
}

bool Tool::acceptsFiles() const { return (GetWindowLongPtrA(main_, GWL_EXSTYLE) & WS_EX_ACCEPTFILES) != 0; }

void Tool::click(int id) const { PostMessageA(GetDlgItem(main_, id), BM_CLICK, 0, 0); }

void Tool::command(UINT id) const { pressOk(main_, id); }

void Tool::key(WPARAM virtualKey) const {
    const HWND field = GetDlgItem(main_, kFilePath);
    PostMessageA(field, WM_KEYDOWN, virtualKey, 1);
    PostMessageA(field, WM_KEYUP, virtualKey, kKeyUp);
}

bool Tool::waitFor(const std::function<bool()>& done, DWORD timeoutMs) const { return waitUntil(done, timeoutMs); }

bool Tool::waitText(int id, const std::string& expected) const {
    return waitUntil([&] { return text(id) == expected; }, kBoxTimeoutMs);
}

HWND Tool::find(const std::string& caption, bool otherThanMain) const {
    for (const HWND window : dialogsOf(process_.dwProcessId)) {
        if ((window != main_ || !otherThanMain) && textOf(window) == caption) return window;
    }
    return nullptr;
}

std::vector<HWND> Tool::others() const {
    std::vector<HWND> found = dialogsOf(process_.dwProcessId);
    found.erase(std::remove(found.begin(), found.end(), main_), found.end());
    return found;
}

bool Tool::quiet(DWORD ms) const { return !waitUntil([&] { return !others().empty(); }, ms); }

HWND Tool::waitBox(DWORD timeoutMs) const {
    HWND box = nullptr;
    waitUntil([&] {
        const std::vector<HWND> found = others();
        return (box = found.empty() ? nullptr : found.front()) != nullptr;
    }, timeoutMs);
    return box;
}

Box Tool::answer(HWND box) const {
    Box seen;
    if (box == nullptr) return seen;
    seen = Box{true, textOf(box), textOf(GetDlgItem(box, kBoxTextId)), {}};
    for (HWND child = GetWindow(box, GW_CHILD); child != nullptr; child = GetWindow(child, GW_HWNDNEXT)) {
        seen.controls.push_back(textOf(child));
    }
    pressOk(box);
    seen.shown = waitGone(box);
    return seen;
}

bool Tool::browse(const std::string& path) const {
    click(kBrowse);
    HWND dialog = nullptr;
    if (!waitUntil([&] { return (dialog = find(kFileDialogCaption, true)) != nullptr; }, kBoxTimeoutMs)) return false;
    HWND edit = nullptr;
    EnumChildWindows(GetDlgItem(dialog, kFileNameComboId), findEdit, reinterpret_cast<LPARAM>(&edit));
    if (edit == nullptr) return false;
    const std::wstring wide = widen(path);
    send(edit, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(wide.c_str()));
    pressOk(dialog, path.empty() ? IDCANCEL : IDOK);
    return waitGone(dialog);
}

// A helper DLL loaded into the tool builds the HDROP there and posts it: it reads "<its own name>.txt", the window
// handle in decimal, then one path a line. Each drop loads a copy of its own, since a loaded DLL is not run again.
bool Tool::drop(const std::vector<std::string>& files, const std::string& helperDll, const std::string& scratch) const {
    static int dropNumber = 0;
    const std::string base = scratch + "\\drop" + std::to_string(++dropNumber);
    const std::string dllPath = base + ".dll";
    std::string request = std::to_string(reinterpret_cast<UINT_PTR>(main_)) + "\r\n";
    for (const std::string& file : files) request += file + "\r\n";
    if (!CopyFileA(helperDll.c_str(), dllPath.c_str(), FALSE) || !writeFile(base + ".txt", request)) return false;
    void* remote = VirtualAllocEx(process_.hProcess, nullptr, dllPath.size() + 1, MEM_COMMIT | MEM_RESERVE,
                                  PAGE_READWRITE);
    if (remote == nullptr ||
        !WriteProcessMemory(process_.hProcess, remote, dllPath.c_str(), dllPath.size() + 1, nullptr)) {
        return false;
    }
    const auto loadLibrary = reinterpret_cast<LPTHREAD_START_ROUTINE>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("kernel32.dll"), "LoadLibraryA")));
    const HANDLE thread = CreateRemoteThread(process_.hProcess, nullptr, 0, loadLibrary, remote, 0, nullptr);
    DWORD loaded = 0;
    if (thread != nullptr) {
        WaitForSingleObject(thread, kBoxTimeoutMs);
        GetExitCodeThread(thread, &loaded);
        CloseHandle(thread);
    }
    VirtualFreeEx(process_.hProcess, remote, 0, MEM_RELEASE);
    return loaded != 0;
}

namespace {
// The handles the system's handle table holds for a process; Wine leaves GetProcessHandleCount at 0.
DWORD handlesInSystemTable(DWORD pid) {
    struct Entry {
        USHORT pid, creatorBackTraceIndex;
        UCHAR type, attributes;
        USHORT handle;
        PVOID object;
        ACCESS_MASK access;
    };
    struct Table {
        ULONG count;
        Entry entries[1];
    };
    using Query = NTSTATUS(WINAPI*)(ULONG, PVOID, ULONG, PULONG);
    const auto query = reinterpret_cast<Query>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("ntdll.dll"), "NtQuerySystemInformation")));
    std::vector<char> buffer(kHandleTableBytes);
    ULONG needed = 0;
    NTSTATUS status = 0;
    while (query && (status = query(kSystemHandleInformation, buffer.data(), static_cast<ULONG>(buffer.size()),
                                    &needed)) == kInfoLengthMismatch) {
        buffer.resize(buffer.size() * 2);
    }
    if (query == nullptr || status != 0) return 0;
    const auto* table = reinterpret_cast<const Table*>(buffer.data());
    DWORD count = 0;
    for (ULONG i = 0; i < table->count; ++i) count += table->entries[i].pid == static_cast<USHORT>(pid) ? 1 : 0;
    return count;
}
}  // namespace

// Wine reports a process's private bytes only as its page file usage, which is the same figure on Windows.
Usage usageOf(HANDLE process, DWORD pid) {
    Usage usage;
    PROCESS_MEMORY_COUNTERS_EX counters{};
    counters.cb = sizeof counters;
    if (GetProcessMemoryInfo(process, reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&counters), sizeof counters)) {
        usage.privateBytes = counters.PrivateUsage != 0 ? counters.PrivateUsage : counters.PagefileUsage;
    }
    if (!GetProcessHandleCount(process, &usage.handles) || usage.handles == 0) usage.handles = handlesInSystemTable(pid);
    return usage;
}

Usage Tool::usage() const { return usageOf(process_.hProcess, process_.dwProcessId); }

Watched Tool::download(const std::function<void(LRESULT progress)>& onSample) const {
    Watched seen;
    LARGE_INTEGER frequency{}, begin{}, now{};
    QueryPerformanceFrequency(&frequency);
    click(kStart);
    QueryPerformanceCounter(&begin);
    std::string last;
    const DWORD start = GetTickCount();
    DWORD lastBoxCheck = start;
    while (seen.box == nullptr && GetTickCount() - start < kDownloadTimeoutMs) {
        const std::string status = text(kStatusText);
        if (status != last && !status.empty()) seen.statuses.push_back(status);
        last = status;
        const LRESULT progress = progressPosition();
        seen.highestProgress = std::max(seen.highestProgress, progress);
        if (onSample) onSample(progress);
        if (GetTickCount() - lastBoxCheck >= kBoxCheckMs) {
            lastBoxCheck = GetTickCount();
            const std::vector<HWND> boxes = others();
            if (!boxes.empty()) seen.box = boxes.front();
        }
        Sleep(kSampleMs);
    }
    QueryPerformanceCounter(&now);
    seen.seconds = static_cast<double>(now.QuadPart - begin.QuadPart) / static_cast<double>(frequency.QuadPart);
    return seen;
}
}  // namespace winop
