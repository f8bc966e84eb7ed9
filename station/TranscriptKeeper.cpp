// TranscriptKeeper: one pass over the transcripts folder, sorted by last write, pruned by age and then by size.
#include "TranscriptKeeper.h"

#include <algorithm>
#include <system_error>

namespace station {
namespace fs = std::filesystem;

namespace {
struct Kept {
    fs::path path;
    fs::file_time_type written;
    std::uint64_t bytes;
};
}  // namespace

std::vector<std::string> pruneTranscripts(const std::string& dataFolder, const KeepLimits& limits, const FileClock& now) {
    std::vector<Kept> kept;
    std::error_code error;
    for (fs::directory_iterator it(fs::path(dataFolder) / kTranscriptsFolder, error), end; !error && it != end;
         it.increment(error)) {
        std::error_code fileError;
        if (!it->is_regular_file(fileError)) continue;
        const auto written = it->last_write_time(fileError);
        const std::uint64_t bytes = it->file_size(fileError);
        if (!fileError) kept.push_back({it->path(), written, bytes});
    }
    std::sort(kept.begin(), kept.end(), [](const Kept& a, const Kept& b) {
        return a.written != b.written ? a.written < b.written : a.path < b.path;
    });
    std::uint64_t total = 0;
    for (const Kept& file : kept) total += file.bytes;

    std::vector<std::string> pruned;
    const fs::file_time_type oldestKept = now() - limits.maxAge;
    for (const Kept& file : kept) {
        if (file.written >= oldestKept && total <= limits.maxBytes) break;
        std::error_code removeError;
        if (!fs::remove(file.path, removeError) || removeError) continue;
        total -= file.bytes;
        pruned.push_back(std::string(kTranscriptsFolder) + "/" + file.path.filename().string());
    }
    return pruned;
}
}  // namespace station
