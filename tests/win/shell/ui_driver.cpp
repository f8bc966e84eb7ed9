// End-to-end driver of the real qbv_download.exe: starts it, works its window from outside as an operator would,
// and checks the window's texts and lists, the message boxes, the exit code and the files left in its folder;
// the download scenarios also read the virtual unit's memory and frame log, named by the runner's environment.
//   ui_driver SCENARIO TOOL_EXE FILES_FOLDER BUILT_DLL DROP_HELPER_DLL
#include <windows.h>
#include <commctrl.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

namespace {

constexpr const char* kMainCaption = "DOWNLOAD PROGRAM Ver.1.20";
constexpr const char* kDialogClass = "#32770";
constexpr const char* kFileDialogCaption = "Target File";
constexpr const char* kSettingsName = "qbv_download_config.txt";
constexpr const char* kDriverName = "lk207.dll";
constexpr const char* kSelectValid = "Select a valid software.";
constexpr const char* kInvalidCaption = "ERROR: Invalid download file";
constexpr const char* kNoFileCaption = "ERROR: Download file is not selected";
constexpr const char* kPortFailedText = "Failed in the initialization of the communication port.";
constexpr const char* kDefaultSettings = "Baudrate,9600\r\nPort,COM1\r\n";
constexpr const char* kDisconnectBytes = "\x90\xD8\x92\x66";

constexpr DWORD kWindowTimeoutMs = 30000;  // Wine's first window can take a while
constexpr DWORD kBoxTimeoutMs = 10000;
constexpr DWORD kExitTimeoutMs = 15000;
constexpr DWORD kQuietMs = 1500;           // how long "nothing happens" is watched
constexpr DWORD kPollMs = 50;
constexpr DWORD kSendTimeoutMs = 5000;
constexpr int kExitAfterClose = 2;
constexpr int kExitNoWindow = 0;
constexpr int kBoxTextId = 0xFFFF;         // the text of a message box
constexpr int kFileNameComboId = 0x47C;    // the file dialog's name field (a ComboBoxEx holding an Edit)
constexpr WORD kEnglishUs = MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US);
constexpr UINT kAboutCommand = 57664;

// Controls of the main dialog.
constexpr int kFilePath = 1000, kBrowse = 1001, kPort = 1002, kBaudrate = 1003, kStatusText = 1004,
              kProgress = 1005, kStart = 1006, kConnect = 1012, kFileCrc = 1013;
constexpr int kTogetherControls[] = {kStart, kBrowse, kFilePath, kPort, kBaudrate};

int failures = 0;

void check(bool ok, const std::string& what) {
    std::printf("%s: %s\n", ok ? "ok" : "FAIL", what.c_str());
    std::fflush(stdout);
    if (!ok) ++failures;
}

std::string shown(const std::string& bytes) {
    std::string out;
    char hex[8];
    for (const unsigned char c : bytes) {
        if (c >= 0x20 && c < 0x7F) {
            out += static_cast<char>(c);
        } else {
            std::snprintf(hex, sizeof hex, "\\x%02X", c);
            out += hex;
        }
    }
    return out;
}

void checkEqual(const std::string& actual, const std::string& expected, const std::string& what) {
    check(actual == expected, what + " [" + shown(actual) + "] expected [" + shown(expected) + "]");
}

// ---- Texts across processes: the wide messages, converted in this process's code page ----

std::wstring widen(const std::string& text) {
    if (text.empty()) return std::wstring();
    const int n = MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring wide(static_cast<std::size_t>(n), L'\0');
    MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), wide.data(), n);
    return wide;
}

std::string narrow(const std::wstring& wide) {
    if (wide.empty()) return std::string();
    const int n = WideCharToMultiByte(CP_ACP, 0, wide.data(), static_cast<int>(wide.size()), nullptr, 0, nullptr,
                                      nullptr);
    std::string text(static_cast<std::size_t>(n), '\0');
    WideCharToMultiByte(CP_ACP, 0, wide.data(), static_cast<int>(wide.size()), text.data(), n, nullptr, nullptr);
    return text;
}

LRESULT sendW(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    DWORD_PTR result = 0;
    if (!SendMessageTimeoutW(window, message, wParam, lParam, SMTO_ABORTIFHUNG, kSendTimeoutMs, &result)) return -1;
    return static_cast<LRESULT>(result);
}

std::string textOf(HWND window) {
    wchar_t buffer[1024] = {};
    sendW(window, WM_GETTEXT, sizeof buffer / sizeof buffer[0], reinterpret_cast<LPARAM>(buffer));
    return narrow(buffer);
}

std::string itemText(HWND dialog, int id) { return textOf(GetDlgItem(dialog, id)); }

// The progress bar's upper limit and position (both come back as the message's result).
LRESULT progressMaximum(HWND dialog) { return sendW(GetDlgItem(dialog, kProgress), PBM_GETRANGE, FALSE, 0); }
LRESULT progressPosition(HWND dialog) { return sendW(GetDlgItem(dialog, kProgress), PBM_GETPOS, 0, 0); }

std::vector<std::string> comboItems(HWND combo) {
    std::vector<std::string> items;
    const LRESULT count = sendW(combo, CB_GETCOUNT, 0, 0);
    for (LRESULT i = 0; i < count; ++i) {
        wchar_t buffer[256] = {};
        if (sendW(combo, CB_GETLBTEXTLEN, static_cast<WPARAM>(i), 0) >= 255) continue;
        sendW(combo, CB_GETLBTEXT, static_cast<WPARAM>(i), reinterpret_cast<LPARAM>(buffer));
        items.push_back(narrow(buffer));
    }
    return items;
}

std::string comboSelection(HWND combo) {
    const LRESULT index = sendW(combo, CB_GETCURSEL, 0, 0);
    if (index == CB_ERR) return "<none>";
    const std::vector<std::string> items = comboItems(combo);
    return index >= 0 && static_cast<std::size_t>(index) < items.size() ? items[static_cast<std::size_t>(index)]
                                                                         : "<bad index>";
}

bool selectInCombo(HWND combo, const std::string& text) {
    const std::wstring wide = widen(text);
    return sendW(combo, CB_SELECTSTRING, static_cast<WPARAM>(-1), reinterpret_cast<LPARAM>(wide.c_str())) != CB_ERR;
}

// ---- Files ----

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
    return names;
}

std::string folderOf(const std::string& path) { return path.substr(0, path.find_last_of('\\')); }

// ---- Image files written for the scenarios ----

std::string lettersImage() { return std::string("abcdefghijkl") + "\x3C\xCC"; }
std::string swappedImage() { return std::string("abcdefghijkl") + "\xCC\x3C"; }
std::string zerosImage() { return std::string(14, '\0'); }

// CRC-16/KERMIT bit by bit: reflected polynomial 0x8408, initial value 0, no final XOR.
unsigned kermit(const std::string& bytes) {
    unsigned crc = 0;
    for (const unsigned char byte : bytes) {
        crc ^= byte;
        for (int bit = 0; bit < 8; ++bit) crc = (crc & 1) ? (crc >> 1) ^ 0x8408 : crc >> 1;
    }
    return crc;
}

// A valid image of `size` bytes: a pattern, then the pattern's CRC high byte first.
std::string sizedImage(std::size_t size) {
    std::string bytes;
    for (std::size_t i = 0; i + 2 < size; ++i) bytes += static_cast<char>(i * 13 + 5);
    const unsigned crc = kermit(bytes);
    bytes += static_cast<char>(crc >> 8);
    bytes += static_cast<char>(crc & 0xFF);
    return bytes;
}

// ---- The tool's process and windows ----

struct Tool {
    PROCESS_INFORMATION process{};
    std::string exe;
    std::string folder;
    HWND main = nullptr;
};

struct WindowSearch {
    DWORD pid;
    std::vector<HWND> found;
};

