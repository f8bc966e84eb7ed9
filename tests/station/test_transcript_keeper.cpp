// The station's transcripts kept within an age and a size: which files go, oldest first, against a clock the test sets.
#include <gtest/gtest.h>

#include <fstream>

#include "TempFolder.h"
#include "TranscriptKeeper.h"

namespace {
namespace fs = std::filesystem;
using std::chrono::hours;

TEST(TranscriptKeeper, PrunesByAgeThenTheOldestUntilTheRestFit) {
    const fs::file_time_type now = fs::file_time_type::clock::now();
    struct File {
        const char* name;
        int hoursOld;
        std::size_t bytes;
    };
    const File files[] = {{"d.txt", 24 * 91, 100}, {"c.txt", 24 * 89, 300}, {"b.txt", 5, 400}, {"a.txt", 1, 200}};
    struct Case {
        const char* what;
        station::KeepLimits limits;
        std::vector<std::string> pruned;
    };
    const Case cases[] = {
        {"only what is older than 90 days", {hours(24 * 90), 10'000}, {"transcripts/d.txt"}},
        {"an age of exactly the limit stays", {hours(24 * 89), 10'000}, {"transcripts/d.txt"}},
        {"the oldest until 900 bytes fit", {hours(24 * 90), 900}, {"transcripts/d.txt"}},
        {"the oldest until 899 bytes fit", {hours(24 * 90), 899}, {"transcripts/d.txt", "transcripts/c.txt"}},
        {"all but the newest", {hours(24 * 90), 200}, {"transcripts/d.txt", "transcripts/c.txt", "transcripts/b.txt"}},
        {"everything", {hours(0), 10'000}, {"transcripts/d.txt", "transcripts/c.txt", "transcripts/b.txt",
                                           "transcripts/a.txt"}},
    };
    for (const Case& c : cases) {
        TempFolder data;
        fs::create_directories(data.path / station::kTranscriptsFolder);
        for (const File& f : files) {
            const fs::path path = data.path / station::kTranscriptsFolder / f.name;
            std::ofstream(path) << std::string(f.bytes, 'x');
            fs::last_write_time(path, now - hours(f.hoursOld));
        }
        EXPECT_EQ(station::pruneTranscripts(data.path.string(), c.limits, [&] { return now; }), c.pruned) << c.what;
        for (const std::string& gone : c.pruned) EXPECT_FALSE(fs::exists(data.path / gone)) << c.what;
    }
    TempFolder empty;
    EXPECT_TRUE(station::pruneTranscripts(empty.path.string(), {}, [&] { return now; }).empty()) << "no folder yet";
}
}  // namespace
