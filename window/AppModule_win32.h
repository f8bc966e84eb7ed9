// AppModule: the process's module handle and the registry of message loops by thread, guarded by one lock.
#pragma once

#include <windows.h>

#include <map>

class MessageLoop;

class AppModule {
public:
    AppModule() = default;
    AppModule(const AppModule&) = delete;
    AppModule& operator=(const AppModule&) = delete;

    bool init(HINSTANCE instance);
    void term();
    HINSTANCE instance() const { return instance_; }

    // The message loop of the calling thread.
    bool addMessageLoop(MessageLoop* loop);
    void removeMessageLoop();
    MessageLoop* messageLoop() const;

    // The window object whose window the calling thread is creating; its window procedure claims it at the
    // first message.
    void setObjectBeingCreated(void* object);
    void* takeObjectBeingCreated();

private:
    class Lock;

    HINSTANCE instance_ = nullptr;
    mutable CRITICAL_SECTION lock_{};
    bool lockReady_ = false;
    std::map<DWORD, MessageLoop*> loops_;
    std::map<DWORD, void*> creating_;
};

// The one AppModule of the process.
AppModule& appModule();