BOOL CALLBACK collectWindow(HWND window, LPARAM context) {
    auto* search = reinterpret_cast<WindowSearch*>(context);
    DWORD pid = 0;
    GetWindowThreadProcessId(window, &pid);
    if (pid == search->pid && IsWindowVisible(window)) search->found.push_back(window);
    return TRUE;
}

std::vector<HWND> visibleWindowsOf(DWORD pid) {
    WindowSearch search{pid, {}};
    EnumWindows(collectWindow, reinterpret_cast<LPARAM>(&search));
    return search.found;
}

std::string classOf(HWND window) {
    char name[256] = {};
    GetClassNameA(window, name, sizeof name);
    return name;
}

HWND findDialog(DWORD pid, const std::string& caption, HWND except = nullptr) {
    for (const HWND window : visibleWindowsOf(pid)) {
        if (window != except && classOf(window) == kDialogClass && textOf(window) == caption) return window;
    }
    return nullptr;
}

HWND waitFor(const std::function<HWND()>& find, DWORD timeoutMs) {
    const DWORD start = GetTickCount();
    do {
        if (const HWND window = find()) return window;
        Sleep(kPollMs);
    } while (GetTickCount() - start < timeoutMs);
    return nullptr;
}

bool waitGone(HWND window, DWORD timeoutMs) {
    const DWORD start = GetTickCount();
    while (IsWindow(window) && IsWindowVisible(window)) {
        if (GetTickCount() - start > timeoutMs) return false;
        Sleep(kPollMs);
    }
    return true;
}

bool launch(Tool& tool, const std::string& exe, const std::string& workingFolder) {
    tool.exe = exe;
    tool.folder = folderOf(exe);
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    std::string commandLine = "\"" + exe + "\"";
    if (!CreateProcessA(exe.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, workingFolder.c_str(),
                        &startup, &tool.process)) {
        check(false, "start " + exe);
        return false;
    }
    return true;
}

bool waitForMainWindow(Tool& tool) {
    tool.main = waitFor([&] { return findDialog(tool.process.dwProcessId, kMainCaption); }, kWindowTimeoutMs);
    check(tool.main != nullptr, "the main window appears");
    return tool.main != nullptr;
}

// The exit code, or -1 when the process had to be ended because it did not exit in time.
int waitExit(Tool& tool, DWORD timeoutMs = kExitTimeoutMs) {
    int code = -1;
    if (WaitForSingleObject(tool.process.hProcess, timeoutMs) == WAIT_OBJECT_0) {
        DWORD exitCode = 0;
        GetExitCodeProcess(tool.process.hProcess, &exitCode);
        code = static_cast<int>(exitCode);
    } else {
        TerminateProcess(tool.process.hProcess, 99);
        WaitForSingleObject(tool.process.hProcess, kExitTimeoutMs);
    }
    CloseHandle(tool.process.hThread);
    CloseHandle(tool.process.hProcess);
    tool.process = PROCESS_INFORMATION{};
    return code;
}

// Windows of the tool other than the main one: message boxes, the file dialog, the About box.
std::vector<HWND> otherWindows(const Tool& tool) {
    std::vector<HWND> others;
    for (const HWND window : visibleWindowsOf(tool.process.dwProcessId)) {
        if (window != tool.main && classOf(window) == kDialogClass) others.push_back(window);
    }
    return others;
}

bool staysQuiet(const Tool& tool) {
    const DWORD start = GetTickCount();
    while (GetTickCount() - start < kQuietMs) {
        if (!otherWindows(tool).empty()) return false;
        Sleep(kPollMs);
    }
    return true;
}

void click(HWND dialog, int id) { PostMessageA(GetDlgItem(dialog, id), BM_CLICK, 0, 0); }

void pressKey(HWND control, WPARAM key) {
    PostMessageA(control, WM_KEYDOWN, key, 1);
    PostMessageA(control, WM_KEYUP, key, 0xC0000001);
}

// Waits for the box, checks its text, and closes it with its OK button.
void expectBox(const Tool& tool, const std::string& caption, const std::string& text, const std::string& what) {
    const HWND box = waitFor([&] { return findDialog(tool.process.dwProcessId, caption, tool.main); }, kBoxTimeoutMs);
    check(box != nullptr, what + ": a box captioned \"" + caption + "\" appears");
    if (box == nullptr) return;
    checkEqual(itemText(box, kBoxTextId), text, what + ": the box's text");
    PostMessageA(box, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), reinterpret_cast<LPARAM>(GetDlgItem(box, IDOK)));
    check(waitGone(box, kBoxTimeoutMs), what + ": the box closes");
}

BOOL CALLBACK findEdit(HWND window, LPARAM context) {
    if (classOf(window) == "Edit") {
        *reinterpret_cast<HWND*>(context) = window;
        return FALSE;
    }
    return TRUE;
}

// BROWSE, then the file dialog's name field and its Open button.
bool chooseFile(const Tool& tool, const std::string& path) {
    click(tool.main, kBrowse);
    const HWND dialog = waitFor([&] { return findDialog(tool.process.dwProcessId, kFileDialogCaption, tool.main); },
                                kBoxTimeoutMs);
    check(dialog != nullptr, "the file dialog \"Target File\" opens");
    if (dialog == nullptr) return false;
    const HWND nameBox = GetDlgItem(dialog, kFileNameComboId);
    HWND edit = nullptr;
    if (nameBox != nullptr) EnumChildWindows(nameBox, findEdit, reinterpret_cast<LPARAM>(&edit));
    check(edit != nullptr, "the file dialog has its name field");
    if (edit == nullptr) return false;
    const std::wstring wide = widen(path);
    sendW(edit, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(wide.c_str()));
    PostMessageA(dialog, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), reinterpret_cast<LPARAM>(GetDlgItem(dialog, IDOK)));
    const bool closed = waitGone(dialog, kBoxTimeoutMs);
    check(closed, "the file dialog closes with " + path);
    return closed;
}

// Drops `files` on the main window: a helper DLL loaded into the tool builds the HDROP there and posts it.
bool dropFiles(const Tool& tool, const std::string& filesFolder, const std::string& helperDll,
               const std::vector<std::string>& files) {
    static int dropNumber = 0;
    const std::string base = filesFolder + "\\drop" + std::to_string(++dropNumber);
    std::string request = std::to_string(reinterpret_cast<UINT_PTR>(tool.main)) + "\r\n";
    for (const std::string& file : files) request += file + "\r\n";
    if (!CopyFileA(helperDll.c_str(), (base + ".dll").c_str(), FALSE) || !writeFile(base + ".txt", request)) {
        check(false, "prepare the drop helper");
        return false;
    }
    const std::string dllPath = base + ".dll";
    void* remote = VirtualAllocEx(tool.process.hProcess, nullptr, dllPath.size() + 1, MEM_COMMIT | MEM_RESERVE,
                                  PAGE_READWRITE);
    if (remote == nullptr ||
        !WriteProcessMemory(tool.process.hProcess, remote, dllPath.c_str(), dllPath.size() + 1, nullptr)) {
        check(false, "write the helper's path into the tool");
        return false;
    }
    const auto loadLibrary = reinterpret_cast<LPTHREAD_START_ROUTINE>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("kernel32.dll"), "LoadLibraryA")));
    const HANDLE thread = CreateRemoteThread(tool.process.hProcess, nullptr, 0, loadLibrary, remote, 0, nullptr);
    if (thread == nullptr) {
        check(false, "start the drop helper in the tool");
        return false;
    }
    WaitForSingleObject(thread, kBoxTimeoutMs);
    DWORD loaded = 0;
    GetExitCodeThread(thread, &loaded);
    CloseHandle(thread);
    VirtualFreeEx(tool.process.hProcess, remote, 0, MEM_RELEASE);
    check(loaded != 0, "the drop helper loads in the tool");
    return loaded != 0;
}

