// Where this executable lies on Windows, and the driver library's file beside it.
#pragma once

#include <optional>
#include <string>

#include "ExePath.h"

namespace exepath {
// This executable's drive and folder, or nothing when its module path cannot be had whole.
std::optional<std::string> exeFolder();
// The driver library's path: that folder followed by "lk207.dll"; false when there is no folder.
bool driverLibraryPath(std::string& path);
}  // namespace exepath
