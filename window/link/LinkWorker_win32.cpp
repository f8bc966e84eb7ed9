// LinkWorker: start (bind + Open on the window thread), run (the message loop on the worker), stop (join, Close).
#include "LinkWorker_win32.h"

#include <memory>

#include "DebugMailslot.h"
#include "DriverLibrary_win32.h"
#include "ExePath_win32.h"
#include "LinkMessages.h"
#include "PostedBuffer.h"

namespace {

void toToolSlot(const std::string& text) { DebugMailslot::send(debugslot::kToolSlot, text); }

// The worker's answers go to the dialog window as posted registered messages; debug texts to the tool's mailslot.
class WindowOutlet : public LinkOutlet {
public:
    WindowOutlet(HWND window, const LinkMessageIds& ids) : window_(window), ids_(ids) {}
    bool post(WindowMessage message, ByteBuffer* buffer) override {
        return PostMessageA(window_, ids_.toWindow(message), 0, reinterpret_cast<LPARAM>(buffer)) != FALSE;
    }
    void debug(const std::string& text) override { toToolSlot(text); }

private:
    HWND window_;
    const LinkMessageIds& ids_;
};

}  // namespace

LinkMessageIds LinkMessageIds::registerAll() {
    LinkMessageIds ids;
    ids.exitThread = RegisterWindowMessageA(linkmsg::kExitThread);
    ids.enableComm = RegisterWindowMessageA(linkmsg::kEnableComm);
    ids.disableComm = RegisterWindowMessageA(linkmsg::kDisableComm);
    ids.command = RegisterWindowMessageA(linkmsg::kCommand);
    ids.response = RegisterWindowMessageA(linkmsg::kResponse);
    ids.statusUpdate = RegisterWindowMessageA(linkmsg::kStatusUpdate);
    ids.alarm = RegisterWindowMessageA(linkmsg::kAlarm);
    ids.polling = RegisterWindowMessageA(linkmsg::kPolling);
    return ids;
}

WorkerMessage LinkMessageIds::classify(UINT message) const {
    if (message == 0) return WorkerMessage::Other;
    if (message == exitThread) return WorkerMessage::ExitThread;
    if (message == enableComm) return WorkerMessage::EnableComm;
    if (message == disableComm) return WorkerMessage::DisableComm;
    if (message == command) return WorkerMessage::Command;
    if (message == polling) return WorkerMessage::Polling;
    return WorkerMessage::Other;
}

UINT LinkMessageIds::toWorker(WorkerMessage message) const {
    switch (message) {
    case WorkerMessage::ExitThread: return exitThread;
    case WorkerMessage::EnableComm: return enableComm;
    case WorkerMessage::DisableComm: return disableComm;
    case WorkerMessage::Command: return command;
    case WorkerMessage::Polling: return polling;
    case WorkerMessage::Other: break;
    }
    return 0;
}

UINT LinkMessageIds::toWindow(WindowMessage message) const {
    switch (message) {
    case WindowMessage::StatusUpdate: return statusUpdate;
    case WindowMessage::Response: return response;
    case WindowMessage::Alarm: return alarm;
    }
    return 0;
}

LinkWorker::LinkWorker(HWND window, LibraryFactory makeLibrary)
    : window_(window), makeLibrary_(makeLibrary ? std::move(makeLibrary) : LibraryFactory(makeSystemDriverLibrary)) {}

LinkWorker::~LinkWorker() {
    stop();
    if (wakeEvent_ != nullptr) CloseHandle(wakeEvent_);
    if (startedEvent_ != nullptr) CloseHandle(startedEvent_);
}

// ---- window thread, before the worker exists: bind and Open ----
bool LinkWorker::start(const std::string& portName, std::uint32_t baudRate) {
    std::string path;
    if (!exepath::driverLibraryPath(path)) return false;
    if (client_) return false;  // a connection stands (or a worker holds the client): leave it untouched

    auto client = std::make_unique<DriverClient>(makeLibrary_(), toToolSlot);
    if (!client->bind(path)) return false;  // destroying the client unloads whatever stayed loaded
    client->openPort(portName, baudRate);
    if (client->result(driverclient::kResultCode) != comm::kCodeOk) return false;  // no Close: unload and free only

    if (wakeEvent_ == nullptr) wakeEvent_ = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    if (startedEvent_ == nullptr) startedEvent_ = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    ids_ = LinkMessageIds::registerAll();
    if (wakeEvent_ == nullptr || startedEvent_ == nullptr) {
        client->closePort();
        return false;
    }

    client_ = std::move(client);  // from here until join() returns, only the worker thread uses it
    if (!startThread(0)) {
        client_->closePort();  // no thread came: the window thread still owns the client
        client_.reset();
        return false;
    }
    connected_ = true;
    WaitForSingleObject(startedEvent_, INFINITE);  // the worker's queue exists before anything is posted
    return true;
}

// ---- worker thread: the only user of the DriverClient while it runs ----
DWORD LinkWorker::run() {
    const LinkMessageIds ids = LinkMessageIds::registerAll();
    MSG msg;
    PeekMessageA(&msg, nullptr, WM_USER, WM_USER, PM_NOREMOVE);  // makes the system create this thread's queue
    SetEvent(startedEvent_);

    WindowOutlet outlet(window_, ids);
    LinkWorkerCore core(*client_, outlet);
    for (;;) {
        // At most one thread message per turn (hWnd -1: thread messages only).
        if (PeekMessageA(&msg, reinterpret_cast<HWND>(-1), 0, 0, PM_REMOVE)) {
            const WorkerMessage kind = ids.classify(msg.message);
            ByteBuffer* posted = kind == WorkerMessage::Command ? reinterpret_cast<ByteBuffer*>(msg.lParam) : nullptr;
            if (!core.take(kind, posted)) {
                discardQueuedMessages(ids);
                return 0;
            }
        }
        core.pollIfEnabled();
        WaitForSingleObject(wakeEvent_, waitPeriod_);
    }
}

// After ExitThread nothing should be queued (the window thread waits in stop), but a Command buffer left in the
// queue would be lost with the queue: free it rather than leak it.
void LinkWorker::discardQueuedMessages(const LinkMessageIds& ids) {
    MSG msg;
    while (PeekMessageA(&msg, reinterpret_cast<HWND>(-1), 0, 0, PM_REMOVE)) {
        if (ids.classify(msg.message) == WorkerMessage::Command) {
            freePostedBuffer(reinterpret_cast<ByteBuffer*>(msg.lParam));
        }
    }
}

// ---- window thread, after the worker has ended: Close, unbind ----
void LinkWorker::stop() {
    if (!client_) return;
    post(WorkerMessage::ExitThread, 0);
    wake();
    join();
    // The worker has left run(): the DriverClient belongs to the window thread again.
    client_->closePort();
    client_->unbind();
    client_.reset();
    connected_ = false;
}

bool LinkWorker::post(WorkerMessage message, LPARAM lParam) {
    if (!hasThread()) return false;
    const UINT id = ids_.toWorker(message);
    return id != 0 && postToThread(id, 0, lParam);
}

void LinkWorker::wake() {
    if (wakeEvent_ != nullptr) SetEvent(wakeEvent_);
}
