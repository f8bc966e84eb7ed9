// Status line rules: Disable, Reset and ACK name themselves; the download-mode status is named by the state it arrives in.
#include "StatusText.h"

#include "UnitCommands.h"

namespace {
// State bounds of the download-mode rows.
constexpr std::uint32_t kLastErasingState = stateNumber(DownloadState::AwaitErased);            // ready up to here: Deleting
constexpr std::uint32_t kFirstBlockAckState = stateNumber(DownloadState::AwaitFirstBlockAck);  // ready here: unchanged
constexpr std::uint32_t kLastBusyDeletingState = stateNumber(DownloadState::AwaitReady);       // busy up to here: Deleting
constexpr std::uint32_t kLastDataState = stateNumber(DownloadState::AwaitEndAck);              // ready up to here: Downloading
constexpr std::uint32_t kFirstVerifyState = stateNumber(DownloadState::AwaitResult);           // busy from here: Verifying
}  // namespace

std::optional<std::string> statusTextFor(std::uint8_t code, std::uint8_t flag, DownloadState state) {
    const std::uint32_t s = stateNumber(state);
    switch (code) {
        case unit::kStatusDisable:
            return std::string(status::kDisable);
        case unit::kStatusReset:
            return std::string(status::kReset);
        case unit::kStatusAck:
            return std::string(status::kCleared);
        case unit::kStatusDownloadMode:
            if (flag == unit::kFlagClear) {
                if (s <= kLastErasingState) return std::string(status::kDeleting);
                if (s == kFirstBlockAckState) return std::nullopt;
                if (s <= kLastDataState) return std::string(status::kDownloading);
                return std::nullopt;
            }
            if (s <= kLastBusyDeletingState) return std::string(status::kDeleting);
            if (s >= kFirstVerifyState) return std::string(status::kVerifying);
            return std::nullopt;
        default:
            return std::nullopt;
    }
}

std::optional<std::string> statusTextForReply(const ByteBuffer& reply, DownloadState state) {
    if (reply.size() <= unit::kFlagIndex) return std::nullopt;
    return statusTextFor(reply[unit::kCodeIndex], reply[unit::kFlagIndex], state);
}
