// The three request texts the tool sends to the driver library: Open, Close and Command.
#pragma once

#include <cstdint>
#include <string>

#include "ByteBuffer.h"
#include "CommMessage.h"

constexpr const char* kDataBitsText = "8";  // the tool always opens the line with 8 data bits

CommMessage openRequest(const std::string& portName, std::uint32_t baudRate);
CommMessage closeRequest();
// The frame's byte count, its base64 and its hex dump.
CommMessage commandRequest(const ByteBuffer& frame);
