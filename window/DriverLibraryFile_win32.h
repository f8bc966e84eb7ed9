// The driver library the executable carries as resource "IDR_LK207_DLL" of type "DLLFILE", written out beside it.
#pragma once

#include <windows.h>

#include <string>

namespace driverfile {
constexpr const char* kResourceName = "IDR_LK207_DLL";
constexpr const char* kResourceType = "DLLFILE";
}  // namespace driverfile

// Writes the resource's bytes to `path`, replacing any file there. False when the resource is missing or
// the file cannot be created.
bool extractDriverLibrary(HMODULE module, const std::string& path);
