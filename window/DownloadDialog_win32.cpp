// DownloadDialog: initialisation, message routing, control enabling, image selection, the connect routine,
// the Connect toggle, Start up to the download procedure, and the shutdown sequence.
#include "DownloadDialog_win32.h"

#include <commctrl.h>
#include <commdlg.h>
#include <shellapi.h>

#include <cstdio>
#include <vector>

#include "AboutBox_win32.h"
#include "AppModule_win32.h"
#include "DialogRules.h"
#include "DriverLibraryFile_win32.h"
#include "ExePath_win32.h"
#include "ImageFile.h"
#include "LinkMessages.h"
#include "LinkWindow_win32.h"
#include "SettingsStore.h"
#include "WindowPlacement_win32.h"
#include "resource.h"

namespace {
constexpr int kControlsEnabledTogether[] = {IDC_START, IDC_BROWSE, IDC_FILE_PATH, IDC_PORT, IDC_BAUDRATE};
constexpr int kControlsWithGuiFont[] = {IDC_FILE_LABEL, IDC_PORT_LABEL, IDC_BAUDRATE_LABEL, IDC_STATUS_LABEL,
                                        IDC_START, IDC_BROWSE, IDC_CONNECT};
constexpr WORD kNoNotification = 0;
constexpr int kSearchWholeList = -1;          // CB_SELECTSTRING from the start of the list
constexpr std::uint32_t kProgressMask = 0xFFFF;  // the bar's range is 16 bits wide
constexpr int kCrcTextSize = 8;               // bytes, four digits and the terminator with room to spare
constexpr UINT kFileDialogOk = 1;             // GetOpenFileNameA's answer for a chosen file
constexpr UINT kFirstDroppedFile = 0;
}  // namespace

DownloadDialog::~DownloadDialog() = default;

HWND DownloadDialog::create(HINSTANCE instance) {
    instance_ = instance;
    appModule().setObjectBeingCreated(this);
    const HWND created = CreateDialogParamA(instance, MAKEINTRESOURCEA(IDD_MAIN), nullptr, dialogProc, 0);
    appModule().takeObjectBeingCreated();  // unclaimed when creation failed before the first message
    return created;
}

INT_PTR CALLBACK DownloadDialog::dialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    auto* self = reinterpret_cast<DownloadDialog*>(GetWindowLongPtrA(window, DWLP_USER));
    if (self == nullptr) {
        self = static_cast<DownloadDialog*>(appModule().takeObjectBeingCreated());
        if (self == nullptr) return FALSE;
        self->window_ = window;
        SetWindowLongPtrA(window, DWLP_USER, reinterpret_cast<LONG_PTR>(self));
    }
    return self->route(message, wParam, lParam);
}

INT_PTR DownloadDialog::handled(LRESULT result) {
    if (window_ != nullptr) SetWindowLongPtrA(window_, DWLP_MSGRESULT, result);
    return TRUE;
}

INT_PTR DownloadDialog::route(UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_INITDIALOG) return onInitDialog();
    // The registered numbers are 0 until initialisation has registered them; 0 never matches.
    if (msgStatusUpdate_ != 0 && message == msgStatusUpdate_) {
        procedure_.onStatusUpdate(takePostedBuffer(lParam));
        return handled();
    }
    if (msgAlarm_ != 0 && message == msgAlarm_) {
        procedure_.onAlarm(takePostedBuffer(lParam));
        return handled();
    }
    if (msgResponse_ != 0 && message == msgResponse_) {
        procedure_.onResponse(takePostedBuffer(lParam));
        return handled();
    }
    if (msgSendCancel_ != 0 && message == msgSendCancel_) {
        procedure_.onBlankPassed();
        return handled();
    }
    switch (message) {
    case WM_DROPFILES:
        onDropFiles(reinterpret_cast<HDROP>(wParam));
        return handled();
    case WM_COMMAND:
        return routeCommand(LOWORD(wParam), HIWORD(wParam), reinterpret_cast<HWND>(lParam));
    case WM_NCDESTROY:
        onNcDestroy();
        return FALSE;
    default:
        return FALSE;
    }
}

