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
