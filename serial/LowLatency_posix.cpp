// LowLatency on Linux: the serial driver's ASYNC_LOW_LATENCY flag and the USB adapter's sysfs latency_timer.
#include "LowLatency_posix.h"

#include <linux/serial.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <fstream>

namespace {
constexpr const char* kTtyClass = "/sys/class/tty/";
constexpr const char* kTimerAttribute = "/device/latency_timer";

std::string baseName(const std::string& path) { return path.substr(path.find_last_of('/') + 1); }
}  // namespace

bool lowlatency::setFlag(int fd, bool& wasOn) {
    serial_struct info{};
    if (ioctl(fd, TIOCGSERIAL, &info) != 0) return false;
    wasOn = (info.flags & ASYNC_LOW_LATENCY) != 0;
    if (wasOn) return true;
    info.flags |= ASYNC_LOW_LATENCY;
    return ioctl(fd, TIOCSSERIAL, &info) == 0;
}

void lowlatency::clearFlag(int fd) {
    serial_struct info{};
    if (ioctl(fd, TIOCGSERIAL, &info) != 0) return;
    info.flags &= ~ASYNC_LOW_LATENCY;
    ioctl(fd, TIOCSSERIAL, &info);
}

lowlatency::TimerChange lowlatency::lowerTimer(const std::string& devicePath, const std::string& root) {
    TimerChange change;
    const std::string path = root + kTtyClass + baseName(devicePath) + kTimerAttribute;
    int before = 0;
    if (!(std::ifstream(path) >> before) || access(path.c_str(), W_OK) != 0) return change;
    change.path = path;
    change.before = before;
    if (before <= kTimerMs) return change;
    std::ofstream(path) << kTimerMs << '\n';
    int now = 0;
    change.lowered = (std::ifstream(path) >> now) && now == kTimerMs;
    return change;
}

void lowlatency::restoreTimer(const TimerChange& change) {
    if (change.lowered) std::ofstream(change.path) << change.before << '\n';
}

std::string lowlatency::note(bool flagOn, const TimerChange& timer) {
    std::string text = flagOn ? "low latency on" : "";
    if (!timer.path.empty()) {
        const std::string timerText = timer.lowered ? "latency_timer " + std::to_string(timer.before) + " -> " +
                                                          std::to_string(kTimerMs) + " ms"
                                                    : "latency_timer " + std::to_string(timer.before) + " ms";
        text += (text.empty() ? "" : "; ") + timerText;
    }
    return text.empty() ? "low latency not supported" : text;
}
