// TranscriptKeeper: the station's transcripts kept within an age and a total size, the oldest pruned first.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

namespace station {
constexpr unsigned kDefaultKeepDays = 90;
constexpr std::uint64_t kDefaultKeepMegabytes = 1024;
constexpr std::uint64_t kBytesPerMegabyte = 1024 * 1024;
constexpr std::chrono::minutes kKeepCheckPeriod{1};  // how often the station prunes
constexpr const char* kTranscriptsFolder = "transcripts";

struct KeepLimits {
    std::chrono::hours maxAge{24 * kDefaultKeepDays};
    std::uint64_t maxBytes = kDefaultKeepMegabytes * kBytesPerMegabyte;
};

using FileClock = std::function<std::filesystem::file_time_type()>;

// Deletes from DATA/transcripts every file last written longer than maxAge before `now`, then the oldest of the rest
// until they fit in maxBytes. The deleted files' names as the history holds them ("transcripts/NAME"), oldest first;
// a file that cannot be deleted is left and not named.
std::vector<std::string> pruneTranscripts(const std::string& dataFolder, const KeepLimits& limits, const FileClock& now);
}  // namespace station
