// The main window's rules that need no window.
#include "DialogRules.h"

#include "TextCodec.h"

namespace dialogrules {
namespace {
constexpr const char* kPortPrefix = "COM";
constexpr const char* kBaudRates[] = {"9600", "19200", "38400"};

// One axis: centred over [anchorLow, anchorHigh), then kept inside [areaLow, areaHigh).
long centredOnAxis(long size, long anchorLow, long anchorHigh, long areaLow, long areaHigh) {
    long low = (anchorLow + anchorHigh) / 2 - size / 2;
    if (low < areaLow) {
        low = areaLow;
    } else if (low + size > areaHigh) {
        low = areaHigh - size;
    }
    return low;
}
}  // namespace

std::vector<std::string> portEntries() {
    std::vector<std::string> entries;
    for (int n = kFirstPort; n <= kLastPort; ++n) entries.push_back(kPortPrefix + std::to_string(n));
    return entries;
}

std::vector<std::string> baudRateEntries() {
    return std::vector<std::string>(std::begin(kBaudRates), std::end(kBaudRates));
}

std::uint32_t baudRateFromText(const std::string& text) {
    std::uint32_t value = 0;
    return fromDecimal(text, value) ? value : kFallbackBaudRate;
}

std::string valueToStore(const std::optional<std::string>& selected, const std::string& stored,
                         const std::string& fallback) {
    if (selected && !selected->empty()) return *selected;
    return stored.empty() ? fallback : stored;
}

Position centredOver(const Box& window, const Box& anchor, const Box& workArea) {
    return Position{centredOnAxis(window.width(), anchor.left, anchor.right, workArea.left, workArea.right),
                    centredOnAxis(window.height(), anchor.top, anchor.bottom, workArea.top, workArea.bottom)};
}
}  // namespace dialogrules
