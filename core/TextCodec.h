// Text of bytes and numbers: the "%02X " hex dump, CRCs as four hex digits, plain decimal numbers, trimming.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "ByteBuffer.h"

// Every byte as two upper-case hex digits followed by one space.
std::string hexDump(const ByteBuffer& bytes);
// A 16-bit value as four upper-case hex digits, as CRCs are shown ("402C").
std::string hexWord(std::uint16_t value);

// Plain decimal digits, no sign, no grouping.
std::string toDecimal(std::uint32_t value);

// Accepts plain decimal digits only (no sign, no spaces, not empty) that fit 32 bits unsigned.
// Returns false and leaves `value` untouched otherwise.
bool fromDecimal(const std::string& text, std::uint32_t& value);

// `text` without the spaces, tabs, CRs and LFs at either end.
std::string trimmed(const std::string& text);
