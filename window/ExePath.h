// Where the tool keeps its files: the executable's drive and folder, split off its module path.
#pragma once

#include <optional>
#include <string>

namespace exepath {
constexpr const char* kDriverFileName = "lk207.dll";

// The drive (such as "C:") and folder of `modulePath` with its trailing separator; name and extension dropped.
// Backslash and slash both separate folders. The folder is never shortened, however long.
std::string folderOf(const std::string& modulePath);

// Windows builds only (ExePath_win32.cpp): this executable's drive and folder, or nothing when its module path cannot
// be had whole; and the driver library's path, that folder followed by "lk207.dll" (false when there is no folder).
std::optional<std::string> exeFolder();
bool driverLibraryPath(std::string& path);
}  // namespace exepath
