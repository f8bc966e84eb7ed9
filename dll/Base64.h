// Base64 as the driver library's request and response texts carry frames in it.
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
