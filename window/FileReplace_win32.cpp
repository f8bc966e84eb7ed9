// File replacement on Windows: MoveFileExA, which (unlike the C runtime's rename) replaces an existing file.
#include "FileReplace.h"

#include <windows.h>

namespace fileops {
bool replaceFile(const std::string& from, const std::string& to) {
    return MoveFileExA(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
}
}  // namespace fileops
