// Where the tool keeps its files: the executable's drive and folder, split off its module path.
#pragma once

#include <string>

namespace exepath {
constexpr const char* kDriverFileName = "lk207.dll";

// The drive (such as "C:") and folder of `modulePath` with its trailing separator; name and extension dropped.
// Backslash and slash both separate folders. The folder is never shortened, however long.
std::string folderOf(const std::string& modulePath);
}  // namespace exepath
