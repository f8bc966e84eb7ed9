// LiveView: the terminal lines (bar, rate, time left) and the plain progress lines.
#include "LiveView.h"

#include <algorithm>

#include "UnitCommands.h"

namespace {
constexpr const char* kCursorUp = "\x1b[%zuA";
constexpr const char* kClearLine = "\r\x1b[2K";
constexpr double kBytesPerKilobyte = 1000.0;
constexpr unsigned kSecondsPerMinute = 60;
constexpr unsigned kPercent = 100;
constexpr std::size_t kPhaseWidth = 11;  // "Downloading"

std::string clock(double seconds) {
    const auto s = static_cast<unsigned long>(seconds + 0.5);
    char text[32];
    std::snprintf(text, sizeof text, "%lu:%02lu", s / kSecondsPerMinute, s % kSecondsPerMinute);
    return text;
}
}  // namespace

std::string liveLine(const UnitLine& unit, std::size_t portWidth, double seconds) {
    if (!unit.finalText.empty()) return unit.finalText;
    const std::uint32_t total = std::max<std::uint32_t>(unit.blocksTotal, 1);
    const std::uint32_t done = std::min(unit.blocksDone, total);
    const std::size_t filled = liveview::kBarWidth * done / total;
    char text[256];
    int n = std::snprintf(text, sizeof text, "%-*s  %-*s  [%s%s]  %u/%u blk", static_cast<int>(portWidth),
                          unit.port.c_str(), static_cast<int>(kPhaseWidth), unit.phase.c_str(),
                          std::string(filled, '#').c_str(), std::string(liveview::kBarWidth - filled, '-').c_str(),
                          done, unit.blocksTotal);
    const double span = seconds - unit.firstBlockSeconds;
    if (unit.firstBlockSeconds >= 0 && done > unit.firstBlockCount && span > 0 && n > 0 &&
        static_cast<std::size_t>(n) < sizeof text) {
        const double bytesPerSecond = (done - unit.firstBlockCount) * double{unit::kBlockSize} / span;
        const double left = (total - done) * double{unit::kBlockSize} / bytesPerSecond;
        std::snprintf(text + n, sizeof text - static_cast<std::size_t>(n), "  %.1f kB/s  ETA %s",
                      bytesPerSecond / kBytesPerKilobyte, clock(left).c_str());
    }
    return text;
}

LiveView::LiveView(std::FILE* out, bool terminal, bool quiet, std::vector<std::string> ports,
                   std::uint32_t blocksTotal)
    : out_(out), terminal_(terminal), quiet_(quiet), plainPercent_(ports.size(), 0) {
    for (std::string& port : ports) {
        portWidth_ = std::max(portWidth_, port.size());
        UnitLine line;
        line.port = std::move(port);
        line.blocksTotal = blocksTotal;
        units_.push_back(std::move(line));
    }
}

void LiveView::phaseChanged(std::size_t unit, const std::string& phase, double) {
    units_[unit].phase = phase;
    changed_ = true;
    if (!terminal_) plain(unit, phase);
}

void LiveView::progressed(std::size_t unit, std::uint32_t blocksDone, double seconds) {
    UnitLine& line = units_[unit];
    if (line.firstBlockSeconds < 0) {
        line.firstBlockSeconds = seconds;
        line.firstBlockCount = blocksDone;
    }
    line.blocksDone = blocksDone;
    changed_ = true;
    if (terminal_ || line.blocksTotal == 0) return;
    const std::uint32_t percent = static_cast<std::uint32_t>(std::uint64_t{blocksDone} * kPercent / line.blocksTotal);
    const std::uint32_t step = percent / liveview::kPlainStepPercent * liveview::kPlainStepPercent;
    if (step > plainPercent_[unit]) {
        plainPercent_[unit] = step;
        plain(unit, std::to_string(step) + " % (" + std::to_string(blocksDone) + "/" +
                        std::to_string(line.blocksTotal) + " blocks)");
    }
}

void LiveView::finished(std::size_t unit, const std::string& finalText) {
    units_[unit].finalText = finalText;
    changed_ = true;
}

void LiveView::tick(double seconds) {
    if (!terminal_ || quiet_ || !changed_) return;
    if (lastRedraw_ >= 0 && seconds - lastRedraw_ < liveview::kRedrawPeriodSeconds) return;
    redraw(seconds);
}

void LiveView::close(double seconds) {
    if (!terminal_ || quiet_ || linesDrawn_ == 0) return;
    redraw(seconds);
}

void LiveView::redraw(double seconds) {
    if (linesDrawn_ > 0) std::fprintf(out_, kCursorUp, linesDrawn_);
    for (const UnitLine& line : units_) {
        std::fprintf(out_, "%s%s\n", kClearLine, liveLine(line, portWidth_, seconds).c_str());
    }
    std::fflush(out_);
    linesDrawn_ = units_.size();
    changed_ = false;
    lastRedraw_ = seconds;
}

void LiveView::plain(std::size_t unit, const std::string& text) {
    if (quiet_) return;
    std::fprintf(out_, "%s: %s\n", units_[unit].port.c_str(), text.c_str());
    std::fflush(out_);
}