bool waitForText(HWND dialog, int id, const std::string& expected) {
    const DWORD start = GetTickCount();
    while (GetTickCount() - start < kBoxTimeoutMs) {
        if (itemText(dialog, id) == expected) return true;
        Sleep(kPollMs);
    }
    return false;
}

void checkAllEnabled(const Tool& tool, const std::string& when) {
    for (const int id : kTogetherControls) {
        check(IsWindowEnabled(GetDlgItem(tool.main, id)) != FALSE,
              when + ": control " + std::to_string(id) + " is enabled");
    }
}

// Closes with the close box and checks the exit code and the driver library's removal.
void closeAndCheck(Tool& tool, const std::string& how) {
    if (how == "escape") {
        pressKey(GetDlgItem(tool.main, kFilePath), VK_ESCAPE);
    } else if (how == "alt-f4") {
        constexpr LPARAM kAltHeld = 1 << 29;  // the key data's context bit
        PostMessageA(GetDlgItem(tool.main, kFilePath), WM_SYSKEYDOWN, VK_F4, kAltHeld | 1);
    } else {
        PostMessageA(tool.main, WM_SYSCOMMAND, SC_CLOSE, 0);
    }
    const std::string folder = tool.folder;
    const int code = waitExit(tool);
    check(code == kExitAfterClose, "closing with " + how + " ends the process with exit code 2 (got " +
                                       std::to_string(code) + ")");
    check(!exists(folder + "\\" + kDriverName), "no lk207.dll is left after the close");
    check(!exists(folder + "\\" + kSettingsName + ".new"), "no half-written settings file is left");
}

// ---- Scenarios ----

struct Args {
    std::string exe;
    std::string files;
    std::string builtDll;
    std::string helperDll;
};

void checkDriverFile(const Tool& tool, const Args& args) {
    const std::string extracted = readFile(tool.folder + "\\" + kDriverName);
    const std::string built = readFile(args.builtDll);
    check(!built.empty(), "the built lk207.dll can be read");
    check(extracted == built, "lk207.dll next to the exe equals the built DLL byte for byte (" +
                                  std::to_string(extracted.size()) + " of " + std::to_string(built.size()) + " bytes)");
}

void scenarioDefaults(const Args& args) {
    Tool tool;
    if (!launch(tool, args.exe, args.files) || !waitForMainWindow(tool)) return;
    checkEqual(readFile(tool.folder + "\\" + kSettingsName), kDefaultSettings, "the settings file holds the defaults");
    checkDriverFile(tool, args);

    std::vector<std::string> ports;
    for (int n = 1; n <= 20; ++n) ports.push_back("COM" + std::to_string(n));
    check(comboItems(GetDlgItem(tool.main, kPort)) == ports, "the port list holds COM1..COM20 in order");
    check(comboItems(GetDlgItem(tool.main, kBaudrate)) == std::vector<std::string>{"9600", "19200", "38400"},
          "the baud-rate list holds 9600, 19200, 38400");
    checkEqual(comboSelection(GetDlgItem(tool.main, kPort)), "COM1", "port selection");
    checkEqual(comboSelection(GetDlgItem(tool.main, kBaudrate)), "9600", "baud-rate selection");
    checkEqual(itemText(tool.main, kFileCrc), "0000", "the CRC field");
    checkEqual(itemText(tool.main, kFilePath), "", "the file name field");
    checkEqual(itemText(tool.main, kStatusText), "", "the status text");
    check(!IsWindowVisible(GetDlgItem(tool.main, kConnect)), "the Connect button is hidden");
    checkAllEnabled(tool, "at start");
    const LONG_PTR exStyle = GetWindowLongPtrA(tool.main, GWL_EXSTYLE);
    check((exStyle & WS_EX_ACCEPTFILES) != 0, "the window accepts dropped files");
    check(staysQuiet(tool), "no message box at start");
    check(progressPosition(tool.main) == 0, "the progress bar stands at 0");
    RECT area{};
    RECT window{};
    SystemParametersInfoA(SPI_GETWORKAREA, 0, &area, 0);
    GetWindowRect(tool.main, &window);
    const long dx = (window.left + window.right) / 2 - (area.left + area.right) / 2;
    const long dy = (window.top + window.bottom) / 2 - (area.top + area.bottom) / 2;
    check(dx >= -1 && dx <= 1 && dy >= -1 && dy <= 1, "the window is centred in the work area (off by " +
                                                           std::to_string(dx) + ", " + std::to_string(dy) + ")");

    pressKey(GetDlgItem(tool.main, kFilePath), VK_RETURN);
    check(staysQuiet(tool) && IsWindowVisible(tool.main), "Enter does nothing");
    check(WaitForSingleObject(tool.process.hProcess, 0) == WAIT_TIMEOUT, "the tool still runs after Enter");

    const std::string folder = tool.folder;
    closeAndCheck(tool, "the close box");
    checkEqual(readFile(folder + "\\" + kSettingsName), kDefaultSettings, "the settings file after the close");
}

void scenarioStoredSelection(const Args& args) {
    const std::string folder = folderOf(args.exe);
    writeFile(folder + "\\" + kSettingsName, "Port,COM2\r\nBaudrate,1\r\n");
    Tool tool;
    if (!launch(tool, args.exe, args.files) || !waitForMainWindow(tool)) return;
    checkEqual(comboSelection(GetDlgItem(tool.main, kPort)), "COM2", "stored COM2 selects COM2, not COM20");
    checkEqual(comboSelection(GetDlgItem(tool.main, kBaudrate)), "19200", "stored Baudrate 1 selects 19200");

    check(selectInCombo(GetDlgItem(tool.main, kPort), "COM3"), "select COM3");
    check(selectInCombo(GetDlgItem(tool.main, kBaudrate), "38400"), "select 38400");
    closeAndCheck(tool, "escape");
    checkEqual(readFile(folder + "\\" + kSettingsName), "Baudrate,38400\r\nPort,COM3\r\n",
               "COM3 and 38400 are stored exactly");
}

void scenarioUnknownValues(const Args& args) {
    const std::string folder = folderOf(args.exe);
    writeFile(folder + "\\" + kSettingsName, "Port,LPT1\nBaudrate,57600\nAlpha,1\n");
    Tool tool;
    if (!launch(tool, args.exe, args.files) || !waitForMainWindow(tool)) return;
    checkEqual(comboSelection(GetDlgItem(tool.main, kPort)), "<none>", "an unknown port leaves no selection");
    checkEqual(comboSelection(GetDlgItem(tool.main, kBaudrate)), "<none>", "an unknown baud rate leaves no selection");
    closeAndCheck(tool, "the close box");
    checkEqual(readFile(folder + "\\" + kSettingsName), "Alpha,1\r\nBaudrate,57600\r\nPort,LPT1\r\n",
               "lists without selection keep their stored values; other keys stay");
}

