// WorkerThread: start routine run → finished event → ExitThread(1); join with exit poll and terminate path.
#include "WorkerThread_win32.h"

WorkerThread::~WorkerThread() {
    if (thread_ != nullptr) CloseHandle(thread_);
    if (finishedEvent_ != nullptr) CloseHandle(finishedEvent_);
}

bool WorkerThread::startThread(DWORD flags) {
    if (thread_ != nullptr) return false;  // one running thread per object
    if (finishedEvent_ == nullptr) {
        finishedEvent_ = CreateEventA(nullptr, FALSE, FALSE, nullptr);
        if (finishedEvent_ == nullptr) return false;
    }
    joinOutcome_ = JoinOutcome::NotJoined;
    exitCode_ = STILL_ACTIVE;
    thread_ = CreateThread(nullptr, 0, &WorkerThread::startRoutine, this, flags, &threadId_);
    return thread_ != nullptr;
}

DWORD WINAPI WorkerThread::startRoutine(LPVOID parameter) {
    WorkerThread* self = static_cast<WorkerThread*>(parameter);
    self->run();
    SetEvent(self->finishedEvent_);
    ExitThread(kNormalExitCode);
}

bool WorkerThread::postToThread(UINT message, WPARAM wParam, LPARAM lParam) {
    return PostThreadMessageA(threadId_, message, wParam, lParam) != FALSE;
}

void WorkerThread::join() {
    if (thread_ == nullptr) return;
    WaitForSingleObject(finishedEvent_, INFINITE);
    for (int i = 0; i < kJoinTries; ++i) {
        DWORD code = 0;
        if (!GetExitCodeThread(thread_, &code)) {
            joinOutcome_ = JoinOutcome::ExitCodeUnreadable;
            return;
        }
        if (code != STILL_ACTIVE) {
            exitCode_ = code;
            CloseHandle(thread_);
            thread_ = nullptr;
            joinOutcome_ = JoinOutcome::Ended;
            return;
        }
        Sleep(kJoinSleepMs);
    }
    TerminateThread(thread_, kTerminateExitCode);
    // TerminateThread does not wait; give the system a moment to end the thread before the handle goes.
    WaitForSingleObject(thread_, 1000);
    DWORD code = STILL_ACTIVE;
    GetExitCodeThread(thread_, &code);
    exitCode_ = code;
    CloseHandle(thread_);
    thread_ = nullptr;
    joinOutcome_ = JoinOutcome::Terminated;
}
