// LinkWorker: the worker thread that makes every request to the driver library while a connection stands.
//
// Single-threaded use of the driver library, by construction:
//   start()  - window thread, BEFORE the thread exists: bind the library and send Open.
//   run()    - worker thread: the only code that uses the DriverClient in between (through LinkWorkerCore).
//   stop()   - window thread, AFTER join() has seen run() return: send Close, unbind, destroy the DriverClient.
#pragma once

#include <windows.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "DriverClient.h"
#include "LinkWorkerCore.h"
#include "WorkerThread_win32.h"

// The eight registered message numbers, in their fixed order.
struct LinkMessageIds {
    UINT exitThread = 0;
    UINT enableComm = 0;
    UINT disableComm = 0;
    UINT command = 0;
    UINT response = 0;
    UINT statusUpdate = 0;
    UINT alarm = 0;
    UINT polling = 0;

    static LinkMessageIds registerAll();  // RegisterWindowMessageA of the eight names
    WorkerMessage classify(UINT message) const;
    UINT toWorker(WorkerMessage message) const;  // 0 for Other
    UINT toWindow(WindowMessage message) const;
};

class LinkWorker : public WorkerThread {
public:
    using LibraryFactory = std::function<std::unique_ptr<DriverLibrary>()>;

    static constexpr DWORD kWaitPeriodMs = 10;

    // No thread, no events, no DriverClient yet. `makeLibrary` gives the loaded-library access of each
    // DriverClient (the real one by default; tests may wrap it).
    explicit LinkWorker(HWND window, LibraryFactory makeLibrary = LibraryFactory());
    ~LinkWorker() override;  // stops a running worker first
    LinkWorker(const LinkWorker&) = delete;
    LinkWorker& operator=(const LinkWorker&) = delete;

    // Window thread. Loads lk207.dll from the executable's folder, opens the port, starts the thread and waits
    // until its queue exists. False (nothing loaded, no thread) when any of that fails or a DriverClient exists.
    bool start(const std::string& portName, std::uint32_t baudRate);
    // Window thread. ExitThread with a wake, join, then Close, unbind and destroy the DriverClient.
    void stop();

    bool connected() const { return connected_; }
    // Window thread: a thread message to the running worker, and the wake that cuts its wait short.
    bool post(WorkerMessage message, LPARAM lParam);
    void wake();

    const LinkMessageIds& messageIds() const { return ids_; }

protected:
    DWORD run() override;

private:
    void discardQueuedMessages(const LinkMessageIds& ids);

    const HWND window_;
    const DWORD waitPeriod_ = kWaitPeriodMs;
    LibraryFactory makeLibrary_;
    LinkMessageIds ids_;
    bool connected_ = false;
    HANDLE wakeEvent_ = nullptr;
    HANDLE startedEvent_ = nullptr;
    std::unique_ptr<DriverClient> client_;
};