void scenarioBrowse(const Args& args) {
    const std::string letters = args.files + "\\letters.bin";
    const std::string swapped = args.files + "\\swapped.bin";
    const std::string zeros = args.files + "\\zeros.bin";
    writeFile(letters, lettersImage());
    writeFile(swapped, swappedImage());
    writeFile(zeros, zerosImage());
    Tool tool;
    if (!launch(tool, args.exe, args.files) || !waitForMainWindow(tool)) return;

    click(tool.main, kStart);
    expectBox(tool, kNoFileCaption, kSelectValid, "Start before any image");

    if (chooseFile(tool, zeros)) {
        check(waitForText(tool.main, kFilePath, zeros), "the zeros image's path is shown");
        checkEqual(itemText(tool.main, kFileCrc), "0000", "the zeros image's CRC");
    }
    if (chooseFile(tool, letters)) {
        check(waitForText(tool.main, kFilePath, letters), "the letters image's path is shown");
        checkEqual(itemText(tool.main, kFileCrc), "8B87", "the letters image's CRC");
        check(progressMaximum(tool.main) == 1, "the 14-byte image sets the progress range to 1 block");
    }
    check(staysQuiet(tool), "a valid image shows no box");

    click(tool.main, kBrowse);
    const HWND dialog = waitFor([&] { return findDialog(tool.process.dwProcessId, kFileDialogCaption, tool.main); },
                                kBoxTimeoutMs);
    if (dialog != nullptr) {
        PostMessageA(dialog, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0);
        check(waitGone(dialog, kBoxTimeoutMs), "the file dialog cancels");
        checkEqual(itemText(tool.main, kFilePath), letters, "cancelling keeps the path");
        checkEqual(itemText(tool.main, kFileCrc), "8B87", "cancelling keeps the CRC");
    }

    if (chooseFile(tool, swapped)) {
        expectBox(tool, kInvalidCaption, kSelectValid, "an image with swapped check bytes");
        checkEqual(itemText(tool.main, kFilePath), letters, "the old path stays after an invalid image");
        checkEqual(itemText(tool.main, kFileCrc), "8B87", "the old CRC stays after an invalid image");
        check(progressMaximum(tool.main) == 1, "the old progress range stays after an invalid image");
    }
    click(tool.main, kStart);
    expectBox(tool, kNoFileCaption, kSelectValid, "Start after an invalid image");
    checkAllEnabled(tool, "after the refusal");
    closeAndCheck(tool, "the close box");
}

void scenarioDrop(const Args& args) {
    const std::string letters = args.files + "\\letters.bin";
    const std::string zeros = args.files + "\\zeros.bin";
    const std::string swapped = args.files + "\\swapped.bin";
    writeFile(letters, lettersImage());
    writeFile(zeros, zerosImage());
    writeFile(swapped, swappedImage());
    Tool tool;
    if (!launch(tool, args.exe, args.files) || !waitForMainWindow(tool)) return;

    if (dropFiles(tool, args.files, args.helperDll, {letters, zeros, swapped})) {
        check(waitForText(tool.main, kFilePath, letters), "of three dropped files the first is loaded");
        checkEqual(itemText(tool.main, kFileCrc), "8B87", "the dropped image's CRC");
        check(staysQuiet(tool), "the other two dropped files are not looked at");
    }
    if (dropFiles(tool, args.files, args.helperDll, {swapped})) {
        expectBox(tool, kInvalidCaption, kSelectValid, "dropping an invalid image");
        checkEqual(itemText(tool.main, kFilePath), letters, "the old path stays after an invalid drop");
        checkEqual(itemText(tool.main, kFileCrc), "8B87", "the old CRC stays after an invalid drop");
    }
    click(tool.main, kStart);
    expectBox(tool, kNoFileCaption, kSelectValid, "Start after an invalid drop");
    if (dropFiles(tool, args.files, args.helperDll, {args.files + "\\absent.bin"})) {
        expectBox(tool, kMainCaption, "File Open Error", "dropping a file that does not exist");
    }
    if (dropFiles(tool, args.files, args.helperDll, {zeros})) {
        check(waitForText(tool.main, kFilePath, zeros), "a valid drop after the failures is loaded");
        checkEqual(itemText(tool.main, kFileCrc), "0000", "the zeros image's CRC");
    }
    const std::string full = args.files + "\\block246.bin";
    const std::string over = args.files + "\\block247.bin";
    writeFile(full, sizedImage(246));
    writeFile(over, sizedImage(247));
    if (dropFiles(tool, args.files, args.helperDll, {full}) && waitForText(tool.main, kFilePath, full)) {
        check(progressMaximum(tool.main) == 1, "246 bytes make 1 block");
    }
    if (dropFiles(tool, args.files, args.helperDll, {over}) && waitForText(tool.main, kFilePath, over)) {
        check(progressMaximum(tool.main) == 2, "247 bytes make 2 blocks");
        char crc[8];
        std::snprintf(crc, sizeof crc, "%04X", kermit(sizedImage(247)));
        checkEqual(itemText(tool.main, kFileCrc), crc, "the 247-byte image's CRC over all its bytes");
    }
    closeAndCheck(tool, "escape");
}

void scenarioPortFails(const Args& args) {
    const std::string letters = args.files + "\\letters.bin";
    writeFile(letters, lettersImage());
    Tool tool;
    if (!launch(tool, args.exe, args.files) || !waitForMainWindow(tool)) return;
    check(selectInCombo(GetDlgItem(tool.main, kPort), "COM20"), "select COM20, which is mapped to nothing");
    chooseFile(tool, letters);
    click(tool.main, kStart);
    expectBox(tool, kMainCaption, kPortFailedText, "Start with a port that cannot be opened");
    checkAllEnabled(tool, "after the failed connect");
    checkEqual(itemText(tool.main, kStatusText), "", "the status text after the failed connect");
    const std::string folder = tool.folder;
    closeAndCheck(tool, "the close box");
    checkEqual(readFile(folder + "\\" + kSettingsName), "Baudrate,9600\r\nPort,COM20\r\n", "COM20 is stored");
}

void scenarioConnectedClose(const Args& args) {
    const std::string letters = args.files + "\\letters.bin";
    writeFile(letters, lettersImage());
    Tool tool;
    if (!launch(tool, args.exe, args.files) || !waitForMainWindow(tool)) return;
    chooseFile(tool, letters);
    click(tool.main, kStart);
    const DWORD start = GetTickCount();
    while (IsWindowEnabled(GetDlgItem(tool.main, kPort)) && GetTickCount() - start < kBoxTimeoutMs) Sleep(kPollMs);
    check(!IsWindowEnabled(GetDlgItem(tool.main, kPort)) && !IsWindowEnabled(GetDlgItem(tool.main, kBaudrate)),
          "connecting to the unit on COM1 disables the port and baud-rate lists");
    check(otherWindows(tool).empty(), "connecting shows no box");
    checkEqual(itemText(tool.main, kConnect), kDisconnectBytes, "the Connect button's text after connecting");
    check(!IsWindowVisible(GetDlgItem(tool.main, kConnect)), "the Connect button stays hidden");
    const std::string folder = tool.folder;
    closeAndCheck(tool, "the close box");
    checkEqual(readFile(folder + "\\" + kSettingsName), kDefaultSettings, "the settings after a connected close");
}

bool waitEnabled(HWND control, bool enabled) {
    const DWORD start = GetTickCount();
    while ((IsWindowEnabled(control) != FALSE) != enabled) {
        if (GetTickCount() - start > kBoxTimeoutMs) return false;
        Sleep(kPollMs);
    }
    return true;
}

void postConnectToggle(const Tool& tool) {
    PostMessageA(tool.main, WM_COMMAND, MAKEWPARAM(kConnect, BN_CLICKED),
                 reinterpret_cast<LPARAM>(GetDlgItem(tool.main, kConnect)));
}

