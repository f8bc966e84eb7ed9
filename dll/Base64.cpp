// Base64: three bytes to four characters of the standard alphabet, and the tolerant way back.
#include "Base64.h"

namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr char kFill = '=';
constexpr std::size_t kGroupChars = 4;   // characters per base64 group
constexpr std::size_t kGroupBytes = 3;   // bytes per base64 group

// Value of one base64 character; "=" and anything outside the alphabet count as 0.
std::uint32_t sextet(char c) {
    if (c >= 'A' && c <= 'Z') return static_cast<std::uint32_t>(c - 'A');
    if (c >= 'a' && c <= 'z') return static_cast<std::uint32_t>(c - 'a' + 26);
    if (c >= '0' && c <= '9') return static_cast<std::uint32_t>(c - '0' + 52);
    if (c == '+') return 62;
    if (c == '/') return 63;
    return 0;
}

}  // namespace

std::string encodeBase64(const std::uint8_t* bytes, std::size_t count) {
    std::string text;
    text.reserve((count + kGroupBytes - 1) / kGroupBytes * kGroupChars);
    for (std::size_t i = 0; i < count; i += kGroupBytes) {
        const std::size_t n = count - i < kGroupBytes ? count - i : kGroupBytes;
        std::uint32_t group = static_cast<std::uint32_t>(bytes[i]) << 16;
        if (n > 1) group |= static_cast<std::uint32_t>(bytes[i + 1]) << 8;
        if (n > 2) group |= bytes[i + 2];
        text += kAlphabet[(group >> 18) & 0x3F];
        text += kAlphabet[(group >> 12) & 0x3F];
        text += n > 1 ? kAlphabet[(group >> 6) & 0x3F] : kFill;
        text += n > 2 ? kAlphabet[group & 0x3F] : kFill;
    }
    return text;
}

std::string encodeBase64(const ByteBuffer& bytes) {
    return encodeBase64(bytes.data(), bytes.size());
}

void decodeBase64(const std::string& text, ByteBuffer& out) {
    const std::size_t start = out.size();
    std::size_t fills = 0;
    const std::size_t whole = text.size() / kGroupChars * kGroupChars;
    for (std::size_t i = 0; i < whole; i += kGroupChars) {
        std::uint32_t group = 0;
        for (std::size_t k = 0; k < kGroupChars; ++k) {
            const char c = text[i + k];
            if (c == kFill) ++fills;
            group = group << 6 | sextet(c);
        }
        out.append(static_cast<std::uint8_t>(group >> 16));
        out.append(static_cast<std::uint8_t>(group >> 8));
        out.append(static_cast<std::uint8_t>(group));
    }
    const std::size_t decoded = out.size() - start;
    out.truncate(start + (fills < decoded ? decoded - fills : 0));
}
