// BytePort: the serial line as the frame logic sees it: open, read one byte with a bounded wait, write, close.
#pragma once

#include <cstdint>
#include <string>

class BytePort {
public:
    virtual ~BytePort() = default;

    // Opens the named line at the baud rate with the data bits, even parity and one stop bit.
    virtual bool open(const std::string& portName, std::uint32_t baudRate, std::uint8_t dataBits) = 0;
    // One byte, or false when none arrived within the read limit or the line reported an error.
    virtual bool readByte(std::uint8_t& byte) = 0;
    // True when the line took all the bytes.
    virtual bool writeBytes(const std::uint8_t* bytes, std::uint32_t count) = 0;
    // Drops DTR and RTS and releases the line.
    virtual void close() = 0;

    // True once the line's device is gone (unplugged, its driver gone): no read or write can succeed again. A silent
    // line is not gone.
    virtual bool gone() const { return false; }
    // What opening did to the line beyond its settings ("low latency on; latency_timer 16 -> 1 ms"), "" for nothing.
    virtual std::string openNote() const { return std::string(); }
};