INT_PTR DownloadDialog::routeCommand(WORD id, WORD notification, HWND control) {
    switch (id) {
    case ID_APP_ABOUT:
        onAbout();
        return handled();
    case IDOK:
        return handled();  // Enter does nothing
    case IDCANCEL:
        onCancel();
        return handled();
    case IDC_BROWSE:
        if (notification != BN_CLICKED) return FALSE;
        onBrowse(control);
        return handled();
    case IDC_CONNECT:
        if (notification != BN_CLICKED) return FALSE;
        onConnectToggle();
        return handled();
    case IDC_START:
        if (notification != BN_CLICKED) return FALSE;
        onStart();
        return handled();
    case IDC_PORT:
        return notification == CBN_SELCHANGE ? handled() : FALSE;
    case IDC_FILE_PATH:
        return notification == EN_CHANGE ? handled() : FALSE;
    case IDC_STATUS_LABEL:
        return notification == kNoNotification ? handled() : FALSE;
    default:
        return FALSE;
    }
}

BOOL DownloadDialog::onInitDialog() {
    centreWindow(window_);

    const HANDLE bigIcon = LoadImageA(instance_, MAKEINTRESOURCEA(IDI_MAIN), IMAGE_ICON, GetSystemMetrics(SM_CXICON),
                                      GetSystemMetrics(SM_CYICON), LR_DEFAULTCOLOR);
    SendMessageA(window_, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(bigIcon));
    const HANDLE smallIcon = LoadImageA(instance_, MAKEINTRESOURCEA(IDI_MAIN), IMAGE_ICON,
                                        GetSystemMetrics(SM_CXSMICON), GetSystemMetrics(SM_CYSMICON), LR_DEFAULTCOLOR);
    SendMessageA(window_, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(smallIcon));

    if (MessageLoop* loop = appModule().messageLoop()) {
        loop->addMessageFilter(this);
        loop->addIdleHandler(this);
    }

    const auto guiFont = reinterpret_cast<WPARAM>(GetStockObject(DEFAULT_GUI_FONT));
    SendMessageA(window_, WM_SETFONT, guiFont, TRUE);

    // The settings: read, or written with the defaults when they cannot be read.
    std::string storedPort = settings::kDefaultPort;
    std::string storedBaudrate = settings::kDefaultBaudrate;
    const std::optional<std::string> folder = exepath::exeFolder();
    if (folder) {
        exeFolder_ = *folder;
        settingsPath_ = exeFolder_ + settings::kFileName;
        SettingsStore store(settingsPath_);
        if (!store.Read()) store.ApplyDefaults();
        storedPort = store.Get(settings::kPortKey);
        storedBaudrate = store.Get(settings::kBaudrateKey);
    }

    for (const int id : kControlsWithGuiFont) SendDlgItemMessageA(window_, id, WM_SETFONT, guiFont, TRUE);
    ShowWindow(GetDlgItem(window_, IDC_CONNECT), SW_HIDE);

    SetDlgItemTextA(window_, IDC_FILE_PATH, "");
    fillList(IDC_PORT, storedPort, true);
    fillList(IDC_BAUDRATE, storedBaudrate, false);
    SetDlgItemTextA(window_, IDC_STATUS_TEXT, "");
    SetDlgItemTextA(window_, IDC_FILE_CRC, shell::kInitialCrcText);
    SendDlgItemMessageA(window_, IDC_PROGRESS, PBM_SETPOS, 0, 0);

    msgStatusUpdate_ = RegisterWindowMessageA(linkmsg::kStatusUpdate);
    msgResponse_ = RegisterWindowMessageA(linkmsg::kResponse);
    msgAlarm_ = RegisterWindowMessageA(linkmsg::kAlarm);
    msgSendCancel_ = RegisterWindowMessageA(linkmsg::kSendCancel);

    if (!folder || !exepath::driverLibraryPath(driverPath_)) return FALSE;
    if (!extractDriverLibrary(instance_, driverPath_)) return FALSE;  // no link: Start stops after its file check

    link_ = std::make_unique<DeviceLink>();
    procedure_.attach(this);
    return TRUE;
}

void DownloadDialog::fillList(int id, const std::string& stored, bool portList) {
    const std::vector<std::string> entries = portList ? dialogrules::portEntries() : dialogrules::baudRateEntries();
    for (const std::string& entry : entries) {
        SendDlgItemMessageA(window_, id, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(entry.c_str()));
    }
    // The first entry that begins with the stored text, ignoring case; none when no entry does.
    if (!stored.empty()) {
        SendDlgItemMessageA(window_, id, CB_SELECTSTRING, static_cast<WPARAM>(kSearchWholeList),
                            reinterpret_cast<LPARAM>(stored.c_str()));
    }
}

