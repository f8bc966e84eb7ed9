// WorkerThread: a thread with its own message queue, started with CreateThread, ended by its `run` returning,
// and joined with a bounded exit poll and a TerminateThread fallback.
#pragma once

#include <windows.h>

class WorkerThread {
public:
    // How the last join ended (for callers and tests; the link itself does not depend on it).
    enum class JoinOutcome { NotJoined, Ended, ExitCodeUnreadable, Terminated };

    static constexpr int kJoinTries = 100;        // exit-code reads after `run` has returned
    static constexpr DWORD kJoinSleepMs = 10;     // between two reads
    static constexpr DWORD kTerminateExitCode = 10;
    static constexpr DWORD kNormalExitCode = 1;   // the start routine's ExitThread code

    WorkerThread() = default;
    virtual ~WorkerThread();  // closes the handles; the thread must have been joined
    WorkerThread(const WorkerThread&) = delete;
    WorkerThread& operator=(const WorkerThread&) = delete;

    // CreateThread with default security and stack size, `this` as parameter and `flags`. The finished event
    // exists before the thread can run. True when a thread handle came back.
    bool startThread(DWORD flags);
    // PostThreadMessageA to the thread id.
    bool postToThread(UINT message, WPARAM wParam, LPARAM lParam);
    // Waits for `run` to return (no time-out), then up to 100 times reads the exit code with 10 ms sleeps in
    // between; a thread still active after that is terminated with exit code 10.
    void join();

    DWORD threadId() const { return threadId_; }
    bool hasThread() const { return thread_ != nullptr; }
    JoinOutcome lastJoinOutcome() const { return joinOutcome_; }
    DWORD lastExitCode() const { return exitCode_; }

protected:
    // The thread body; its result is not used.
    virtual DWORD run() = 0;
    // Set by the start routine after `run` returns.
    HANDLE finishedEvent() const { return finishedEvent_; }

private:
    static DWORD WINAPI startRoutine(LPVOID parameter);

    HANDLE finishedEvent_ = nullptr;
    HANDLE thread_ = nullptr;
    DWORD threadId_ = 0;
    JoinOutcome joinOutcome_ = JoinOutcome::NotJoined;
    DWORD exitCode_ = STILL_ACTIVE;
};
