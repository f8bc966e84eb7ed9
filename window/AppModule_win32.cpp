// AppModule: module handle, per-thread message loops and the object of the window being created.
#include "AppModule_win32.h"

class AppModule::Lock {
public:
    explicit Lock(const AppModule& module) : section_(module.lockReady_ ? &module.lock_ : nullptr) {
        if (section_ != nullptr) EnterCriticalSection(section_);
    }
    ~Lock() {
        if (section_ != nullptr) LeaveCriticalSection(section_);
    }
    Lock(const Lock&) = delete;
    Lock& operator=(const Lock&) = delete;

private:
    CRITICAL_SECTION* section_;
};

bool AppModule::init(HINSTANCE instance) {
    instance_ = instance;
    if (!lockReady_) {
        InitializeCriticalSection(&lock_);
        lockReady_ = true;
    }
    return true;
}

void AppModule::term() {
    if (!lockReady_) return;
    {
        Lock lock(*this);
        loops_.clear();
        creating_.clear();
    }
    DeleteCriticalSection(&lock_);
    lockReady_ = false;
}

bool AppModule::addMessageLoop(MessageLoop* loop) {
    Lock lock(*this);
    return loops_.emplace(GetCurrentThreadId(), loop).second;
}

void AppModule::removeMessageLoop() {
    Lock lock(*this);
    loops_.erase(GetCurrentThreadId());
}

MessageLoop* AppModule::messageLoop() const {
    Lock lock(*this);
    const auto found = loops_.find(GetCurrentThreadId());
    return found == loops_.end() ? nullptr : found->second;
}

void AppModule::setObjectBeingCreated(void* object) {
    Lock lock(*this);
    creating_[GetCurrentThreadId()] = object;
}

void* AppModule::takeObjectBeingCreated() {
    Lock lock(*this);
    const auto found = creating_.find(GetCurrentThreadId());
    if (found == creating_.end()) return nullptr;
    void* object = found->second;
    creating_.erase(found);
    return object;
}

AppModule& appModule() {
    static AppModule module;
    return module;
}