bool DownloadDialog::preTranslateMessage(MSG& message) {
    return window_ != nullptr && IsDialogMessageA(window_, &message);
}

bool DownloadDialog::onIdle() { return false; }

void DownloadDialog::onNcDestroy() {
    if (MessageLoop* loop = appModule().messageLoop()) {
        loop->removeMessageFilter(this);
        loop->removeIdleHandler(this);
    }
    SetWindowLongPtrA(window_, DWLP_USER, 0);
    window_ = nullptr;
}

// ---- Control state and boxes ----

void DownloadDialog::showStatus(const std::string& text) { SetDlgItemTextA(window_, IDC_STATUS_TEXT, text.c_str()); }

void DownloadDialog::showProgress(std::uint32_t blocksDone) {
    SendDlgItemMessageA(window_, IDC_PROGRESS, PBM_SETPOS, blocksDone, 0);
}

void DownloadDialog::lockControls(bool locked) {
    for (const int id : kControlsEnabledTogether) EnableWindow(GetDlgItem(window_, id), locked ? FALSE : TRUE);
}

std::string DownloadDialog::loadString(UINT id) const {
    char text[shell::kTextBufferSize] = {};
    LoadStringA(instance_, id, text, sizeof text);
    return text;
}

void DownloadDialog::showStringBox(UINT stringId) {
    MessageBoxA(window_, loadString(stringId).c_str(), loadString(IDS_CAPTION).c_str(), MB_OK);
}

void DownloadDialog::showPlainBox(const std::string& caption, const std::string& text) {
    MessageBoxA(window_, text.c_str(), caption.c_str(), MB_ICONINFORMATION);
}

void DownloadDialog::resumeAfterBlank() { PostMessageA(window_, msgSendCancel_, 0, 0); }

std::string DownloadDialog::controlText(int id) const {
    char text[shell::kTextBufferSize] = {};
    GetDlgItemTextA(window_, id, text, sizeof text);
    return text;
}

std::optional<std::string> DownloadDialog::selectedText(int id) const {
    const LRESULT index = SendDlgItemMessageA(window_, id, CB_GETCURSEL, 0, 0);
    if (index == CB_ERR) return std::nullopt;
    const LRESULT length = SendDlgItemMessageA(window_, id, CB_GETLBTEXTLEN, static_cast<WPARAM>(index), 0);
    if (length == CB_ERR || length >= shell::kTextBufferSize) return std::nullopt;
    char text[shell::kTextBufferSize] = {};
    SendDlgItemMessageA(window_, id, CB_GETLBTEXT, static_cast<WPARAM>(index), reinterpret_cast<LPARAM>(text));
    return std::string(text);
}

// ---- Connect routine and Connect toggle ----

bool DownloadDialog::connectLink() {
    const std::string portName = controlText(IDC_PORT);
    const std::uint32_t baudRate = dialogrules::baudRateFromText(controlText(IDC_BAUDRATE));
    if (link_ && link_->connect(window_, portName, baudRate)) {
        EnableWindow(GetDlgItem(window_, IDC_PORT), FALSE);
        EnableWindow(GetDlgItem(window_, IDC_BAUDRATE), FALSE);
        SetDlgItemTextA(window_, IDC_CONNECT, shell::kDisconnectText);
        return true;
    }
    showStringBox(IDS_PORT_INIT_FAILED);
    return false;
}

void DownloadDialog::onConnectToggle() {
    if (!link_) return;
    if (link_->isConnected()) {
        link_->disablePolling();
        link_->disconnect();
        lockControls(false);
        showStatus("");
        return;
    }
    if (connectLink()) link_->enablePolling();
}

// ---- Start and the download procedure's hooks ----

void DownloadDialog::onStart() {
    if (downloadRunning()) return;
    // Refuses without an image, does nothing without a link, connects when needed, then asks for the first status.
    if (procedure_.start(imageData_, fileCrc_) == StartResult::NoImage) showBox(noImageBox());
}

void DownloadDialog::showBox(const OutcomeBox& box) {
    MessageBoxA(window_, box.text.c_str(), box.caption.c_str(), box.type);
}

void DownloadDialog::showOutcome(const DownloadOutcome& outcome) { showBox(outcomeBox(outcome)); }

bool DownloadDialog::ensureOpen() { return (link_ && link_->isConnected()) || connectLink(); }

