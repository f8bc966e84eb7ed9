// DataFolder on Linux: the XDG state folder, and an flock on DATA/station.lock held until the process ends.
#include "DataFolder_posix.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>

namespace {
constexpr const char* kStationFolder = "qbv-station";
constexpr const char* kLockName = "station.lock";
}  // namespace

std::string station::defaultDataFolder() {
    const char* state = std::getenv("XDG_STATE_HOME");
    if (state != nullptr && *state == '/') return std::string(state) + "/" + kStationFolder;
    const char* home = std::getenv("HOME");
    return std::string(home != nullptr ? home : ".") + "/.local/state/" + kStationFolder;
}

std::string station::lockDataFolder(const std::string& folder) {
    std::error_code error;
    std::filesystem::create_directories(folder, error);
    if (error) return "cannot make the data folder " + folder + ": " + error.message();
    const std::string path = folder + "/" + kLockName;
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) return "cannot open " + path + ": " + std::strerror(errno);
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        ::close(fd);
        return "another station uses the data folder " + folder;
    }
    return "";  // the descriptor stays open, and the lock held, until the process ends
}
