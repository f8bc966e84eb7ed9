// Host tests against a made-up sysfs and /dev tree: who is on each port (two FTDI adapters, one CH340, a plain UART),
// the adapters' latency timer lowered and put back, choosing ports by glob; and how a port is listed.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "LowLatency_posix.h"
#include "PortListing.h"
#include "PortMatch.h"
#include "TempFolder.h"

namespace {
namespace fs = std::filesystem;

// usbPath: the USB device under sys/devices, "" for a port not on USB; then its attributes, driver and by-id name.
struct Adapter {
    const char *tty, *usbPath, *vendor, *product, *serial, *maker, *productName, *driver, *byId;
};
const Adapter kAdapters[] = {
    {"ttyUSB0", "usb1/1-1", "0403", "6001", "A1B2C3", "FTDI", "FT232R USB UART", "ftdi_sio",
     "usb-FTDI_FT232R_USB_UART_A1B2C3-if00-port0"},
    {"ttyUSB1", "usb1/1-2", "0403", "6001", "A9Z8Y7", "FTDI", "FT232R USB UART", "ftdi_sio",
     "usb-FTDI_FT232R_USB_UART_A9Z8Y7-if00-port0"},
    {"ttyUSB2", "usb1/1-3", "1a86", "7523", "", "", "USB Serial", "ch341-uart", "usb-1a86_USB_Serial-if00-port0"},
    {"ttyS0", "", "", "", "", "", "", "serial8250", ""},
};

void write(const fs::path& path, const std::string& text) {
    fs::create_directories(path.parent_path());
    std::ofstream(path) << text << '\n';
}

// A made-up tree in a fresh folder ROOT: ROOT/sys/devices/USB/1-x:1.0/TTY with driver and latency_timer,
// ROOT/sys/class/tty/TTY/device linked to it, the USB device's attributes, ROOT/dev/TTY and its by-id link.
struct PortIdentity : ::testing::Test {
    TempFolder dir;
    const fs::path root = dir.path;

    void SetUp() override {
        for (const Adapter& a : kAdapters) {
            const bool usb = *a.usbPath != '\0';
            const fs::path port =
                usb ? root / "sys/devices" / a.usbPath / "1-x:1.0" / a.tty : root / "sys/devices/platform" / a.tty;
            fs::create_directories(port);
            fs::create_directories(root / "sys/bus/drivers" / a.driver);
            fs::create_directory_symlink(root / "sys/bus/drivers" / a.driver, port / "driver");
            fs::create_directories(root / "sys/class/tty" / a.tty);
            fs::create_directory_symlink(port, root / "sys/class/tty" / a.tty / "device");
            write(root / "dev" / a.tty, "");
            if (!usb) continue;
            const fs::path device = root / "sys/devices" / a.usbPath;
            write(device / "idVendor", a.vendor), write(device / "idProduct", a.product);
            if (*a.serial) write(device / "serial", a.serial);
            if (*a.maker) write(device / "manufacturer", a.maker);
            write(device / "product", a.productName);
            if (std::string(a.driver) == "ftdi_sio") write(port / "latency_timer", "16");
            fs::create_directories(root / "dev/serial/by-id");
            fs::create_symlink(std::string("../../") + a.tty, root / "dev/serial/by-id" / a.byId);
        }
        fs::create_directories(root / "sys/class/tty/tty3");  // a console without a device: not a serial port
    }
};
}  // namespace

TEST_F(PortIdentity, EachAdapterWithItsByIdNameUsbIdentityAndDriver) {
    const std::vector<ports::PortIdentity> listed = ports::listPorts(root.string());
    ASSERT_EQ(listed.size(), 4u);
    for (const Adapter& a : kAdapters) {
        const auto port = std::find_if(listed.begin(), listed.end(),
                                       [&](const ports::PortIdentity& p) { return p.device == "/dev/" + std::string(a.tty); });
        ASSERT_NE(port, listed.end()) << a.tty;
        EXPECT_EQ(port->byId, *a.byId ? "/dev/serial/by-id/" + std::string(a.byId) : "") << a.tty;
        EXPECT_EQ(port->vendorProduct, *a.vendor ? std::string(a.vendor) + ":" + a.product : "") << a.tty;
        EXPECT_EQ(port->serialNumber + "|" + port->maker + "|" + port->product + "|" + port->driver,
                  std::string(a.serial) + "|" + a.maker + "|" + a.productName + "|" + a.driver);
    }
}

