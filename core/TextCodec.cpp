// Hex and decimal texts with the standard library's plain conversions. None of them touches a locale or a stream:
// in the driver library that would make the C++ runtime keep a record (a thread handle and an event) of the calling
// thread, which unloading the library cannot give back, one pair per connection of a long-running window.
#include "TextCodec.h"

#include <charconv>

namespace {
constexpr char kHexDigits[] = "0123456789ABCDEF";
constexpr unsigned kNibbleBits = 4;
constexpr unsigned kNibbleMask = 0xF;
constexpr std::size_t kWordDigits = 4;
constexpr std::size_t kDecimalDigits = 10;  // of the largest 32-bit value

char hexDigit(unsigned value) { return kHexDigits[value & kNibbleMask]; }
}  // namespace

std::string hexDump(const ByteBuffer& bytes) {
    std::string text;
    text.reserve(bytes.size() * 3);
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        text += hexDigit(bytes[i] >> kNibbleBits);
        text += hexDigit(bytes[i]);
        text += ' ';
    }
    return text;
}

std::string hexWord(std::uint16_t value) {
    std::string text(kWordDigits, '0');
    for (std::size_t i = 0; i < kWordDigits; ++i) text[i] = hexDigit(value >> (kNibbleBits * (kWordDigits - 1 - i)));
    return text;
}

std::string toDecimal(std::uint32_t value) {
    char text[kDecimalDigits];
    const std::to_chars_result end = std::to_chars(text, text + kDecimalDigits, value);
    return std::string(text, end.ptr);
}

bool fromDecimal(const std::string& text, std::uint32_t& value) {
    if (text.empty()) return false;
    for (const char c : text) {
        if (c < '0' || c > '9') return false;
    }
    std::uint32_t parsed = 0;
    const std::from_chars_result end = std::from_chars(text.data(), text.data() + text.size(), parsed);
    if (end.ec != std::errc() || end.ptr != text.data() + text.size()) return false;  // too large for 32 bits
    value = parsed;
    return true;
}

std::string trimmed(const std::string& text) {
    constexpr const char* kTrimBytes = " \t\r\n";
    const std::size_t first = text.find_first_not_of(kTrimBytes);
    if (first == std::string::npos) return std::string();
    return text.substr(first, text.find_last_not_of(kTrimBytes) - first + 1);
}