void scenarioConnectToggle(const Args& args) {
    const std::string letters = args.files + "\\letters.bin";
    writeFile(letters, lettersImage());
    Tool tool;
    if (!launch(tool, args.exe, args.files) || !waitForMainWindow(tool)) return;

    postConnectToggle(tool);
    check(waitEnabled(GetDlgItem(tool.main, kPort), false), "Connect disables the port list");
    check(!IsWindowEnabled(GetDlgItem(tool.main, kBaudrate)), "Connect disables the baud-rate list");
    for (const int id : {kStart, kBrowse, kFilePath}) {
        check(IsWindowEnabled(GetDlgItem(tool.main, id)) != FALSE,
              "Connect leaves control " + std::to_string(id) + " enabled");
    }
    checkEqual(itemText(tool.main, kConnect), kDisconnectBytes, "the Connect button's text after connecting");
    check(staysQuiet(tool), "the unit's polled answers arrive without any box");
    check(WaitForSingleObject(tool.process.hProcess, 0) == WAIT_TIMEOUT, "the tool runs on while polling");

    postConnectToggle(tool);
    check(waitEnabled(GetDlgItem(tool.main, kPort), true), "the second Connect disconnects");
    checkAllEnabled(tool, "after disconnecting");
    // Disconnecting clears the status line; an answer the worker posted just before it ended may still be
    // queued and shows once more. After that the line stays as it is: nothing polls any more.
    const std::string afterDisconnect = itemText(tool.main, kStatusText);
    check(afterDisconnect.empty() || afterDisconnect == "Disable",
          "the status text after disconnecting is empty or the last queued status [" + afterDisconnect + "]");
    Sleep(kQuietMs);
    const std::string settled = itemText(tool.main, kStatusText);
    check(settled.empty() || settled == "Disable", "the status text after disconnecting [" + settled + "]");
    Sleep(kQuietMs);
    checkEqual(itemText(tool.main, kStatusText), settled, "the status text stays: nothing polls after disconnecting");
    checkEqual(itemText(tool.main, kConnect), kDisconnectBytes, "the Connect button's text is not changed back");

    chooseFile(tool, letters);
    click(tool.main, kStart);
    check(waitEnabled(GetDlgItem(tool.main, kPort), false), "Start connects again after a disconnect");
    check(otherWindows(tool).empty(), "the second connect shows no box");
    closeAndCheck(tool, "escape");
}

void scenarioStaleDriver(const Args& args) {
    Tool tool;
    check(readFile(folderOf(args.exe) + "\\" + kDriverName) == "stale", "a stale lk207.dll lies in the folder");
    if (!launch(tool, args.exe, args.files) || !waitForMainWindow(tool)) return;
    checkDriverFile(tool, args);
    closeAndCheck(tool, "alt-f4");
}

void scenarioReadOnlyFolder(const Args& args) {
    const std::string letters = args.files + "\\letters.bin";
    writeFile(letters, lettersImage());
    const std::string folder = folderOf(args.exe);
    check(!writeFile(folder + "\\probe.txt", "x"), "the tool's folder is read-only");
    Tool tool;
    if (!launch(tool, args.exe, args.files) || !waitForMainWindow(tool)) return;
    check(staysQuiet(tool), "the window opens without any message");
    checkEqual(comboSelection(GetDlgItem(tool.main, kPort)), "COM1", "port selection from the defaults in memory");
    checkEqual(comboSelection(GetDlgItem(tool.main, kBaudrate)), "9600", "baud rate from the defaults in memory");
    check(!exists(folder + "\\" + kDriverName) && !exists(folder + "\\" + kSettingsName), "nothing was written");
    if (chooseFile(tool, letters)) checkEqual(itemText(tool.main, kFileCrc), "8B87", "an image still loads");
    click(tool.main, kStart);
    check(staysQuiet(tool), "Start with a valid image does nothing");
    checkAllEnabled(tool, "after Start without a driver library");
    closeAndCheck(tool, "the close box");
    check(folderEntries(folder) == std::vector<std::string>{"qbv_download.exe"}, "the folder holds only the exe");
}

void scenarioAbout(const Args& args) {
    Tool tool;
    if (!launch(tool, args.exe, args.files) || !waitForMainWindow(tool)) return;
    PostMessageA(tool.main, WM_COMMAND, kAboutCommand, 0);
    const HWND about = waitFor([&] { return findDialog(tool.process.dwProcessId, "About", tool.main); }, kBoxTimeoutMs);
    check(about != nullptr, "command 57664 opens the About box");
    if (about != nullptr) {
        bool hasText = false;
        for (HWND child = GetWindow(about, GW_CHILD); child != nullptr; child = GetWindow(child, GW_HWNDNEXT)) {
            if (textOf(child) == "qbv_download Application v1.0") hasText = true;
        }
        check(hasText, "the About box names the application");
        PostMessageA(about, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
        check(waitGone(about, kBoxTimeoutMs), "OK closes the About box");
    }
    check(IsWindowVisible(tool.main) != FALSE, "the main window stays");

    // The link's answers and SENDCANCEL while no download runs: taken and dropped, nothing shows.
    for (const char* name : {"Vessor::DLG::Message::SENDCANCEL", "Vessor::LK207::Message::StatusUpdate",
                             "Vessor::LK207::Message::Response", "Vessor::LK207::Message::Alarm"}) {
        PostMessageA(tool.main, RegisterWindowMessageA(name), 0, 0);
    }
    check(staysQuiet(tool) && WaitForSingleObject(tool.process.hProcess, 0) == WAIT_TIMEOUT,
          "SENDCANCEL and empty link answers while idle change nothing");
    checkEqual(itemText(tool.main, kStatusText), "", "the status text after them");
    closeAndCheck(tool, "the close box");
}

// A dialog template that cannot be created: its one control is of a window class that does not exist.
std::vector<WORD> uncreatableDialog() {
    std::vector<WORD> words;
    auto dword = [&](DWORD v) {
        words.push_back(LOWORD(v));
        words.push_back(HIWORD(v));
    };
    auto text = [&](const wchar_t* s) {
        for (; *s != L'\0'; ++s) words.push_back(static_cast<WORD>(*s));
        words.push_back(0);
    };
    dword(WS_POPUP | WS_CAPTION);  // DLGTEMPLATE: style, extended style, one item, x, y, cx, cy
    dword(0);
    words.insert(words.end(), {1, 0, 0, 100, 50});
    words.insert(words.end(), {0, 0, 0});  // no menu, the standard class, no title
    if (words.size() % 2 != 0) words.push_back(0);  // items start on a DWORD boundary
    dword(WS_CHILD | WS_VISIBLE);  // DLGITEMTEMPLATE: style, extended style, x, y, cx, cy, id
    dword(0);
    words.insert(words.end(), {0, 0, 10, 10, 1});
    text(L"qbv_no_such_window_class");
    words.insert(words.end(), {0, 0});  // no title, no creation data
    return words;
}

void scenarioNoDialog(const Args& args) {
    const std::string folder = folderOf(args.exe);
    std::vector<WORD> broken = uncreatableDialog();
    const HANDLE update = BeginUpdateResourceA(args.exe.c_str(), FALSE);
    const bool replaced = update != nullptr &&
                          UpdateResourceA(update, MAKEINTRESOURCEA(5), MAKEINTRESOURCEA(129), kEnglishUs,
                                          broken.data(), static_cast<DWORD>(broken.size() * sizeof(WORD))) &&
                          EndUpdateResourceA(update, FALSE);
    check(replaced, "dialog 129 is replaced by one that cannot be created, in a copy of the exe");
    if (!replaced) return;
    Tool tool;
    if (!launch(tool, args.exe, args.files)) return;
    const int code = waitExit(tool);
    check(code == kExitNoWindow, "without dialog 129 the process exits with code 0 (got " + std::to_string(code) + ")");
    check(!exists(folder + "\\" + kSettingsName) && !exists(folder + "\\" + kDriverName),
          "nothing is written without a window");
}

// ---- Downloads against a virtual unit started by the runner ----
// The runner names the port, the image and the unit's files in the environment (Windows paths).

constexpr std::size_t kBlockBytes = 246;            // bytes of image per DownloadData frame
constexpr unsigned char kBlankByte = 0xFF;          // a block of nothing else is passed over
constexpr DWORD kDownloadTimeoutMs = 120000;        // the longest download of a scenario, give-ups included
constexpr DWORD kSampleMs = 1;                      // status line and progress bar sampling period
constexpr DWORD kWindowCheckMs = 20;                // how often the sampler looks for a box
constexpr DWORD kSnapshotTimeoutMs = 15000;         // how long the demo waits for a screenshot
constexpr std::size_t kTranscriptCodeField = 4;     // "<time> IN FC <length> <code> ...": the code's field
constexpr std::size_t kTranscriptOffsetField = 5;   // the first byte of a DownloadData frame's offset
constexpr unsigned kCodeStatusRequest = 0x11, kCodeDownloadStart = 0xD0, kCodeDownloadData = 0xD1,
                   kCodeDownloadEnd = 0xD2;
constexpr unsigned kStatusRepeatLimit = 10;         // repeated polls before giving up waiting for Disable
constexpr unsigned kErasePollLimit = 50;            // repeated polls while the unit erases
constexpr unsigned kCommandRepeatLimit = 10;        // repeated DownloadEnd frames

constexpr const char* kSuccessFirstLine = "The target file was downloaded successfully";
constexpr const char* kFlaggedCaption = "Premature Termination";
constexpr const char* kNotDisabledCaption = "ERROR:Unit is not disabled/connected";
constexpr const char* kNoAckCaption = "ERROR:No Ack from Acceptor";

struct UnitSetup {
    std::string port;        // COMn the unit is mapped to
    std::string image;       // the image to download
    std::string memory;      // the unit's memory, saved on every DownloadEnd
    std::string transcript;  // the unit's frame log
    std::string snapshots;   // demo only: the folder where screenshots are asked for
};

std::string environment(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr ? value : "";
}

bool unitSetup(UnitSetup& unit) {
    unit.port = environment("QBV_UNIT_PORT");
    unit.image = environment("QBV_UNIT_IMAGE");
    unit.memory = environment("QBV_UNIT_MEMORY");
    unit.transcript = environment("QBV_UNIT_TRANSCRIPT");
    unit.snapshots = environment("QBV_SNAPSHOT_DIR");
    const bool ok = !unit.port.empty() && !unit.image.empty() && !unit.memory.empty() && !unit.transcript.empty();
    check(ok, "the runner names the unit's port, image, memory and transcript");
    return ok;
}

std::string hex4(unsigned value) {
    char text[8];
    std::snprintf(text, sizeof text, "%04X", value & 0xFFFF);
    return text;
}

std::size_t blockCount(const std::string& image) { return (image.size() + kBlockBytes - 1) / kBlockBytes; }

bool blankBlock(const std::string& image, std::size_t offset) {
    const std::size_t end = std::min(image.size(), offset + kBlockBytes);
    for (std::size_t i = offset; i < end; ++i) {
        if (static_cast<unsigned char>(image[i]) != kBlankByte) return false;
    }
    return true;
}

// Offsets of the blocks a download sends: every block that is not blank, and always the first and the last.
std::vector<unsigned long> sentOffsets(const std::string& image) {
    std::vector<unsigned long> offsets;
    const std::size_t blocks = blockCount(image);
    for (std::size_t b = 0; b < blocks; ++b) {
        const std::size_t offset = b * kBlockBytes;
        if (b == 0 || b + 1 == blocks || !blankBlock(image, offset)) offsets.push_back(static_cast<unsigned long>(offset));
    }
    return offsets;
}

// The frames the unit received intact, as their byte fields.
std::vector<std::vector<std::string>> receivedFrames(const std::string& transcriptPath) {
    std::vector<std::vector<std::string>> frames;
    const std::string text = readFile(transcriptPath);
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        std::vector<std::string> fields;
        std::size_t at = start;
        while (at < end) {
            const std::size_t space = std::min(text.find(' ', at), end);
            fields.push_back(text.substr(at, space - at));
            at = space + 1;
        }
        if (fields.size() > kTranscriptCodeField && fields[1] == "IN") frames.push_back(fields);
        start = end + 1;
    }
    return frames;
}

