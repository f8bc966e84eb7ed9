// Metrics: the station's figures as Prometheus scrapes them, in the text exposition format 0.0.4.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace station {
constexpr const char* kMetricsContentType = "text/plain; version=0.0.4; charset=utf-8";

// The upper bounds of the download time's buckets, in seconds: a download takes from about a second to ten minutes.
inline const std::vector<double> kDownloadSecondsBounds = {1,  2,  5,   10,  15,  20,  30, 45,
                                                          60, 90, 120, 180, 300, 450, 600};

// How many downloads took how long: counts[i] took more than bounds[i - 1] and at most bounds[i] seconds; the last
// count, one past the bounds, took longer than every bound.
struct DurationHistogram {
    std::vector<double> bounds;
    std::vector<std::uint64_t> counts;
    double sumSeconds = 0;
};

// Everything a scrape shows.
struct MetricFigures {
    std::map<std::string, std::uint64_t> downloadsByOutcome;  // every ended download on record, by its outcome key
    std::map<int, std::uint64_t> failedByState;               // the failures among them, by state (0: none named)
    DurationHistogram downloadSeconds;                        // the passed and failed ones
    std::map<std::string, int> portsByState;                  // by the tile's state key; a state absent has none
    std::string imageName;
    std::string imageFileCrc;
    std::string imageSha256;
    double uptimeSeconds = 0;
};

// The scrape's text: # HELP and # TYPE before each metric, every port state with its count, the histogram's buckets
// cumulative up to +Inf.
std::string metricsText(const MetricFigures& figures);
}  // namespace station
