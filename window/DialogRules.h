// The main window's rules that need no window: list contents, the baud rate of a list text, the value stored
// at shutdown, and where a window is centred.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace dialogrules {
constexpr int kFirstPort = 1;
constexpr int kLastPort = 20;
constexpr std::uint32_t kFallbackBaudRate = 9600;  // bits per second, when the list text is not a number

// "COM1" .. "COM20", in that order.
std::vector<std::string> portEntries();
// "9600", "19200", "38400", in that order.
std::vector<std::string> baudRateEntries();
// The list's text as a plain decimal number, or 9600 when it is not one.
std::uint32_t baudRateFromText(const std::string& text);
// The value written at shutdown: the list's selected text, or, with no selection, the value stored before,
// or the default when nothing was stored. Never empty.
std::string valueToStore(const std::optional<std::string>& selected, const std::string& stored,
                         const std::string& fallback);

struct Box {
    long left = 0;
    long top = 0;
    long right = 0;
    long bottom = 0;
    long width() const { return right - left; }
    long height() const { return bottom - top; }
};
struct Position {
    long x = 0;
    long y = 0;
};
// The top-left corner that centres `window` over `anchor`, kept inside `workArea`.
Position centredOver(const Box& window, const Box& anchor, const Box& workArea);
}  // namespace dialogrules
