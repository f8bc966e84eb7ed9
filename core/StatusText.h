// The status line: the unit's phase named from a reply's code and flag and the download state.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "ByteBuffer.h"
#include "DownloadState.h"

namespace status {
constexpr const char* kDisable = "Disable";
constexpr const char* kReset = "Reset";
constexpr const char* kCleared = "";
constexpr const char* kDeleting = "Deleting";
constexpr const char* kDownloading = "Downloading";
constexpr const char* kVerifying = "Verifying";
}  // namespace status

// The text for code (byte 2) and flag (byte 3) seen in `state`, or nothing when the line stays as it is.
std::optional<std::string> statusTextFor(std::uint8_t code, std::uint8_t flag, DownloadState state);
// The same for a whole reply frame; nothing for a reply too short to hold its code and flag.
std::optional<std::string> statusTextForReply(const ByteBuffer& reply, DownloadState state);
