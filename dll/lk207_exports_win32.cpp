// The driver library's exports load, request and unload, with the GlobalAlloc/GlobalFree block contract.
#include <windows.h>

#include <cstdint>
#include <cstring>
#include <new>
#include <string>

#include "CommDriver.h"
#include "DebugMailslot.h"
#include "SerialPort.h"

namespace {

CommDriver* theDriver = nullptr;  // the library's one state object, between load and unload

std::unique_ptr<BytePort> makeSerialPort() {
    return std::make_unique<SerialPort>();
}

// Every request text and every answer, for an outside viewer.
void toDriverSlot(const std::string& text) { DebugMailslot::send(debugslot::kDriverSlot, text); }

// Copies at most `length` bytes, stopping at the first NUL byte.
std::string textOfBlock(const char* block, std::uint32_t length) {
    if (block == nullptr) return std::string();
    const void* nul = std::memchr(block, 0, length);
    const std::size_t n = nul ? static_cast<std::size_t>(static_cast<const char*>(nul) - block) : length;
    return std::string(block, n);
}

// The C++ runtime keeps a record (a thread handle and an event) of each thread that used its threads inside this
// library; the 32-bit build makes one for the loading thread already, when it registers its unwind tables. A thread
// that stays after the library is gone, as the window's does, would keep it for good. Running the library's
// thread-exit callbacks for the calling thread gives the record back; the runtime makes a new one if it needs it.
void releaseCallingThreadRecords() {
    HMODULE self = nullptr;
    if (!GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                            reinterpret_cast<LPCSTR>(&releaseCallingThreadRecords), &self)) {
        return;
    }
    const auto* base = reinterpret_cast<const BYTE*>(self);
    const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(
        base + reinterpret_cast<const IMAGE_DOS_HEADER*>(base)->e_lfanew);
    const IMAGE_DATA_DIRECTORY& tls = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_TLS];
    if (tls.VirtualAddress == 0) return;
    const auto* directory = reinterpret_cast<const IMAGE_TLS_DIRECTORY*>(base + tls.VirtualAddress);
    auto* callback = reinterpret_cast<PIMAGE_TLS_CALLBACK*>(directory->AddressOfCallBacks);
    for (; callback != nullptr && *callback != nullptr; ++callback) (*callback)(self, DLL_THREAD_DETACH, nullptr);
}

}  // namespace

extern "C" {

__declspec(dllexport) bool __cdecl load() {
    // A second load without unload starts afresh; the earlier state releases its port.
    delete theDriver;
    theDriver = new (std::nothrow) CommDriver(makeSerialPort, toDriverSlot);
    return theDriver != nullptr;
}

__declspec(dllexport) bool __cdecl unload() {
    delete theDriver;
    theDriver = nullptr;
    releaseCallingThreadRecords();
    return true;
}

__declspec(dllexport) char* __cdecl request(char* text, std::uint32_t* length) {
    std::string response;
    try {
        const std::string requestText = textOfBlock(text, length ? *length : 0);
        if (text != nullptr) GlobalFree(text);
        if (theDriver != nullptr) response = theDriver->dispatch(requestText);
    } catch (const std::bad_alloc&) {
        response.clear();  // out of memory: an empty answer, which the caller counts as failure
    }

    char* block = static_cast<char*>(GlobalAlloc(GPTR, response.size() + 1));
    if (block == nullptr) {
        if (length) *length = 0;
        return nullptr;
    }
    std::memcpy(block, response.data(), response.size());
    if (length) *length = static_cast<std::uint32_t>(response.size());
    return block;
}

}  // extern "C"