unsigned codeOf(const std::vector<std::string>& frame) {
    return static_cast<unsigned>(std::strtoul(frame[kTranscriptCodeField].c_str(), nullptr, 16));
}

std::size_t countCode(const std::vector<std::vector<std::string>>& frames, unsigned code) {
    std::size_t n = 0;
    for (const auto& frame : frames) n += codeOf(frame) == code ? 1 : 0;
    return n;
}

// The distinct offsets of the DownloadData frames received, in order of first arrival.
std::vector<unsigned long> receivedOffsets(const std::vector<std::vector<std::string>>& frames) {
    std::vector<unsigned long> offsets;
    for (const auto& frame : frames) {
        if (codeOf(frame) != kCodeDownloadData || frame.size() < kTranscriptOffsetField + 4) continue;
        unsigned long offset = 0;
        for (std::size_t i = 0; i < 4; ++i) {
            offset |= std::strtoul(frame[kTranscriptOffsetField + i].c_str(), nullptr, 16) << (8 * i);
        }
        if (std::find(offsets.begin(), offsets.end(), offset) == offsets.end()) offsets.push_back(offset);
    }
    return offsets;
}

// The demo's screenshots: a request file that the script outside answers with a done file.
void askForSnapshot(const UnitSetup& unit, const std::string& name) {
    if (unit.snapshots.empty()) return;
    const std::string request = unit.snapshots + "\\" + name + ".request";
    const std::string done = unit.snapshots + "\\" + name + ".done";
    writeFile(request, name);
    const DWORD start = GetTickCount();
    while (!exists(done) && GetTickCount() - start < kSnapshotTimeoutMs) Sleep(kPollMs);
    check(exists(done), "the screenshot \"" + name + "\" is taken");
}

// Loads the image with Browse and selects the unit's port.
bool prepareDownload(const Tool& tool, const UnitSetup& unit, const std::string& image) {
    check(selectInCombo(GetDlgItem(tool.main, kPort), unit.port), "select " + unit.port + ", the unit's port");
    if (!chooseFile(tool, unit.image) || !waitForText(tool.main, kFilePath, unit.image)) {
        check(false, "the image is loaded");
        return false;
    }
    checkEqual(itemText(tool.main, kFileCrc), hex4(kermit(image)), "the image's CRC over all its bytes");
    check(progressMaximum(tool.main) == static_cast<LRESULT>(blockCount(image)),
          "the progress range is the image's " + std::to_string(blockCount(image)) + " blocks");
    return true;
}

// What was seen while a download ran, up to its box.
struct Watched {
    std::vector<std::string> statuses;  // each change of the status line to a non-empty text
    LRESULT highestProgress = 0;
    HWND box = nullptr;
    double seconds = 0;                 // from Start to the box
};

using Sampler = std::function<void(const Watched&, LRESULT progress)>;

// Clicks Start and samples the status line and the progress bar until a box of the tool appears.
Watched runDownload(const Tool& tool, const Sampler& onSample = Sampler()) {
    Watched seen;
    LARGE_INTEGER frequency{}, begin{}, now{};
    QueryPerformanceFrequency(&frequency);
    click(tool.main, kStart);
    QueryPerformanceCounter(&begin);
    std::string last;
    DWORD lastWindowCheck = GetTickCount();
    const DWORD start = lastWindowCheck;
    while (GetTickCount() - start < kDownloadTimeoutMs) {
        const std::string status = itemText(tool.main, kStatusText);
        if (status != last) {
            if (!status.empty()) seen.statuses.push_back(status);
            last = status;
        }
        const LRESULT progress = progressPosition(tool.main);
        seen.highestProgress = std::max(seen.highestProgress, progress);
        if (onSample) onSample(seen, progress);
        if (GetTickCount() - lastWindowCheck >= kWindowCheckMs) {
            lastWindowCheck = GetTickCount();
            const std::vector<HWND> others = otherWindows(tool);
            if (!others.empty()) {
                QueryPerformanceCounter(&now);
                seen.box = others.front();
                seen.seconds = static_cast<double>(now.QuadPart - begin.QuadPart) / frequency.QuadPart;
                break;
            }
        }
        Sleep(kSampleMs);
    }
    check(seen.box != nullptr, "the download ends in a box");
    return seen;
}

