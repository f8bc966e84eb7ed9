// PortList: the serial ports of this machine, a port's one name, and why a port would not open; the build picks the
// Linux or the Windows file.
#pragma once

#include <string>
#include <vector>

namespace ports {
// Linux: every /sys/class/tty device with a driver as /dev/NAME, then /dev/serial/by-id names; `root` prefixes both
// (tests give a made-up tree). Windows: the values of HKLM\HARDWARE\DEVICEMAP\SERIALCOMM; `root` is not used.
std::vector<std::string> listPorts(const std::string& root = "");
// The name two spellings of one port share (Linux: the resolved device path; Windows: COMn in capitals).
std::string canonicalName(const std::string& port);
// Why the port cannot be opened now: "no such port", "held by another program", ... ("" when it opens).
std::string whyNotOpened(const std::string& port);
}  // namespace ports
