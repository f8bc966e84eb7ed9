// PortList for Windows: SERIALCOMM's ports and what SetupAPI tells of each, COMn in capitals, the open's last error.
#include "PortList.h"

#include <windows.h>
// initguid.h first: devguid.h then defines GUID_DEVCLASS_PORTS here instead of only declaring it.
#include <initguid.h>
#include <devguid.h>
#include <setupapi.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <map>

#include "SerialPort.h"

namespace {
constexpr const char* kSerialCommKey = "HARDWARE\\DEVICEMAP\\SERIALCOMM";
constexpr const char* kDevicePrefix = "\\\\.\\";
constexpr DWORD kNameSize = 256;
constexpr std::size_t kComDigitsAt = 3;  // "COM" then the number

// In a Ports device's registry key (DIREG_DEV): its COM name, and the FTDI driver's latency timer in milliseconds.
constexpr const char* kPortNameValue = "PortName";
constexpr const char* kLatencyTimerValue = "LatencyTimer";
// Hardware and instance ids: "FTDIBUS\VID_0403+PID_6001+A12345\0000", "USB\VID_1A86&PID_7523\5&2C2B3F3&0&2".
constexpr const char* kFtdiBus = "FTDIBUS\\";
constexpr const char* kUsbBus = "USB\\";
constexpr const char* kVendorTag = "VID_";
constexpr const char* kProductTag = "PID_";
constexpr std::size_t kUsbIdDigits = 4;
constexpr char kFtdiPartSeparator = '+';
constexpr char kIdPathSeparator = '\\';
constexpr char kMadeUpSerialMark = '&';  // Windows' own instance part for a device without a serial number
const HKEY kNoKey = reinterpret_cast<HKEY>(INVALID_HANDLE_VALUE);  // what SetupDiOpenDevRegKey returns on failure

using ports::PortIdentity;

std::string upperCase(std::string text) {
    for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return text;
}

std::string lowerCase(std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

bool startsWith(const std::string& text, const char* prefix) { return upperCase(text).rfind(prefix, 0) == 0; }

// COM ports by number, other names after them by text.
bool portOrder(const std::string& a, const std::string& b) {
    const bool aCom = a.rfind("COM", 0) == 0, bCom = b.rfind("COM", 0) == 0;
    if (aCom && bCom) {
        return std::strtoul(a.c_str() + kComDigitsAt, nullptr, 10) < std::strtoul(b.c_str() + kComDigitsAt, nullptr, 10);
    }
    return aCom != bCom ? aCom : a < b;
}

// The port names SERIALCOMM holds (its values' data), in port order.
std::vector<std::string> serialCommPorts() {
    std::vector<std::string> found;
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kSerialCommKey, 0, KEY_READ, &key) != ERROR_SUCCESS) return found;
    for (DWORD index = 0;; ++index) {
        char name[kNameSize];
        char data[kNameSize];
        DWORD nameSize = sizeof name, dataSize = sizeof data - 1, type = 0;
        const LONG rc = RegEnumValueA(key, index, name, &nameSize, nullptr, &type, reinterpret_cast<BYTE*>(data),
                                      &dataSize);
        if (rc == ERROR_NO_MORE_ITEMS) break;
        if (rc != ERROR_SUCCESS || type != REG_SZ) continue;
        data[dataSize] = '\0';
        found.emplace_back(data);
    }
    RegCloseKey(key);
    std::sort(found.begin(), found.end(), portOrder);
    return found;
}

// A text value of a registry key; "" where it has none.
std::string stringValue(HKEY key, const char* name) {
    char data[kNameSize];
    DWORD size = sizeof data - 1, type = 0;
    if (RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(data), &size) != ERROR_SUCCESS ||
        type != REG_SZ) {
        return "";
    }
    data[size] = '\0';
    return data;
}

// A DWORD value of a registry key; kLatencyUnknown where it has none.
int dwordValue(HKEY key, const char* name) {
    DWORD value = 0, size = sizeof value, type = 0;
    if (RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(&value), &size) != ERROR_SUCCESS ||
        type != REG_DWORD) {
        return ports::kLatencyUnknown;
    }
    return static_cast<int>(value);
}

// A text property of a device (SPDRP_...); of a list (the hardware ids) its first string; "" where it has none.
std::string deviceProperty(HDEVINFO devices, SP_DEVINFO_DATA& device, DWORD property) {
    DWORD size = 0;
    SetupDiGetDeviceRegistryPropertyA(devices, &device, property, nullptr, nullptr, 0, &size);
    if (size == 0) return "";
    std::vector<char> buffer(size + 2, '\0');  // room for the two NULs a list ends with, should the data lack them
    if (!SetupDiGetDeviceRegistryPropertyA(devices, &device, property, nullptr, reinterpret_cast<BYTE*>(buffer.data()),
                                           size, nullptr)) {
        return "";
    }
    return buffer.data();
}

// The device's instance id: "USB\VID_0403&PID_6015\DN01ABCD"; "" where SetupAPI gives none.
std::string instanceIdOf(HDEVINFO devices, SP_DEVINFO_DATA& device) {
    DWORD size = 0;
    SetupDiGetDeviceInstanceIdA(devices, &device, nullptr, 0, &size);
    if (size == 0) return "";
    std::vector<char> buffer(size + 1, '\0');
    if (!SetupDiGetDeviceInstanceIdA(devices, &device, buffer.data(), size, nullptr)) return "";
    return buffer.data();
}

