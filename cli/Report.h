// Report: how the command line reports each unit: exit codes, the outcome in the window's words, the final line and
// the JSON Lines events.
#pragma once

#include <cstdint>
#include <string>

#include <nlohmann/json.hpp>

#include "ImageFile.h"
#include "UnitRun.h"

namespace exitcode {
constexpr int kSuccess = 0;      // every unit succeeded
constexpr int kUsage = 1;        // the command line is wrong
constexpr int kBadImage = 2;     // the image is unreadable or invalid; nothing was sent
constexpr int kPortFailed = 3;   // a port could not be opened
constexpr int kGaveUp = 4;       // a unit gave up (or its CRC differs from the file's)
constexpr int kFlagged = 5;      // a unit ended with a flagged result
constexpr int kTimedOut = 6;     // a unit did not finish within the time-out
constexpr int kInterrupted = 130;
}  // namespace exitcode

// One unit as the report sees it once its run is over.
struct UnitResult {
    std::string port;
    UnitReport report;
    std::string portProblem;  // why the port could not be opened ("no such port", ...)
    std::uint16_t fileCrc = 0;
};

int exitCodeOf(const UnitResult& result);
// "succeeded", "crc_mismatch", "flagged", "gave_up", "stalled", "timed_out", "port_gone", "port_failed" or
// "interrupted".
std::string outcomeKey(const UnitResult& result);
// The outcome in the window's words: its box's caption and lines on one line (the CRC lines left out).
std::string outcomeWords(const UnitResult& result);
// "PORT: WORDS  CRC:xxxx FILE-CRC:xxxx  match  12.3 s".
std::string finalLine(const UnitResult& result);

// JSON Lines events, one object per line on stdout.
nlohmann::json startEvent(const std::string& port, std::uint32_t baudRate, const std::string& imagePath,
                          const ImageLoad& image);
nlohmann::json phaseEvent(const std::string& port, const std::string& phase, double seconds);
nlohmann::json progressEvent(const std::string& port, std::uint32_t blocksDone, std::uint32_t blocksTotal,
                             double seconds);
nlohmann::json doneEvent(const UnitResult& result);
nlohmann::json checkEvent(const std::string& imagePath, const ImageLoad& image);
