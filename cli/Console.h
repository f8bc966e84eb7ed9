// Console: the terminal facts qbv-flash needs and its Ctrl-C; the build picks the POSIX or the Windows file.
#pragma once

#include <atomic>
#include <cstdio>

namespace console {
// True when `stream` (stdout or stderr) is a terminal that understands cursor movement; on Windows this also
// switches the console to understand it.
bool isLiveTerminal(std::FILE* stream);
// From now on Ctrl-C (and a termination request) sets `flag` instead of ending the process.
void interruptSets(std::atomic<bool>& flag);
}  // namespace console
