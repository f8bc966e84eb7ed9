// PortList for Linux: sysfs tty devices with a driver and their USB identity, /dev/serial/by-id links, realpath, and
// the open's errno.
#include "PortList.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fstream>
#include <map>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "SerialPort.h"

namespace {
constexpr const char* kTtyClass = "/sys/class/tty";
constexpr const char* kById = "/dev/serial/by-id";
constexpr const char* kDeviceFolder = "/dev/";
constexpr int kUsbDeviceLevels = 4;  // from the tty's device up to the USB device that holds idVendor

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

std::string resolved(const std::string& path) {
    char real[PATH_MAX];
    return realpath(path.c_str(), real) != nullptr ? std::string(real) : std::string();
}

std::string baseName(const std::string& path) { return path.substr(path.find_last_of('/') + 1); }

// The first line of a sysfs attribute, "" when there is none.
std::string attribute(const std::string& path) {
    std::string line;
    std::ifstream in(path);
    std::getline(in, line);
    return line;
}

// The by-id name of each device, by the device's name ("ttyUSB0").
std::map<std::string, std::string> byIdNames(const std::string& root) {
    std::map<std::string, std::string> names;
    for (const std::string& name : entries(root + kById)) {
        const std::string target = resolved(root + kById + "/" + name);
        if (!target.empty()) names.emplace(baseName(target), std::string(kById) + "/" + name);
    }
    return names;
}

// Fills the USB identity from the first folder above the tty's device that holds idVendor.
void readUsbIdentity(const std::string& deviceFolder, ports::PortIdentity& port) {
    std::string folder = resolved(deviceFolder);
    for (int level = 0; level < kUsbDeviceLevels && !folder.empty(); ++level) {
        if (exists(folder + "/idVendor")) {
            port.vendorProduct = attribute(folder + "/idVendor") + ":" + attribute(folder + "/idProduct");
            port.serialNumber = attribute(folder + "/serial");
            port.maker = attribute(folder + "/manufacturer");
            port.product = attribute(folder + "/product");
            return;
        }
        folder = folder.substr(0, folder.find_last_of('/'));
    }
}
}  // namespace

std::vector<ports::PortIdentity> ports::listPorts(const std::string& root) {
    const std::map<std::string, std::string> byId = byIdNames(root);
    std::vector<PortIdentity> found;
    for (const std::string& name : entries(root + kTtyClass)) {
        const std::string device = root + kTtyClass + "/" + name + "/device";
        if (!exists(device + "/driver")) continue;
        PortIdentity port;
        port.device = kDeviceFolder + name;
        const auto named = byId.find(name);
        if (named != byId.end()) port.byId = named->second;
        port.driver = baseName(resolved(device + "/driver"));
        readUsbIdentity(device, port);
        found.push_back(port);
    }
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
