// DebugMailslot for Windows: the client side of a mailslot, opened as a file by name.
#include "DebugMailslot.h"

#include <windows.h>

namespace {

constexpr const char* kMailslotPrefix = "//./mailslot/";

// Mailslots exist on the NT family only.
bool isNtPlatform() {
    OSVERSIONINFOEXA extended{};
    extended.dwOSVersionInfoSize = sizeof(OSVERSIONINFOEXA);
    if (GetVersionExA(reinterpret_cast<OSVERSIONINFOA*>(&extended))) {
        return extended.dwPlatformId == VER_PLATFORM_WIN32_NT;
    }
    OSVERSIONINFOA basic{};
    basic.dwOSVersionInfoSize = sizeof(OSVERSIONINFOA);
    return GetVersionExA(&basic) && basic.dwPlatformId == VER_PLATFORM_WIN32_NT;
}

}  // namespace

bool DebugMailslot::open(const std::string& name) {
    if (!isNtPlatform()) return false;
    close();
    const std::string path = kMailslotPrefix + name;
    HANDLE h = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                           nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) return false;
    handle_ = h;
    return true;
}

void DebugMailslot::write(const std::string& text) {
    if (handle_ == nullptr) return;
    DWORD written = 0;
    WriteFile(static_cast<HANDLE>(handle_), text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
}

void DebugMailslot::close() {
    if (handle_ != nullptr) {
        CloseHandle(static_cast<HANDLE>(handle_));
        handle_ = nullptr;
    }
}
