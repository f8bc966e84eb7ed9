// WindowOperator (Windows only): works the real qbv_download.exe from outside as an operator would.
#pragma once

#include <windows.h>

#include <functional>
#include <string>
#include <vector>

namespace winop {
constexpr const char* kMainCaption = "DOWNLOAD PROGRAM Ver.1.20";
constexpr const char* kFileDialogCaption = "Target File";
constexpr const char* kSettingsName = "qbv_download_config.txt";
constexpr const char* kDriverName = "lk207.dll";
constexpr DWORD kWindowTimeoutMs = 30000;    // Wine's first window can take a while
constexpr DWORD kBoxTimeoutMs = 10000;       // a box, a dialog or a change of the window comes within this
constexpr DWORD kExitTimeoutMs = 15000;
constexpr DWORD kQuietMs = 1500;             // how long "nothing happens" is watched
constexpr DWORD kDownloadTimeoutMs = 120000; // the longest download, give-ups included
constexpr UINT kAboutCommand = 57664;

// Controls of the main window.
enum Control : int { kFilePath = 1000, kBrowse = 1001, kPort = 1002, kBaudrate = 1003, kStatusText = 1004,
                     kProgress = 1005, kStart = 1006, kConnect = 1012, kFileCrc = 1013 };
constexpr int kTogetherControls[] = {kStart, kBrowse, kFilePath, kPort, kBaudrate};  // enabled and disabled as one

enum class Close { CloseBox, Escape, AltF4, Message };

// A box as it showed: its caption, the message text, and the texts of all its controls.
struct Box {
    bool shown = false;
    std::string caption;
    std::string text;
    std::vector<std::string> controls;
};

// What a download showed up to its box: each new non-empty status text, the bar's highest position.
struct Watched {
    std::vector<std::string> statuses;
    LRESULT highestProgress = 0;
    HWND box = nullptr;
    double seconds = 0;  // from Start to the box
};

// What the tool's process holds: its private bytes and its handles.
struct Usage {
    std::size_t privateBytes = 0;
    DWORD handles = 0;
};

std::string readFile(const std::string& path);
bool writeFile(const std::string& path, const std::string& bytes);
bool exists(const std::string& path);
std::vector<std::string> folderEntries(const std::string& folder);  // the names in a folder, sorted
Usage usageOf(HANDLE process, DWORD pid);  // a process's private bytes and handles (also under Wine)

// Asks the demo's script for a screenshot: NAME.request in `folder`, answered by NAME.done.
bool askSnapshot(const std::string& folder, const std::string& name);

class Tool {
public:
    Tool() = default;
    Tool(const Tool&) = delete;
    Tool& operator=(const Tool&) = delete;
    ~Tool();  // ends a tool still running

    bool launch(const std::string& exe, const std::string& workingFolder);  // the process only
    bool start(const std::string& exe, const std::string& workingFolder);   // and its main window shows
    int waitExit(DWORD timeoutMs = kExitTimeoutMs);  // the exit code, or -1 when it had to be ended
    int close(Close how);                            // the exit code
    bool running() const;
    const std::string& folder() const { return folder_; }  // the exe's folder, with its trailing backslash

    std::string title() const;  // the main window's
    std::string text(int id) const;
    std::vector<std::string> items(int id) const;
    std::string selection(int id) const;  // "" when nothing is selected
    bool select(int id, const std::string& entry) const;
    bool enabled(int id) const;
    bool allEnabled() const;
    bool visible(int id) const;
    LRESULT progressRange() const;
    LRESULT progressPosition() const;
    bool centred() const;
    bool acceptsFiles() const;
    Usage usage() const;

    void click(int id) const;
    void command(UINT id) const;
    void key(WPARAM virtualKey) const;
    bool waitFor(const std::function<bool()>& done, DWORD timeoutMs = kBoxTimeoutMs) const;
    bool waitText(int id, const std::string& expected) const;

    bool quiet(DWORD ms = kQuietMs) const;  // no box or dialog shows for ms
    HWND waitBox(DWORD timeoutMs = kBoxTimeoutMs) const;
    Box answer(HWND box) const;  // reads the box, then presses its OK
    Box answerBox(DWORD timeoutMs = kBoxTimeoutMs) const { return answer(waitBox(timeoutMs)); }
    bool browse(const std::string& path) const;  // BROWSE, the name in the file dialog, Open; "" cancels the dialog
    bool drop(const std::vector<std::string>& files, const std::string& helperDll, const std::string& scratch) const;
    Watched download(const std::function<void(LRESULT progress)>& onSample = nullptr) const;  // Start, up to a box

private:
    HWND find(const std::string& caption, bool otherThanMain) const;
    std::vector<HWND> others() const;

    PROCESS_INFORMATION process_{};
    std::string folder_;
    HWND main_ = nullptr;
};
}  // namespace winop
