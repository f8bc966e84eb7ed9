// Console for Linux: isatty and SIGINT/SIGTERM handlers that only set a flag.
#include "Console.h"

#include <csignal>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

namespace {
std::atomic<bool>* interruptFlag = nullptr;

extern "C" void onSignal(int) {
    if (interruptFlag != nullptr) interruptFlag->store(true);
}
}  // namespace

bool console::isLiveTerminal(std::FILE* stream) {
    const char* term = std::getenv("TERM");
    return isatty(fileno(stream)) == 1 && term != nullptr && std::strcmp(term, "dumb") != 0;
}

void console::interruptSets(std::atomic<bool>& flag) {
    static_assert(std::atomic<bool>::is_always_lock_free, "set from a signal handler");
    interruptFlag = &flag;
    struct sigaction action {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}
