// The executable's folder, split off its module path the way the runtime's path splitter splits drive and folder.
#include "ExePath.h"

namespace exepath {
namespace {
constexpr std::size_t kDriveLength = 2;  // a letter and ':'
constexpr char kDriveMark = ':';
constexpr const char* kSeparators = "\\/";
}  // namespace

std::string folderOf(const std::string& modulePath) {
    std::size_t rest = 0;
    if (modulePath.size() >= kDriveLength && modulePath[kDriveLength - 1] == kDriveMark) rest = kDriveLength;
    const std::size_t lastSeparator = modulePath.find_last_of(kSeparators);
    if (lastSeparator == std::string::npos || lastSeparator < rest) return modulePath.substr(0, rest);
    return modulePath.substr(0, lastSeparator + 1);
}
}  // namespace exepath
