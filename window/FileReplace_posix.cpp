// File replacement on the host: rename(2) replaces the target in one step.
#include "FileReplace.h"

#include <cstdio>

namespace fileops {
bool replaceFile(const std::string& from, const std::string& to) {
    return std::rename(from.c_str(), to.c_str()) == 0;
}
}  // namespace fileops
