// How a download ended, as a value: the window shows it as a box, the command line as a line.
#pragma once

#include <cstdint>

#include "DownloadState.h"

enum class OutcomeKind {
    Succeeded,  // the unit returned to Disable after a good result
    Flagged,    // the unit returned to Disable after a result with the flag set
    GaveUp,     // a waiting state ran out of repetitions (`state` names it)
};

struct DownloadOutcome {
    OutcomeKind kind = OutcomeKind::GaveUp;
    DownloadState state = DownloadState::Idle;  // the state that gave up; Idle for the other kinds
    std::uint8_t unitCrcHigh = 0;               // the unit's CRC from its result (0 when it gave none)
    std::uint8_t unitCrcLow = 0;
    std::uint16_t fileCrc = 0;

    std::uint16_t unitCrc() const { return static_cast<std::uint16_t>((unitCrcHigh << 8) | unitCrcLow); }
};
