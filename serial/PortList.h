// PortList: the serial ports of this machine and who is on each, a port's one name, and why a port would not open;
// the build picks the Linux or the Windows file.
#pragma once

#include <string>
#include <vector>

namespace ports {
constexpr int kLatencyUnknown = -1;

// Who is on a port, as far as the system tells; "" (or kLatencyUnknown) where it tells nothing.
struct PortIdentity {
    std::string device;         // what opens it: "/dev/ttyUSB0", "COM5"
    std::string byId;           // Linux: its /dev/serial/by-id name, which holds the adapter's serial number
    std::string vendorProduct;  // the USB vendor and product id, four lower-case hex digits each: "0403:6001"
    std::string serialNumber;   // the USB adapter's serial number
    std::string maker;          // the USB manufacturer string (Windows: the driver's provider)
    std::string product;        // the USB product string (Windows: the device's description)
    std::string driver;         // Linux: the kernel driver ("ftdi_sio"); Windows: the device's service ("FTDIBUS")
    std::string friendlyName;   // Windows: "USB Serial Port (COM5)"
    std::string hardwareId;     // Windows: "FTDIBUS\VID_0403+PID_6001+A12345"
    int latencyTimerMs = kLatencyUnknown;  // Windows, FTDI adapters: the driver's latency timer setting

    // The name to report the port by: its by-id name where it has one, else its device.
    const std::string& name() const { return byId.empty() ? device : byId; }
};

// Linux: every /sys/class/tty device with a driver, as /dev/NAME, with its by-id name and the USB device's
// identity from sysfs; `root` prefixes /sys and /dev (tests give a made-up tree). Windows: the values of
// HKLM\HARDWARE\DEVICEMAP\SERIALCOMM, with what SetupAPI's Ports class and the FTDI driver's parameters tell of each;
// `root` is not used.
std::vector<PortIdentity> listPorts(const std::string& root = "");
// The name two spellings of one port share (Linux: the resolved device path; Windows: COMn in capitals).
std::string canonicalName(const std::string& port);
// Why the port cannot be opened now: "no such port", "held by another program", ... ("" when it opens).
std::string whyNotOpened(const std::string& port);
}  // namespace ports
