// LowLatency: a USB-serial adapter asked to pass received bytes on at once, through the driver's low-latency flag and,
// where sysfs offers it, the adapter's latency timer set to 1 ms; both are put back when the line closes.
#pragma once

#include <string>

namespace lowlatency {
constexpr int kTimerMs = 1;  // the latency timer asked for

// The latency_timer attribute as found and changed: `path` is "" when the device has none (or it cannot be written).
struct TimerChange {
    std::string path;
    int before = 0;  // ms, as read
    bool lowered = false;
};

// The low-latency flag on the open line `fd` (TIOCGSERIAL/TIOCSSERIAL). True when it is on now; `wasOn` tells
// whether it was on before. False on a line without the request (a pty, a driver without it).
bool setFlag(int fd, bool& wasOn);
// Clears the flag again (only call it when setFlag found it off).
void clearFlag(int fd);
// The tty device `devicePath` (a resolved /dev path) asked for a 1 ms latency timer through
// ROOT/sys/class/tty/NAME/device/latency_timer, when that exists, is writable and holds more than 1.
TimerChange lowerTimer(const std::string& devicePath, const std::string& root = "");
// Writes the old value back when lowerTimer lowered it.
void restoreTimer(const TimerChange& change);
// What the transcript's OPEN line says: "low latency on; latency_timer 16 -> 1 ms", "low latency not supported", ...
std::string note(bool flagOn, const TimerChange& timer);
}  // namespace lowlatency
