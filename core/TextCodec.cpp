// Hex and decimal texts; Boost does the formatting and the conversions.
#include "TextCodec.h"

#include <boost/format.hpp>
#include <boost/lexical_cast.hpp>

std::string hexDump(const ByteBuffer& bytes) {
    std::string text;
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        text += (boost::format("%02X ") % static_cast<unsigned>(bytes[i])).str();
    }
    return text;
}

std::string hexWord(std::uint16_t value) { return (boost::format("%04X") % static_cast<unsigned>(value)).str(); }

std::string toDecimal(std::uint32_t value) {
    return boost::lexical_cast<std::string>(value);
}

bool fromDecimal(const std::string& text, std::uint32_t& value) {
    if (text.empty()) return false;
    for (const char c : text) {
        if (c < '0' || c > '9') return false;
    }
    try {
        value = boost::lexical_cast<std::uint32_t>(text);
        return true;
    } catch (const boost::bad_lexical_cast&) {
        return false;  // too large for 32 bits
    }
}

std::string trimmed(const std::string& text) {
    constexpr const char* kTrimBytes = " \t\r\n";
    const std::size_t first = text.find_first_not_of(kTrimBytes);
    if (first == std::string::npos) return std::string();
    return text.substr(first, text.find_last_not_of(kTrimBytes) - first + 1);
}
