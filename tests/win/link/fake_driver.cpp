// Test-only driver libraries for DriverClient::bind: built as lk207_no_unload.dll (exports load and request but
// not unload) and lk207_load_fails.dll (all three exports, `load` answers false). Each call is appended to the
// process environment variable QBV_FAKE_DRIVER_CALLS, which outlives the library, so a test can see what was
// called after the file has been released ("attach;", "load;", "request;", "unload;", "detach;").
#include <windows.h>

#include <cstdint>

namespace {

constexpr const char* kVariable = "QBV_FAKE_DRIVER_CALLS";

void record(const char* what) {
    char calls[512] = {};
    const DWORD n = GetEnvironmentVariableA(kVariable, calls, sizeof calls);
    if (n >= sizeof calls) calls[0] = '\0';
    if (lstrlenA(calls) + lstrlenA(what) + 1 < static_cast<int>(sizeof calls)) lstrcatA(calls, what);
    SetEnvironmentVariableA(kVariable, calls);
}

}  // namespace

extern "C" {

bool __cdecl load() {
    record("load;");
#ifdef QBV_FAKE_LOAD_FAILS
    return false;
#else
    return true;
#endif
}

char* __cdecl request(char* text, std::uint32_t* length) {
    record("request;");
    if (text != nullptr) GlobalFree(text);
    if (length != nullptr) *length = 0;
    return static_cast<char*>(GlobalAlloc(GPTR, 1));
}

#ifndef QBV_FAKE_NO_UNLOAD
bool __cdecl unload() {
    record("unload;");
    return true;
}
#endif

}  // extern "C"

BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID) {
    if (reason == DLL_PROCESS_ATTACH) record("attach;");
    if (reason == DLL_PROCESS_DETACH) record("detach;");
    return TRUE;
}