// The texts in the order of their first appearance.
std::string firstAppearances(const std::vector<std::string>& texts) {
    std::vector<std::string> distinct;
    for (const std::string& text : texts) {
        if (std::find(distinct.begin(), distinct.end(), text) == distinct.end()) distinct.push_back(text);
    }
    std::string all;
    for (const std::string& text : distinct) all += (all.empty() ? "" : ", ") + text;
    return all;
}

// True when `wanted` appear in `seen` in this order (others may come between them).
bool inOrder(const std::vector<std::string>& seen, const std::vector<std::string>& wanted) {
    std::size_t next = 0;
    for (const std::string& text : seen) {
        if (next < wanted.size() && text == wanted[next]) ++next;
    }
    return next == wanted.size();
}

// Checks the open box's caption and text, then closes it with OK.
void closeOutcomeBox(HWND box, const std::string& caption, const std::string& text, const std::string& what) {
    if (box == nullptr) return;
    checkEqual(textOf(box), caption, what + ": the box's caption");
    checkEqual(itemText(box, kBoxTextId), text, what + ": the box's text");
    PostMessageA(box, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), reinterpret_cast<LPARAM>(GetDlgItem(box, IDOK)));
    check(waitGone(box, kBoxTimeoutMs), what + ": the box closes");
}

// The window after every end of a download: the controls enabled, the status line emptied. After a result the
// tool has a poll of its own and the one after its Ack under way; the later of the two Disable answers comes in
// after the end and, like any late answer, names itself on the status line.
void checkFinished(const Tool& tool, const std::string& when, bool lateDisableAllowed = false) {
    checkAllEnabled(tool, when);
    const std::string status = itemText(tool.main, kStatusText);
    if (lateDisableAllowed && status == "Disable") {
        check(true, when + ": the status text shows the late Disable answer");
    } else {
        checkEqual(status, "", when + ": the status text");
    }
}

std::string crcLines(unsigned unitCrc, unsigned fileCrc) { return "CRC:" + hex4(unitCrc) + "\nFILE-CRC:" + hex4(fileCrc); }

std::string successText(unsigned unitCrc, unsigned fileCrc) {
    return std::string(kSuccessFirstLine) + "\n" + crcLines(unitCrc, fileCrc);
}

// One successful download: the box, the progress bar around it, the unit's memory.
void expectSuccess(const Tool& tool, const UnitSetup& unit, const std::string& image, const Watched& seen,
                   const std::string& what) {
    const unsigned fileCrc = kermit(image);
    if (seen.box != nullptr) {
        check(progressPosition(tool.main) == static_cast<LRESULT>(blockCount(image) - 1),
              what + ": while the box shows, the progress bar stands at the blocks before the last (" +
                  std::to_string(progressPosition(tool.main)) + ")");
        checkFinished(tool, what + ", while the box shows", true);
    }
    closeOutcomeBox(seen.box, kMainCaption, successText(fileCrc, fileCrc), what);
    const DWORD start = GetTickCount();
    while (progressPosition(tool.main) != 0 && GetTickCount() - start < kBoxTimeoutMs) Sleep(kPollMs);
    check(progressPosition(tool.main) == 0, what + ": the progress bar is back at 0 after the box");
    checkFinished(tool, what + ", after the box", true);
    const std::string memory = readFile(unit.memory);
    check(memory == image, what + ": the unit's memory equals the image byte for byte (" +
                               std::to_string(memory.size()) + " of " + std::to_string(image.size()) + " bytes)");
}

bool loadUnitImage(const UnitSetup& unit, std::string& image) {
    image = readFile(unit.image);
    check(image.size() > 2 * kBlockBytes, "the image spans several blocks (" + std::to_string(image.size()) + " bytes)");
    return image.size() > 2 * kBlockBytes;
}

void scenarioDownload(const Args& args) {
    UnitSetup unit;
    std::string image;
    if (!unitSetup(unit) || !loadUnitImage(unit, image)) return;
    bool blankInside = false;
    for (std::size_t b = 1; b + 1 < blockCount(image); ++b) blankInside = blankInside || blankBlock(image, b * kBlockBytes);
    check(blankInside, "the image holds blank blocks between its first and last block");

    Tool tool;
    if (!launch(tool, args.exe, args.files) || !waitForMainWindow(tool) || !prepareDownload(tool, unit, image)) return;
    const Watched first = runDownload(tool);
    std::printf("status line seen: %s\n", firstAppearances(first.statuses).c_str());
    check(inOrder(first.statuses, {"Disable", "Deleting", "Downloading", "Verifying"}),
          "the status line passes through Disable, Deleting, Downloading and Verifying in this order");
    check(first.highestProgress == static_cast<LRESULT>(blockCount(image) - 1),
          "the progress bar advanced block by block to " + std::to_string(first.highestProgress));
    expectSuccess(tool, unit, image, first, "the first download");
    const std::vector<unsigned long> expected = sentOffsets(image);
    check(receivedOffsets(receivedFrames(unit.transcript)) == expected,
          "the unit received exactly the " + std::to_string(expected.size()) + " blocks that are not blank, in order");

    // The port was released: the same file again at once, with the same tool.
    const Watched second = runDownload(tool);
    check(inOrder(second.statuses, {"Disable", "Downloading", "Verifying"}), "the second download runs through: " +
                                                                                 firstAppearances(second.statuses));
    expectSuccess(tool, unit, image, second, "the second download");
    closeAndCheck(tool, "the close box");
}

// The unit set up, its image made, the tool started with that image chosen and the unit's port selected.
bool readyToDownload(const Args& args, UnitSetup& unit, std::string& image, Tool& tool) {
    return unitSetup(unit) && loadUnitImage(unit, image) && launch(tool, args.exe, args.files) &&
           waitForMainWindow(tool) && prepareDownload(tool, unit, image);
}

void scenarioDownloadNoisy(const Args& args) {
    UnitSetup unit;
    std::string image;
    Tool tool;
    if (!readyToDownload(args, unit, image, tool)) return;
    const Watched seen = runDownload(tool);
    expectSuccess(tool, unit, image, seen, "a download over a noisy line");
    const auto frames = receivedFrames(unit.transcript);
    check(countCode(frames, kCodeDownloadData) > sentOffsets(image).size(),
          "some blocks were sent again after a garbled reply (" + std::to_string(countCode(frames, kCodeDownloadData)) +
              " DownloadData frames for " + std::to_string(sentOffsets(image).size()) + " blocks)");
    closeAndCheck(tool, "escape");
}

// A download that ends in a give-up box: its caption and text, the window afterwards.
void expectGiveUp(Tool& tool, const std::string& caption, const std::string& text, const std::string& what,
                  bool afterResult = false) {
    const Watched seen = runDownload(tool);
    const LRESULT progress = progressPosition(tool.main);
    if (seen.box != nullptr) checkFinished(tool, what + ", while the box shows", afterResult);
    closeOutcomeBox(seen.box, caption, text, what);
    check(progressPosition(tool.main) == progress, what + ": the progress bar keeps its position (" +
                                                        std::to_string(progress) + ")");
    checkFinished(tool, what + ", after the box", afterResult);
}

void scenarioNeverDisable(const Args& args) {
    UnitSetup unit;
    std::string image;
    Tool tool;
    if (!readyToDownload(args, unit, image, tool)) return;
    expectGiveUp(tool, kNotDisabledCaption,
                 "Make sure unit is connected and turned on.\nMake sure unit is not enabled.", "a unit never Disabled");
    const auto frames = receivedFrames(unit.transcript);
    check(countCode(frames, kCodeStatusRequest) == 1 + kStatusRepeatLimit,
          "the first poll and its 10 repetitions, then the box (" +
              std::to_string(countCode(frames, kCodeStatusRequest)) + " polls)");
    check(countCode(frames, kCodeDownloadStart) == 0, "no DownloadStart was sent");
    closeAndCheck(tool, "the close box");
}

