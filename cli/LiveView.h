// LiveView: what a person watching qbv-flash sees on stderr: on a terminal one live line per unit, redrawn in place;
// otherwise a plain line at each phase change and every 10 %.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace liveview {
constexpr double kRedrawPeriodSeconds = 0.1;  // a terminal is redrawn at most ten times a second
constexpr std::uint32_t kPlainStepPercent = 10;
constexpr std::size_t kBarWidth = 20;         // characters between the brackets
}  // namespace liveview

// One unit's progress as the view shows it.
struct UnitLine {
    std::string port;
    std::string phase;
    std::uint32_t blocksDone = 0;
    std::uint32_t blocksTotal = 0;
    double firstBlockSeconds = -1;       // when the first block was done (the rate is measured from there)
    std::uint32_t firstBlockCount = 0;
    std::string finalText;               // set once the unit's run is over
};

// "PORT  Phase        [#####---------------]  12/245 blk  2.9 kB/s  ETA 0:42" at `seconds` since the start.
std::string liveLine(const UnitLine& unit, std::size_t portWidth, double seconds);

class LiveView {
public:
    // `terminal`: redraw in place; `quiet`: show nothing while the units run.
    LiveView(std::FILE* out, bool terminal, bool quiet, std::vector<std::string> ports, std::uint32_t blocksTotal);

    void phaseChanged(std::size_t unit, const std::string& phase, double seconds);
    void progressed(std::size_t unit, std::uint32_t blocksDone, double seconds);
    void finished(std::size_t unit, const std::string& finalText);
    // Called often; redraws the terminal lines when something changed and the period has passed.
    void tick(double seconds);
    // The last redraw before the final lines.
    void close(double seconds);

private:
    void redraw(double seconds);
    void plain(std::size_t unit, const std::string& text);

    std::FILE* out_;
    bool terminal_;
    bool quiet_;
    std::vector<UnitLine> units_;
    std::vector<std::uint32_t> plainPercent_;
    std::size_t portWidth_ = 0;
    std::size_t linesDrawn_ = 0;
    bool changed_ = true;
    double lastRedraw_ = -1;
};
