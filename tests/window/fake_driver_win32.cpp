// Test-only driver libraries for bind: lk207_no_unload.dll lacks `unload`, lk207_load_fails.dll's `load` answers
// false. Each call of `load` and `unload` is appended to the environment variable QBV_FAKE_DRIVER_CALLS.
#include <windows.h>

static void record(const char* what) {
    char calls[256] = {};
    GetEnvironmentVariableA("QBV_FAKE_DRIVER_CALLS", calls, 128);
    SetEnvironmentVariableA("QBV_FAKE_DRIVER_CALLS", lstrcatA(calls, what));
}

extern "C" bool __cdecl load() { return record("load;"), QBV_FAKE_LOAD_RESULT; }
extern "C" char* __cdecl request(char*, void*) { return nullptr; }  // never called by bind
#ifndef QBV_FAKE_NO_UNLOAD
extern "C" bool __cdecl unload() { return record("unload;"), true; }
#endif