void DownloadDialog::stopOwnPolling() {
    if (link_) link_->disablePolling();
}

void DownloadDialog::requestStatus() {
    if (link_) link_->pollOnce();
}

void DownloadDialog::sendCommand(const ByteBuffer& frame) {
    if (link_) link_->postCommand(frame);
}

void DownloadDialog::close() {
    if (link_) link_->disconnect();
}

// ---- Image file ----

void DownloadDialog::onBrowse(HWND button) {
    if (downloadRunning()) return;  // the running download's image stays
    char file[shell::kPathBufferSize] = "";
    OPENFILENAMEA dialog{};
    dialog.lStructSize = OPENFILENAME_SIZE_VERSION_400A;  // the size of this build's pointer width
    dialog.hwndOwner = button;
    dialog.lpstrFile = file;
    dialog.nMaxFile = sizeof file;
    dialog.nFilterIndex = 1;
    dialog.lpstrTitle = shell::kFileCaption;
    dialog.Flags = OFN_HIDEREADONLY | OFN_PATHMUSTEXIST | OFN_FILEMUSTEXIST;
    if (GetOpenFileNameA(&dialog) != kFileDialogOk) return;
    if (loadImage(file)) showImage(file);
}

void DownloadDialog::onDropFiles(HDROP drop) {
    char file[shell::kPathBufferSize] = "";
    DragQueryFileA(drop, kFirstDroppedFile, file, sizeof file);
    DragFinish(drop);
    if (downloadRunning()) return;  // the running download's image stays
    if (loadImage(file)) showImage(file);
}

bool DownloadDialog::loadImage(const std::string& path) {
    imageData_.clear();
    // Opened alone first: a file another program holds open is refused like one that does not exist.
    const HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                                    nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        showStringBox(IDS_FILE_OPEN_ERROR);
        return false;
    }
    CloseHandle(file);

    ImageLoad loaded = loadImageFile(path);
    switch (loaded.status) {
    case ImageLoadStatus::OpenError:
        showStringBox(IDS_FILE_OPEN_ERROR);
        return false;
    case ImageLoadStatus::MemoryError:
        showStringBox(IDS_MEMORY_ERROR);
        return false;
    case ImageLoadStatus::Invalid:
        showPlainBox(image::kInvalidCaption, image::kInvalidText);
        return false;
    case ImageLoadStatus::Ok:
        break;
    }
    imageData_ = std::move(loaded.imageData);
    fileCrc_ = loaded.fileCrc;
    blockCount_ = loaded.blockCount;
    return true;
}

void DownloadDialog::showImage(const std::string& path) {
    SendDlgItemMessageA(window_, IDC_PROGRESS, PBM_SETRANGE, 0, MAKELPARAM(0, blockCount_ & kProgressMask));
    char crcText[kCrcTextSize] = {};
    std::snprintf(crcText, sizeof crcText, shell::kCrcFormat, static_cast<unsigned>(fileCrc_));
    SetDlgItemTextA(window_, IDC_FILE_CRC, crcText);
    imagePath_ = path;
    SetDlgItemTextA(window_, IDC_FILE_PATH, imagePath_.c_str());
}

// ---- About and shutdown ----

void DownloadDialog::onAbout() { showAboutBox(instance_, GetActiveWindow()); }

void DownloadDialog::saveSettings() {
    if (settingsPath_.empty()) return;
    const std::optional<std::string> port = selectedText(IDC_PORT);
    const std::optional<std::string> baudrate = selectedText(IDC_BAUDRATE);
    SettingsStore store(settingsPath_);
    if (!store.Read()) store.ApplyDefaults();
    store.Set(settings::kPortKey,
              dialogrules::valueToStore(port, store.Get(settings::kPortKey), settings::kDefaultPort));
    store.Set(settings::kBaudrateKey,
              dialogrules::valueToStore(baudrate, store.Get(settings::kBaudrateKey), settings::kDefaultBaudrate));
    store.Write();
}

void DownloadDialog::onCancel() {
    if (link_) {
        link_->disconnect();                     // the worker ends, the port closes, the library is unloaded
        discardPendingLinkMessages(window_);     // answers still queued would lose their buffers with the window
        link_.reset();
    }
    saveSettings();
    if (!driverPath_.empty()) DeleteFileA(driverPath_.c_str());
    DestroyWindow(window_);
    PostQuitMessage(shell::kExitAfterClose);
}
