// Value conversions used inside request and response texts: base64, the "%02X " hex dump and plain decimal numbers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "ByteBuffer.h"

// Standard base64 (RFC 4648 alphabet, "=" fill, no line breaks).
std::string encodeBase64(const std::uint8_t* bytes, std::size_t count);
std::string encodeBase64(const ByteBuffer& bytes);

// Appends the decoded bytes to `out`. Never fails: whole groups of four characters are taken,
// a leftover of one to three characters is ignored, "=" and foreign characters count as 0,
// and the output is shortened by the number of "=" met in the groups taken.
void decodeBase64(const std::string& text, ByteBuffer& out);

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
