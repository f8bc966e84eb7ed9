// The message boxes that report how a download ended, and the refusals at Start, as values the window shows.
#pragma once

#include <cstdint>
#include <string>

#include "DownloadOutcome.h"
#include "DownloadState.h"

namespace box {
constexpr std::uint32_t kTypeOk = 0x00;               // a plain box (the window's MB_OK)
constexpr std::uint32_t kTypeInformation = 0x40;      // a box with the information icon (MB_ICONINFORMATION)

// String table entries the download shows.
constexpr unsigned kProgramCaptionId = 129;
constexpr unsigned kPortInitFailedId = 133;
constexpr const char* kProgramCaption = "DOWNLOAD PROGRAM Ver.1.20";
constexpr const char* kPortInitFailed = "Failed in the initialization of the communication port.";
}  // namespace box

// One box as a person is shown it: caption, text and kind; the window hands the three to its message box as they are.
struct OutcomeBox {
    std::string caption;
    std::string text;
    std::uint32_t type = box::kTypeOk;

    bool operator==(const OutcomeBox& other) const {
        return caption == other.caption && text == other.text && type == other.type;
    }
    bool operator!=(const OutcomeBox& other) const { return !(*this == other); }
};

// Start pressed while no image is loaded.
OutcomeBox noImageBox();
// The connect routine could not open the link (string 133).
OutcomeBox portInitFailedBox();
// Disable status after a good result: both CRCs, the unit's high byte first.
OutcomeBox successBox(std::uint8_t unitCrcHigh, std::uint8_t unitCrcLow, std::uint16_t fileCrc);
// Disable status after a result with flag 0x80: still both CRCs.
OutcomeBox flaggedResultBox(std::uint8_t unitCrcHigh, std::uint8_t unitCrcLow, std::uint16_t fileCrc);
// The box of the state (1 to 9) whose retries ran out; a plain box with empty texts for any other state.
OutcomeBox giveUpBox(DownloadState state);
// The box that reports `outcome`: success, flagged result or the give-up box of its state.
OutcomeBox outcomeBox(const DownloadOutcome& outcome);