TEST_F(PortIdentity, ChosenByGlobAgainstByIdNameDeviceAndIdentity) {
    const std::vector<ports::PortIdentity> listed = ports::listPorts(root.string());
    const struct { std::vector<std::string> patterns; std::vector<std::string> devices; } rows[] = {
        {{"0403:*"}, {"/dev/ttyUSB0", "/dev/ttyUSB1"}},
        {{"a1*"}, {"/dev/ttyUSB0"}},                        // the serial number, in either case
        {{"*FTDI*A9*"}, {"/dev/ttyUSB1"}},                  // the by-id name holds maker and serial
        {{"usb serial", "/dev/ttyS?"}, {"/dev/ttyS0", "/dev/ttyUSB2"}},  // the product string; the device
        {{"1a86:75[0-3]3"}, {"/dev/ttyUSB2"}},
        {{"0403:[!6]*"}, {}},
        {{"*"}, {"/dev/ttyS0", "/dev/ttyUSB0", "/dev/ttyUSB1", "/dev/ttyUSB2"}},
        {{"FT232R"}, {}},                                   // a glob matches a whole field, not a part of it
    };
    for (const auto& row : rows) {
        std::vector<std::string> devices;
        for (const ports::PortIdentity& port : ports::matchingPorts(listed, row.patterns)) devices.push_back(port.device);
        std::sort(devices.begin(), devices.end());
        EXPECT_EQ(devices, row.devices) << row.patterns[0];
    }
}

// The timer's values written and put back are PtyLine.ClosingOrDroppingALinePutsTheAdaptersLatencyTimerBack's.
TEST_F(PortIdentity, LowLatencyNotesOfATimerLoweredAbsentOrAlreadyLow) {
    const fs::path timer = root / "sys/class/tty/ttyUSB0/device/latency_timer";
    const lowlatency::TimerChange change = lowlatency::lowerTimer("/dev/ttyUSB0", root.string());
    EXPECT_EQ(lowlatency::note(true, change), "low latency on; latency_timer 16 -> 1 ms");
    const lowlatency::TimerChange none = lowlatency::lowerTimer("/dev/ttyUSB2", root.string());  // no timer
    EXPECT_EQ(lowlatency::note(false, none), "low latency not supported");
    EXPECT_EQ(lowlatency::note(true, none), "low latency on");
    write(timer, "1");
    EXPECT_EQ(lowlatency::note(false, lowlatency::lowerTimer("/dev/ttyUSB0", root.string())), "latency_timer 1 ms");
}

TEST_F(PortIdentity, PortListingLineJsonAndTheLatencyHint) {
    const ports::PortIdentity usb = ports::listPorts(root.string()).at(1);
    EXPECT_EQ(portLine(usb), "/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A1B2C3-if00-port0  device /dev/ttyUSB0  "
                             "usb 0403:6001  serial A1B2C3  FTDI / FT232R USB UART  driver ftdi_sio");
    ports::PortIdentity com;
    com.device = "COM5", com.hardwareId = "FTDIBUS\\VID_0403+PID_6001+A1", com.latencyTimerMs = 16;
    EXPECT_EQ(latencyHint(com).rfind("COM5: its adapter holds received bytes up to 16 ms;", 0), 0u);
    com.latencyTimerMs = 2;
    EXPECT_EQ(latencyHint(com) + latencyHint(usb), "") << "2 ms and an unknown timer need no hint";
    const nlohmann::json parsed = nlohmann::json::parse(portJson(usb).dump());
    EXPECT_EQ(parsed.at("port"), usb.byId);
    EXPECT_TRUE(parsed.at("latency_timer_ms").is_null());
    EXPECT_EQ(nlohmann::json::parse(portJson(com).dump()).at("latency_timer_ms"), 2);
}
