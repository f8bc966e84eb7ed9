// PortList for Windows: the SERIALCOMM registry key, COMn in capitals, and the open's last error.
#include "PortList.h"

#include <windows.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>

#include "SerialPort.h"

namespace {
constexpr const char* kSerialCommKey = "HARDWARE\\DEVICEMAP\\SERIALCOMM";
constexpr const char* kDevicePrefix = "\\\\.\\";
constexpr DWORD kNameSize = 256;
constexpr std::size_t kComDigitsAt = 3;  // "COM" then the number

// COM ports by number, other names after them by text.
bool portOrder(const std::string& a, const std::string& b) {
    const bool aCom = a.rfind("COM", 0) == 0, bCom = b.rfind("COM", 0) == 0;
    if (aCom && bCom) {
        return std::strtoul(a.c_str() + kComDigitsAt, nullptr, 10) < std::strtoul(b.c_str() + kComDigitsAt, nullptr, 10);
    }
    return aCom != bCom ? aCom : a < b;
}
}  // namespace

std::vector<std::string> ports::listPorts(const std::string&) {
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
