// DownloadDialog: the tool's one window (dialog 129), the root of all of its state, and the routing of every
// user action and every message from the link worker.
#pragma once

#include <windows.h>
#include <shellapi.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "ByteBuffer.h"
#include "DeviceLink_win32.h"
#include "DownloadShell.h"
#include "DownloadProcedure.h"
#include "MessageLoop_win32.h"
#include "OutcomeBoxes.h"

namespace shell {
constexpr int kExitAfterClose = IDCANCEL;   // process exit code after a normal close
constexpr int kExitNoWindow = 0;            // process exit code when dialog 129 cannot be created
constexpr int kTextBufferSize = 256;        // bytes, for list and window texts
constexpr int kPathBufferSize = 260;        // bytes, for chosen and dropped file names
constexpr const char* kFileCaption = "Target File";
constexpr const char* kInitialCrcText = "0000";
constexpr const char* kCrcFormat = "%04X";
constexpr const char* kDisconnectText = "\x90\xD8\x92\x66";  // "disconnect" in Shift-JIS
}  // namespace shell

// The window is the download procedure's view, and its way to the unit (through the DeviceLink it owns).
class DownloadDialog : public MessageFilter, public IdleHandler, public DownloadView, public UnitRequests {
public:
    DownloadDialog() = default;
    ~DownloadDialog() override;
    DownloadDialog(const DownloadDialog&) = delete;
    DownloadDialog& operator=(const DownloadDialog&) = delete;

    // Creates dialog 129 modeless, without owner; all initialisation happens inside. Null when it fails.
    HWND create(HINSTANCE instance);
    HWND window() const { return window_; }

    bool preTranslateMessage(MSG& message) override;  // IsDialogMessageA on the dialog
    bool onIdle() override;                           // nothing to do

    // What the download procedure shows: the status text (1004), the progress bar (1005), the outcome's box (modal,
    // owned by the dialog); during a download Start, Browse, the file path and both lists (1006, 1001, 1000, 1002,
    // 1003) are disabled.
    void showStatus(const std::string& text) override;
    void showProgress(std::uint32_t blocksDone) override;
    void showOutcome(const DownloadOutcome& outcome) override;
    void lockControls(bool locked) override;
    void showBox(const OutcomeBox& box);
    void showStringBox(UINT stringId);
    void showPlainBox(const std::string& caption, const std::string& text);
    // The connect routine: opens the link with the selected port and baud rate; the string-133 box when it fails.
    bool connectLink();

    // What the download procedure asks of the unit, through the DeviceLink: Polling, Command, DisableComm and the
    // disconnect go to the link worker; the blank-block step is SENDCANCEL, posted to the dialog itself.
    bool ensureOpen() override;
    void requestStatus() override;
    void sendCommand(const ByteBuffer& frame) override;
    void resumeAfterBlank() override;
    void close() override;
    void stopOwnPolling() override;

private:
    static INT_PTR CALLBACK dialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    INT_PTR route(UINT message, WPARAM wParam, LPARAM lParam);
    INT_PTR handled(LRESULT result = 0);
    INT_PTR routeCommand(WORD id, WORD notification, HWND control);

    BOOL onInitDialog();
    void fillList(int id, const std::string& stored, bool portList);
    void onCancel();
    void onBrowse(HWND button);
    void onDropFiles(HDROP drop);
    void onConnectToggle();
    void onStart();
    void onAbout();
    void onNcDestroy();

    bool downloadRunning() const { return procedure_.state() != DownloadState::Idle; }

    bool loadImage(const std::string& path);
    void showImage(const std::string& path);
    std::optional<std::string> selectedText(int id) const;
    std::string controlText(int id) const;
    std::string loadString(UINT id) const;
    void saveSettings();

    HINSTANCE instance_ = nullptr;
    HWND window_ = nullptr;

    std::string imagePath_;
    std::uint32_t blockCount_ = 0;
    std::uint16_t fileCrc_ = 0;
    ByteBuffer imageData_;
    std::string exeFolder_;
    std::string settingsPath_;
    std::string driverPath_;

    UINT msgStatusUpdate_ = 0;
    UINT msgResponse_ = 0;
    UINT msgAlarm_ = 0;
    UINT msgSendCancel_ = 0;

    std::unique_ptr<DeviceLink> link_;
    DownloadProcedure procedure_{*this};  // the download under way, if any; its state is the dialog's `state`
};
