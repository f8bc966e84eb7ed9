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
#include "DeviceLink.h"
#include "MessageLoop.h"

namespace shell {
constexpr int kExitAfterClose = IDCANCEL;   // process exit code after a normal close
constexpr int kExitNoWindow = 0;            // process exit code when dialog 129 cannot be created
constexpr std::uint32_t kIdleState = 0;     // no download under way
constexpr int kTextBufferSize = 256;        // bytes, for list and window texts
constexpr int kPathBufferSize = 260;        // bytes, for chosen and dropped file names
constexpr DWORD kModulePathBufferSize = 1024;  // bytes, for the executable's own path
constexpr const char* kFileCaption = "Target File";
constexpr const char* kInvalidFileCaption = "ERROR: Invalid download file";
constexpr const char* kNoFileCaption = "ERROR: Download file is not selected";
constexpr const char* kSelectValidText = "Select a valid software.";
constexpr const char* kInitialCrcText = "0000";
constexpr const char* kCrcFormat = "%04X";
constexpr const char* kDisconnectText = "\x90\xD8\x92\x66";  // "disconnect" in Shift-JIS
}  // namespace shell

class DownloadDialog : public MessageFilter, public IdleHandler {
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

    // What the download procedure uses of the window.
    void setStatusText(const std::string& text);
    void setProgress(std::uint32_t position);
    void disableControls();
    void enableControls();
    void showStringBox(UINT stringId);
    void showInformationBox(const std::string& text);
    void showPlainBox(const std::string& caption, const std::string& text);
    void postSendCancel();
    // The connect routine: opens the link with the selected port and baud rate; the string-133 box when it fails.
    bool connectLink();

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

    // Hooks of the download procedure: where it takes over after Start and where the link's answers go.
    void startProcedure();
    void onStatusUpdate(const ByteBuffer& reply);
    void onResponse(const ByteBuffer& reply);
    void onAlarm(const ByteBuffer& reply);
    void onSendCancel();
    bool downloadRunning() const { return state_ != shell::kIdleState; }

    bool loadImage(const std::string& path);
    void showImage(const std::string& path);
    std::optional<std::string> selectedText(int id) const;
    std::string controlText(int id) const;
    std::string loadString(UINT id) const;
    void saveSettings();

    HINSTANCE instance_ = nullptr;
    HWND window_ = nullptr;

    std::string imagePath_;
    std::uint32_t imageSize_ = 0;
    std::uint32_t state_ = shell::kIdleState;
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
};
