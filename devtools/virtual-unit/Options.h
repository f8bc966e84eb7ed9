// Options: the virtual unit's command line, parsed into the core's configuration plus the process settings.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "UnitCore.h"

namespace vunit {

constexpr std::uint64_t kMaxDelayMs = 600'000;        // longest reply delay accepted (milliseconds)
constexpr std::uint64_t kMaxBaud = 4'000'000;         // fastest pacing accepted (bits per second)
constexpr std::uint64_t kMaxNoiseBytes = 4096;        // longest noise burst accepted before a reply
constexpr std::uint64_t kMaxPolls = 1'000'000;        // longest busy phase accepted (status polls)
constexpr std::uint64_t kMaxLatencyMs = 255;          // longest latency timer accepted, an adapter's own (milliseconds)

struct Options {
    UnitConfig unit;
    std::uint64_t delayMs = 0;     // wait before each reply (milliseconds)
    std::uint64_t baud = 0;        // 0 = write at once; otherwise 11 bit times per byte
    bool paceReceived = false;     // with baud: a reply waits for its frame's own time on the line
    bool strictBaud = false;       // with baud: bytes from a client whose line is set to another rate are not understood
    std::uint64_t latencyMs = 0;   // 0 = none; otherwise reply bytes are held until the adapter's next timer tick
    std::string linkPath;          // symlink to the slave side, if any
    std::string transcriptPath;
    std::string memoryOutPath;
    bool help = false;
};

struct ParseResult {
    bool ok = false;
    Options options;
    std::string error;  // when !ok
};

ParseResult parseOptions(const std::vector<std::string>& args);  // args exclude the program name

std::string usageText(const std::string& programName);

}  // namespace vunit
