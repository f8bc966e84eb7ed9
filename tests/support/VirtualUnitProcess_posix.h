// VirtualUnitProcess: the virtual unit (VIRTUAL_UNIT_PATH) as a process on a pty of its own, reached through `link` in
// a fresh folder that also holds its transcript and, once it ends, its memory; and the waits a child process needs.
#pragma once

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>

// `command` run by sh in a child process; the child's id.
inline pid_t spawn(const std::string& command) {
    const pid_t pid = fork();
    if (pid == 0) {
        execl("/bin/sh", "sh", "-c", ("exec " + command).c_str(), nullptr);
        _exit(127);
    }
    return pid;
}

// True once `done()` holds, false when `limitSeconds` passed first; looks every 10 ms.
inline bool waitUntil(const std::function<bool()>& done, double limitSeconds = 20) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(limitSeconds);
    while (!done()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

// The exit code (128 + the signal for a killed process), or -1 when the process had not ended within `limitSeconds`
// (it is killed then).
inline int waitFor(pid_t pid, double limitSeconds) {
    int status = 0;
    if (!waitUntil([&] { return waitpid(pid, &status, WNOHANG) != 0; }, limitSeconds)) {
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
        return -1;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

struct VirtualUnit {
    std::string folder = mkdtempOf((std::filesystem::temp_directory_path() / "qbv-unit-XXXXXX").string());
    std::string link = folder + "/line", transcript = folder + "/transcript.txt", memory = folder + "/memory.bin";
    pid_t pid = -1;

    explicit VirtualUnit(const std::string& options = "") {
        pid = spawn(VIRTUAL_UNIT_PATH " --link " + link + " --transcript " + transcript + " --memory-out " + memory +
                    " " + options + " >/dev/null");
        EXPECT_TRUE(waitUntil([&] { return std::filesystem::exists(link); })) << "no unit with " << options;
    }
    ~VirtualUnit() {
        stop();
        std::filesystem::remove_all(folder);
    }
    // Ends the unit, which then writes its memory; one that has not ended within 5 s is killed.
    void stop() {
        if (pid > 0 && kill(pid, SIGTERM) == 0) waitFor(pid, 5);
        pid = -1;
    }
    static std::string mkdtempOf(std::string pattern) { return mkdtemp(pattern.data()); }
};
