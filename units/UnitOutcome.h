// UnitOutcome: how a unit's run ended, named once for every shell: a key ("succeeded", "gave_up", ...) and the
// window's words, with the unit's CRC against the file's.
#pragma once

#include <cstdint>
#include <string>

#include "UnitRun.h"

// One unit as the report sees it once its run is over.
struct UnitResult {
    std::string port;
    UnitReport report;
    std::string portProblem;  // why the port could not be opened ("no such port", ...)
    std::uint16_t fileCrc = 0;
};

// True when the unit reported a CRC (its download ended with a result), and when that CRC is the file's.
bool hasUnitCrc(const UnitResult& result);
bool crcMatches(const UnitResult& result);
// "succeeded", "crc_mismatch", "flagged", "gave_up", "stalled", "timed_out", "port_gone", "port_failed" or
// "interrupted".
std::string outcomeKey(const UnitResult& result);
// The outcome in the window's words: its box's caption and lines on one line (the CRC lines left out).
std::string outcomeWords(const UnitResult& result);
