// Captions, texts and types of the outcome boxes, the multi-line texts built printf-style from their formats.
#include "OutcomeBoxes.h"

#include <cstdarg>
#include <cstdio>
#include <utility>
#include <vector>

namespace {

// Fixed lines of the texts.
constexpr const char* kSelectValidSoftware = "Select a valid software.";
constexpr const char* kDownloadedSuccessfully = "The target file was downloaded successfully";
constexpr const char* kNotReturnedToDisable = "Following download status did not returned to disable";
constexpr const char* kMayBeCompletelyLoaded = "File may have been completely loaded, check the unit.";
constexpr const char* kIfUnitDoesNotFunction = "If unit does not function, download again.";
constexpr const char* kMakeSureConnected = "Make sure unit is connected and turned on.";
constexpr const char* kMakeSureNotEnabled = "Make sure unit is not enabled.";
constexpr const char* kNoAckFromAcceptor = "No Ack message from Acceptor";
constexpr const char* kVerifyConnection = "Verify unit connection to PC";
constexpr const char* kMayNeedRestart = "Download process may need to be restarted";
constexpr const char* kForcedMethod = "(Forced download method)";
constexpr const char* kNoReadyBusy = "No Ready/Busy message from Acceptor";
constexpr const char* kVerifyValidSoftware = "Verify a valid software is selected";
constexpr const char* kVerifyFlashRom = "Verify the unit has Flash ROM";
constexpr const char* kNeedRestart = "Download process need to be restarted";

// Captions of the plain boxes.
constexpr const char* kNoImageCaption = "ERROR: Download file is not selected";
constexpr const char* kFlaggedCaption = "Premature Termination";
constexpr const char* kNotDisabledCaption = "ERROR:Unit is not disabled/connected";
constexpr const char* kPrematureCaption = "ERROR:Premature Termination";
constexpr const char* kCommErrorFirstBlockCaption = "ERROR:Communication Error.";
constexpr const char* kCommErrorEndCaption = "ERROR:Communication Error";
constexpr const char* kNoAckCaption = "ERROR:No Ack from Acceptor";

// Formats of the texts.
constexpr const char* kOneLineFormat = "%s";
constexpr const char* kSuccessFormat = "%s\nCRC:%02X%02X\nFILE-CRC:%04X";
constexpr const char* kFlaggedFormat = "%s\n\n%s\n%s\n\nCRC:%02X%02X\nFILE-CRC:%04X";
constexpr const char* kTwoLineFormat = "%s\n%s";
constexpr const char* kThreeLineFormat = "%s\n%s\n%s";
constexpr const char* kNoAckFormat = "%s\n\n%s\n%s\n%s";
constexpr const char* kNoReadyFormat = "%s\n\n%s\n%s\n%s\n%s\n%s";

#if defined(__GNUC__)
__attribute__((format(printf, 1, 2)))
#endif
std::string formatText(const char* format, ...) {
    va_list args;
    va_start(args, format);
    va_list again;
    va_copy(again, args);
    const int length = std::vsnprintf(nullptr, 0, format, args);
    va_end(args);
    std::string text;
    if (length > 0) {
        std::vector<char> out(static_cast<std::size_t>(length) + 1);
        std::vsnprintf(out.data(), out.size(), format, again);
        text.assign(out.data(), static_cast<std::size_t>(length));
    }
    va_end(again);
    return text;
}

OutcomeBox plainBox(const char* caption, std::string text) {
    return OutcomeBox{caption, std::move(text), box::kTypeInformation};
}

std::string noAckText() {
    return formatText(kNoAckFormat, kNoAckFromAcceptor, kVerifyConnection, kMayNeedRestart, kForcedMethod);
}

}  // namespace

OutcomeBox noImageBox() {
    return plainBox(kNoImageCaption, formatText(kOneLineFormat, kSelectValidSoftware));
}

OutcomeBox portInitFailedBox() {
    return OutcomeBox{box::kProgramCaption, box::kPortInitFailed, box::kTypeOk};
}

OutcomeBox successBox(std::uint8_t unitCrcHigh, std::uint8_t unitCrcLow, std::uint16_t fileCrc) {
    return OutcomeBox{box::kProgramCaption,
                      formatText(kSuccessFormat, kDownloadedSuccessfully, unsigned{unitCrcHigh}, unsigned{unitCrcLow},
                                 unsigned{fileCrc}),
                      box::kTypeInformation};
}

OutcomeBox flaggedResultBox(std::uint8_t unitCrcHigh, std::uint8_t unitCrcLow, std::uint16_t fileCrc) {
    return plainBox(kFlaggedCaption, formatText(kFlaggedFormat, kNotReturnedToDisable, kMayBeCompletelyLoaded,
                                                kIfUnitDoesNotFunction, unsigned{unitCrcHigh}, unsigned{unitCrcLow},
                                                unsigned{fileCrc}));
}

OutcomeBox giveUpBox(DownloadState state) {
    switch (state) {
        case DownloadState::AwaitDisable:
            return plainBox(kNotDisabledCaption, formatText(kTwoLineFormat, kMakeSureConnected, kMakeSureNotEnabled));
        case DownloadState::AwaitStartAck:
            return plainBox(kPrematureCaption, noAckText());
        case DownloadState::AwaitErased:
            return plainBox(kNotDisabledCaption, formatText(kTwoLineFormat, kMakeSureNotEnabled, kMakeSureConnected));
        case DownloadState::AwaitFirstBlockAck:
            return plainBox(kCommErrorFirstBlockCaption, formatText(kTwoLineFormat, kMayNeedRestart, kForcedMethod));
        case DownloadState::AwaitReady:
            return plainBox(kPrematureCaption, formatText(kNoReadyFormat, kNoReadyBusy, kVerifyValidSoftware,
                                                          kVerifyFlashRom, kVerifyConnection, kNeedRestart,
                                                          kForcedMethod));
        case DownloadState::AwaitBlockAck:
        case DownloadState::AwaitLastBlockAck:
            return plainBox(kPrematureCaption, noAckText());
        case DownloadState::AwaitEndReady:
            return plainBox(kCommErrorEndCaption, formatText(kTwoLineFormat, kMayNeedRestart, kForcedMethod));
        case DownloadState::AwaitEndAck:
            return plainBox(kNoAckCaption,
                            formatText(kThreeLineFormat, kVerifyConnection, kMayNeedRestart, kForcedMethod));
        default:
            return plainBox("", "");
    }
}

OutcomeBox outcomeBox(const DownloadOutcome& outcome) {
    switch (outcome.kind) {
        case OutcomeKind::Succeeded:
            return successBox(outcome.unitCrcHigh, outcome.unitCrcLow, outcome.fileCrc);
        case OutcomeKind::Flagged:
            return flaggedResultBox(outcome.unitCrcHigh, outcome.unitCrcLow, outcome.fileCrc);
        case OutcomeKind::GaveUp:
            break;
    }
    return giveUpBox(outcome.state);
}
