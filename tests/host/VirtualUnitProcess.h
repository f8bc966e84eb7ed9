// VirtualUnitProcess: starts the virtual unit on a pty for a test, waits until it is ready, and stops it.
#pragma once

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

class VirtualUnitProcess {
public:
    // Starts the unit with its symlink at a fresh path; `options` are extra command-line options.
    explicit VirtualUnitProcess(const std::vector<std::string>& options) {
        char dirTemplate[] = "/tmp/qbv-pty-XXXXXX";
        folder_ = mkdtemp(dirTemplate);
        linkPath_ = folder_ + "/line";
        transcriptPath_ = folder_ + "/transcript.txt";
        std::vector<std::string> args{VIRTUAL_UNIT_PATH, "--link", linkPath_, "--transcript", transcriptPath_};
        args.insert(args.end(), options.begin(), options.end());
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);

        int out[2];
        if (pipe(out) != 0) return;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
        posix_spawn_file_actions_addclose(&actions, out[0]);
        if (posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ) != 0) pid_ = -1;
        posix_spawn_file_actions_destroy(&actions);
        ::close(out[1]);
        output_ = fdopen(out[0], "r");
        char line[512];
        while (pid_ > 0 && output_ && std::fgets(line, sizeof line, output_)) {
            if (std::string(line).rfind("READY", 0) == 0) {
                ready_ = true;
                break;
            }
        }
    }

    ~VirtualUnitProcess() {
        stop();
        if (output_) std::fclose(output_);
        std::remove(transcriptPath_.c_str());
        std::remove((folder_ + "/memory.bin").c_str());
        rmdir(folder_.c_str());
    }

    // Ends the unit with SIGTERM and returns its exit status (0 for a clean exit).
    int stop() {
        if (pid_ <= 0) return exitStatus_;
        kill(pid_, SIGTERM);
        int status = 0;
        waitpid(pid_, &status, 0);
        pid_ = -1;
        exitStatus_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        return exitStatus_;
    }

    bool ready() const { return ready_; }
    const std::string& linkPath() const { return linkPath_; }
    std::string memoryPath() const { return folder_ + "/memory.bin"; }

    std::string transcript() const {
        std::ifstream in(transcriptPath_);
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }

private:
    std::string folder_;
    std::string linkPath_;
    std::string transcriptPath_;
    pid_t pid_ = -1;
    FILE* output_ = nullptr;
    bool ready_ = false;
    int exitStatus_ = -1;
};