// The four hex digits after TAG in an id ("VID_0403" -> "0403"); "" where they are missing.
std::string usbIdAfter(const std::string& id, const char* tag) {
    const std::size_t at = upperCase(id).find(tag);
    if (at == std::string::npos) return "";
    const std::string digits = id.substr(at + std::strlen(tag), kUsbIdDigits);
    const bool hex =
        std::all_of(digits.begin(), digits.end(), [](char c) { return std::isxdigit(static_cast<unsigned char>(c)); });
    return digits.size() == kUsbIdDigits && hex ? lowerCase(digits) : "";
}

// "FTDIBUS\VID_0403+PID_6001+A12345\0000" -> "A12345": the part after the second '+'; "" where there is none.
std::string ftdiSerialOf(const std::string& id) {
    const std::size_t first = id.find(kFtdiPartSeparator);
    if (first == std::string::npos) return "";
    const std::size_t second = id.find(kFtdiPartSeparator, first + 1);
    if (second == std::string::npos) return "";
    const std::size_t end = id.find(kIdPathSeparator, second);
    return id.substr(second + 1, end == std::string::npos ? std::string::npos : end - second - 1);
}

// "USB\VID_0403&PID_6015\DN01ABCD" -> "DN01ABCD": the instance id's last part, unless Windows made it up.
std::string usbSerialOf(const std::string& instanceId) {
    const std::size_t slash = instanceId.rfind(kIdPathSeparator);
    if (slash == std::string::npos) return "";
    const std::string last = instanceId.substr(slash + 1);
    return last.find(kMadeUpSerialMark) == std::string::npos ? last : "";
}

// What a Ports device tells of itself; its key is its open DIREG_DEV registry key.
PortIdentity describe(HDEVINFO devices, SP_DEVINFO_DATA& device, HKEY key) {
    PortIdentity port;
    port.friendlyName = deviceProperty(devices, device, SPDRP_FRIENDLYNAME);
    port.hardwareId = deviceProperty(devices, device, SPDRP_HARDWAREID);
    port.maker = deviceProperty(devices, device, SPDRP_MFG);
    port.product = deviceProperty(devices, device, SPDRP_DEVICEDESC);
    port.driver = deviceProperty(devices, device, SPDRP_SERVICE);
    const std::string vendor = usbIdAfter(port.hardwareId, kVendorTag);
    const std::string product = usbIdAfter(port.hardwareId, kProductTag);
    if (vendor.empty() || product.empty()) return port;
    port.vendorProduct = vendor + ":" + product;
    if (startsWith(port.hardwareId, kFtdiBus)) {
        // The driver's own hardware id may leave the serial number out; its instance id holds it the same way.
        port.serialNumber = ftdiSerialOf(port.hardwareId);
        if (port.serialNumber.empty()) port.serialNumber = ftdiSerialOf(instanceIdOf(devices, device));
        port.latencyTimerMs = dwordValue(key, kLatencyTimerValue);
    } else if (startsWith(port.hardwareId, kUsbBus)) {
        port.serialNumber = usbSerialOf(instanceIdOf(devices, device));
    }
    return port;
}

// Every present device of the Ports class that names its COM port, by that name in capitals.
std::map<std::string, PortIdentity> portsClassDevices() {
    std::map<std::string, PortIdentity> found;
    const HDEVINFO devices = SetupDiGetClassDevsA(&GUID_DEVCLASS_PORTS, nullptr, nullptr, DIGCF_PRESENT);
    if (devices == INVALID_HANDLE_VALUE) return found;
    SP_DEVINFO_DATA device{};
    device.cbSize = sizeof device;
    for (DWORD index = 0; SetupDiEnumDeviceInfo(devices, index, &device); ++index) {
        const HKEY key = SetupDiOpenDevRegKey(devices, &device, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_READ);
        if (key == kNoKey) continue;
        const std::string name = stringValue(key, kPortNameValue);
        if (!name.empty()) found.emplace(ports::canonicalName(name), describe(devices, device, key));
        RegCloseKey(key);
    }
    SetupDiDestroyDeviceInfoList(devices);
    return found;
}
}  // namespace

std::vector<PortIdentity> ports::listPorts(const std::string&) {
    const std::map<std::string, PortIdentity> known = portsClassDevices();
    std::vector<PortIdentity> found;
    for (const std::string& name : serialCommPorts()) {
        const auto identity = known.find(canonicalName(name));
        found.push_back(identity == known.end() ? PortIdentity{} : identity->second);
        found.back().device = name;
    }
    return found;
}

std::string ports::canonicalName(const std::string& port) {
    const std::string prefix = kDevicePrefix;
    std::string name = port.rfind(prefix, 0) == 0 ? port.substr(prefix.size()) : port;
    for (char& c : name) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return name;
}

std::string ports::whyNotOpened(const std::string& port) {
    const std::string path = serial::devicePathOf(canonicalName(port));
    const HANDLE device = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (device != INVALID_HANDLE_VALUE) {
        CloseHandle(device);
        return "";
    }
    const DWORD error = GetLastError();
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) return "no such port";
    if (error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION) return "held by another program";
    return "Windows error " + std::to_string(error);
}
