// SerialPort: the serial line to the unit, for lk207.dll and qbv-flash; the build picks the Windows or the POSIX file.
#pragma once

#include <memory>
#include <string>

#include "BytePort.h"

namespace serial {
constexpr std::uint32_t kQueueSize = 4096;                 // bytes, input and output queue
constexpr std::uint32_t kReadIntervalTimeoutMs = 20;
constexpr std::uint32_t kReadTotalTimeoutMultiplierMs = 500;  // per byte asked for
constexpr std::uint32_t kReadTotalTimeoutConstantMs = 500;
constexpr std::uint32_t kSingleByteReadLimitMs = kReadTotalTimeoutMultiplierMs * 1 + kReadTotalTimeoutConstantMs;
constexpr std::uint32_t kIncompleteGuardSeconds = 5;       // give up once more than this many whole seconds passed
constexpr std::uint32_t kIncompleteRetrySleepMs = 10;
constexpr std::uint32_t kReadAheadBytes = 256;             // bytes taken at once when they are already waiting

// The device a port name opens: on Linux a name without a leading slash lies in /dev; on Windows "\\.\" + the name.
std::string devicePathOf(const std::string& portName);
}  // namespace serial

class SerialPort : public BytePort {
public:
    // Linux: `sysfsRoot` prefixes /sys where an adapter's latency timer is found (tests give a made-up tree);
    // Windows: not used.
    explicit SerialPort(std::string sysfsRoot = std::string());
    ~SerialPort() override;  // closes what is still open, without dropping DTR and RTS
    SerialPort(const SerialPort&) = delete;
    SerialPort& operator=(const SerialPort&) = delete;

    bool open(const std::string& portName, std::uint32_t baudRate, std::uint8_t dataBits) override;
    bool readByte(std::uint8_t& byte) override;
    bool writeBytes(const std::uint8_t* bytes, std::uint32_t count) override;
    void close() override;
    bool gone() const override;
    std::string openNote() const override;

    struct Impl;

private:
    std::unique_ptr<Impl> impl_;
};
