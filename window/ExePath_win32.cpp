// Where this executable lies on Windows: its module path, read whole, split by folderOf.
#include "ExePath_win32.h"

#include <windows.h>

#include <vector>

namespace {
constexpr DWORD kModulePathBufferSize = 1024;  // bytes, for the executable's own path
}  // namespace

std::optional<std::string> exepath::exeFolder() {
    std::vector<char> path(kModulePathBufferSize, '\0');
    const DWORD length = GetModuleFileNameA(nullptr, path.data(), kModulePathBufferSize);
    if (length == 0 || length >= kModulePathBufferSize) return std::nullopt;
    return folderOf(std::string(path.data(), length));
}

bool exepath::driverLibraryPath(std::string& path) {
    const std::optional<std::string> folder = exeFolder();
    if (!folder) return false;
    path = *folder + kDriverFileName;
    return true;
}
