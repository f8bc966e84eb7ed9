// The download's waiting states; the numbers are part of the rules (status line, retry limits, give-up boxes).
#pragma once

#include <cstdint>

enum class DownloadState : std::uint32_t {
    Idle = 0,                 // no download under way
    AwaitDisable = 1,         // the Disable status, before anything is sent
    AwaitStartAck = 2,        // the ACK of DownloadStart
    AwaitErased = 3,          // download-ready after DownloadStart (busy while the unit erases)
    AwaitFirstBlockAck = 4,   // the ACK of the first DownloadData block
    AwaitReady = 5,           // download-ready before the next block (busy is waited out)
    AwaitBlockAck = 6,        // the ACK of a full block
    AwaitLastBlockAck = 7,    // the ACK of the last block
    AwaitEndReady = 8,        // download-ready before DownloadEnd
    AwaitEndAck = 9,          // the ACK of DownloadEnd
    AwaitResult = 10,         // the DownloadResult status
    AwaitFinalDisable = 11,   // the Disable status after a good result
    AwaitFlaggedDisable = 12, // the Disable status after a flagged result
    SkipBlank = 13,           // the shell's step after a blank block was passed over (onBlankPassed)
};

constexpr std::uint32_t stateNumber(DownloadState state) { return static_cast<std::uint32_t>(state); }
