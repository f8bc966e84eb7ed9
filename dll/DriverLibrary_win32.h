// Win32DriverLibrary: the driver library file loaded with LoadLibraryA, its exports found with GetProcAddress,
// and `request` called with the GlobalAlloc/GlobalFree block contract.
#pragma once

#include <windows.h>

#include <cstdint>
#include <memory>
#include <string>

#include "DriverLibrary.h"

class Win32DriverLibrary : public DriverLibrary {
public:
    Win32DriverLibrary() = default;
    ~Win32DriverLibrary() override;  // releases a file still loaded, without calling unload
    Win32DriverLibrary(const Win32DriverLibrary&) = delete;
    Win32DriverLibrary& operator=(const Win32DriverLibrary&) = delete;

    bool open(const std::string& path) override;
    bool load() override;
    std::string request(const std::string& text) override;
    void unload() override;
    bool release() override;

private:
    // Only the low byte of `load`'s result counts; `unload`'s result is ignored.
    using LoadFn = unsigned char(__cdecl*)();
    using RequestFn = char*(__cdecl*)(char* text, std::uint32_t* length);
    using UnloadFn = unsigned char(__cdecl*)();

    HMODULE module_ = nullptr;
    LoadFn load_ = nullptr;
    RequestFn request_ = nullptr;
    UnloadFn unload_ = nullptr;
};

std::unique_ptr<DriverLibrary> makeSystemDriverLibrary();