void scenarioEraseBusy(const Args& args) {
    UnitSetup unit;
    std::string image;
    Tool tool;
    if (!readyToDownload(args, unit, image, tool)) return;
    expectGiveUp(tool, kNotDisabledCaption,
                 "Make sure unit is not enabled.\nMake sure unit is connected and turned on.",
                 "a unit that never ends erasing");
    const auto frames = receivedFrames(unit.transcript);
    std::size_t afterStart = 0;
    bool started = false;
    for (const auto& frame : frames) {
        if (codeOf(frame) == kCodeDownloadStart) started = true;
        if (started && codeOf(frame) == kCodeStatusRequest) ++afterStart;
    }
    check(afterStart == 1 + kErasePollLimit, "after DownloadStart the first poll and its 50 repetitions, then the box (" +
                                                 std::to_string(afterStart) + " polls)");
    check(countCode(frames, kCodeDownloadData) == 0, "no block was sent");
    closeAndCheck(tool, "escape");
}

void scenarioNoEndAck(const Args& args) {
    UnitSetup unit;
    std::string image;
    Tool tool;
    if (!readyToDownload(args, unit, image, tool)) return;
    expectGiveUp(tool, kNoAckCaption,
                 "Verify unit connection to PC\nDownload process may need to be restarted\n(Forced download method)",
                 "a unit that never acknowledges DownloadEnd");
    const auto frames = receivedFrames(unit.transcript);
    check(countCode(frames, kCodeDownloadEnd) == 1 + kCommandRepeatLimit,
          "DownloadEnd and its 10 repetitions, then the box (" + std::to_string(countCode(frames, kCodeDownloadEnd)) +
              " frames)");
    checkEqual(readFile(unit.memory), image, "the unit holds the whole image all the same");
    closeAndCheck(tool, "the close box");
}

void scenarioFlagged(const Args& args) {
    UnitSetup unit;
    std::string image;
    Tool tool;
    if (!readyToDownload(args, unit, image, tool)) return;
    const unsigned fileCrc = kermit(image);
    expectGiveUp(tool, kFlaggedCaption,
                 "Following download status did not returned to disable\n\nFile may have been completely loaded, "
                 "check the unit.\nIf unit does not function, download again.\n\n" + crcLines(fileCrc, fileCrc),
                 "a flagged result", true);
    checkEqual(readFile(unit.memory), image, "the unit's memory equals the image");
    closeAndCheck(tool, "escape");
}

// Closing the window while blocks are on their way: the process ends as after any close.
void scenarioCloseDuringDownload(const Args& args, const std::string& how) {
    UnitSetup unit;
    std::string image;
    Tool tool;
    if (!readyToDownload(args, unit, image, tool)) return;
    click(tool.main, kStart);
    const DWORD start = GetTickCount();
    while (progressPosition(tool.main) < 2 && GetTickCount() - start < kDownloadTimeoutMs) Sleep(kSampleMs);
    check(progressPosition(tool.main) >= 2 && otherWindows(tool).empty(), "the download is under way");
    if (how == "WM_CLOSE") {
        PostMessageA(tool.main, WM_CLOSE, 0, 0);
    } else {
        PostMessageA(tool.main, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0);
    }
    const std::string folder = tool.folder;
    const int code = waitExit(tool);
    check(code == kExitAfterClose, how + " during the download ends the process with exit code 2 (got " +
                                       std::to_string(code) + ")");
    check(!exists(folder + "\\" + kDriverName), "no lk207.dll is left");
    const std::size_t ends = countCode(receivedFrames(unit.transcript), kCodeDownloadEnd);
    check(ends == 0, "the download stopped before DownloadEnd (" + std::to_string(ends) + " sent)");
}

void scenarioCloseByMessage(const Args& args) { scenarioCloseDuringDownload(args, "WM_CLOSE"); }
void scenarioCloseByCancel(const Args& args) { scenarioCloseDuringDownload(args, "IDCANCEL"); }

// The demo: one download with screenshots of the window under way and of the outcome box; the box's text printed.
void scenarioDemo(const Args& args) {
    UnitSetup unit;
    std::string image;
    Tool tool;
    if (!readyToDownload(args, unit, image, tool)) return;
    const LRESULT snapshotAt = static_cast<LRESULT>(blockCount(image) / 3);
    bool taken = false;
    const Watched seen = runDownload(tool, [&](const Watched&, LRESULT progress) {
        if (!taken && progress >= snapshotAt) {
            taken = true;
            askForSnapshot(unit, "during-download");
        }
    });
    if (seen.box != nullptr) {
        std::printf("outcome box \"%s\":\n%s\n", textOf(seen.box).c_str(), itemText(seen.box, kBoxTextId).c_str());
        std::printf("download time: %.2f s for %zu blocks\n", seen.seconds, blockCount(image));
        askForSnapshot(unit, "outcome-box");
    }
    expectSuccess(tool, unit, image, seen, "the demo download");
    closeAndCheck(tool, "the close box");
}

// The benchmark: one download timed from Start to its box.
void scenarioBench(const Args& args) {
    UnitSetup unit;
    std::string image;
    if (!unitSetup(unit) || !loadUnitImage(unit, image)) return;
    const std::string baud = environment("QBV_BENCH_BAUD");
    Tool tool;
    if (!launch(tool, args.exe, args.files) || !waitForMainWindow(tool)) return;
    if (!baud.empty()) check(selectInCombo(GetDlgItem(tool.main, kBaudrate), baud), "select " + baud + " baud");
    if (!prepareDownload(tool, unit, image)) return;
    const Watched seen = runDownload(tool);
    std::printf("measured-seconds %.4f\n", seen.seconds);
    expectSuccess(tool, unit, image, seen, "the timed download");
    closeAndCheck(tool, "the close box");
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 6) {
        std::printf("usage: ui_driver SCENARIO TOOL_EXE FILES_FOLDER BUILT_DLL DROP_HELPER_DLL\n");
        return 2;
    }
    const std::string scenario = argv[1];
    const Args args{argv[2], argv[3], argv[4], argv[5]};
    const std::vector<std::pair<std::string, void (*)(const Args&)>> scenarios = {
        {"defaults", scenarioDefaults},
        {"stored-selection", scenarioStoredSelection},
        {"unknown-values", scenarioUnknownValues},
        {"browse", scenarioBrowse},
        {"drop", scenarioDrop},
        {"port-fails", scenarioPortFails},
        {"connected-close", scenarioConnectedClose},
        {"connect-toggle", scenarioConnectToggle},
        {"stale-driver", scenarioStaleDriver},
        {"read-only-folder", scenarioReadOnlyFolder},
        {"about", scenarioAbout},
        {"no-dialog", scenarioNoDialog},
        {"download", scenarioDownload},
        {"download-noisy", scenarioDownloadNoisy},
        {"download-never-disable", scenarioNeverDisable},
        {"download-erase-busy", scenarioEraseBusy},
        {"download-no-end-ack", scenarioNoEndAck},
        {"download-flagged", scenarioFlagged},
        {"download-close", scenarioCloseByMessage},
        {"download-cancel", scenarioCloseByCancel},
        {"demo", scenarioDemo},
        {"bench", scenarioBench},
    };
    for (const auto& entry : scenarios) {
        if (entry.first == scenario) {
            entry.second(args);
            std::printf("%s: %d failure(s)\n", scenario.c_str(), failures);
            return failures == 0 ? 0 : 1;
        }
    }
    std::printf("unknown scenario %s\n", scenario.c_str());
    return 2;
}
