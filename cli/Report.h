// Report: how the command line reports each unit: exit codes, the final line and the JSON Lines events.
#pragma once

#include <cstdint>
#include <string>

#include <nlohmann/json.hpp>

#include "ReleaseCheck.h"

#include "ImageFile.h"
#include "UnitOutcome.h"
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

// "1.0.0": this program's version.
const char* flashVersion();

int exitCodeOf(const UnitResult& result);
// "PORT: WORDS  CRC:xxxx FILE-CRC:xxxx  match  12.3 s".
std::string finalLine(const UnitResult& result);

// JSON Lines events, one object per line on stdout.
// start and check carry the image's SHA-256 and, when its signature was checked, its key id and trusted comment.
nlohmann::json startEvent(const std::string& port, std::uint32_t baudRate, const std::string& imagePath,
                          const ImageLoad& image, const trust::ReleaseFacts& release);
nlohmann::json phaseEvent(const std::string& port, const std::string& phase, double seconds);
nlohmann::json progressEvent(const std::string& port, std::uint32_t blocksDone, std::uint32_t blocksTotal,
                             double seconds);
nlohmann::json doneEvent(const UnitResult& result);
nlohmann::json checkEvent(const std::string& imagePath, const ImageLoad& image, const trust::ReleaseFacts& release);
// --check's lines: "FILE-CRC:XXXX", "SHA-256:...", and with a checked signature "KEY-ID:..." and "TRUSTED-COMMENT:...".
std::string checkLines(const ImageLoad& image, const trust::ReleaseFacts& release);
