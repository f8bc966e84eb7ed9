// PortList for Linux: sysfs tty devices with a driver, /dev/serial/by-id links, realpath, and the open's errno.
#include "PortList.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "SerialPort.h"

namespace {
constexpr const char* kTtyClass = "/sys/class/tty";
constexpr const char* kById = "/dev/serial/by-id";
constexpr const char* kDeviceFolder = "/dev/";

std::vector<std::string> entries(const std::string& folder) {
    std::vector<std::string> names;
    if (DIR* dir = opendir(folder.c_str())) {
        while (const dirent* entry = readdir(dir)) {
            if (entry->d_name[0] != '.') names.emplace_back(entry->d_name);
        }
        closedir(dir);
    }
    std::sort(names.begin(), names.end());
    return names;
}

bool exists(const std::string& path) {
    struct stat info {};
    return stat(path.c_str(), &info) == 0;
}
}  // namespace

std::vector<std::string> ports::listPorts(const std::string& root) {
    std::vector<std::string> found;
    for (const std::string& name : entries(root + kTtyClass)) {
        if (exists(root + kTtyClass + "/" + name + "/device/driver")) found.push_back(kDeviceFolder + name);
    }
    for (const std::string& name : entries(root + kById)) found.push_back(std::string(kById) + "/" + name);
    return found;
}

std::string ports::canonicalName(const std::string& port) {
    char resolved[PATH_MAX];
    const std::string path = serial::devicePathOf(port);
    return realpath(path.c_str(), resolved) != nullptr ? std::string(resolved) : path;
}

std::string ports::whyNotOpened(const std::string& port) {
    const int fd = ::open(serial::devicePathOf(port).c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ENOENT) return "no such port";
        if (errno == EBUSY) return "held by another program";
        return std::strerror(errno);
    }
    const bool held = flock(fd, LOCK_EX | LOCK_NB) != 0;
    ::close(fd);
    return held ? "held by another program" : "";
}
