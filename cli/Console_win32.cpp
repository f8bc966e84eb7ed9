// Console for Windows: a console with virtual-terminal processing, and a console control handler that sets a flag.
#include "Console.h"

#include <io.h>
#include <windows.h>

namespace {
std::atomic<bool>* interruptFlag = nullptr;
constexpr DWORD kCloseGraceMs = 5000;  // a closing console waits this long for the units to close their ports

BOOL WINAPI onControl(DWORD event) {
    if (interruptFlag == nullptr) return FALSE;
    interruptFlag->store(true);
    if (event == CTRL_CLOSE_EVENT) Sleep(kCloseGraceMs);
    return TRUE;
}
}  // namespace

bool console::isLiveTerminal(std::FILE* stream) {
    const HANDLE handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream)));
    DWORD mode = 0;
    if (handle == INVALID_HANDLE_VALUE || !GetConsoleMode(handle, &mode)) return false;
    return SetConsoleMode(handle, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0;
}

void console::interruptSets(std::atomic<bool>& flag) {
    interruptFlag = &flag;
    SetConsoleCtrlHandler(onControl, TRUE);
}
