// The scrape's text from the station's figures: label values escaped,
// every port state counted, the histogram's buckets cumulative up to +Inf.
#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>

#include "Metrics.h"

using namespace station;

namespace {
using Series = std::map<std::string, std::string>;  // a sample's name and labels as written -> its value

struct Scrape {
    Series samples;
    std::vector<std::uint64_t> buckets;     // the histogram's buckets in the order written
};

Scrape read(const std::string& text) {
    Scrape scrape;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        if (line.rfind("#", 0) == 0) continue;  // HELP and TYPE lines: promtool's check in the browser test reads them
        const std::string series = line.substr(0, line.rfind(' ')), name = series.substr(0, series.find('{'));
        scrape.samples[series] = line.substr(line.rfind(' ') + 1);
        if (name == "qbv_station_download_seconds_bucket") scrape.buckets.push_back(std::stoull(scrape.samples[series]));
    }
    return scrape;
}

MetricFigures withHistogram(std::vector<double> bounds, std::vector<std::uint64_t> counts, double sum) {
    MetricFigures figures;
    figures.downloadSeconds = {std::move(bounds), std::move(counts), sum};
    figures.imageFileCrc = "E649";
    return figures;
}
}  // namespace

TEST(Metrics, TextShowsTheFiguresAsAScraperReadsThem) {
    MetricFigures fresh = withHistogram({1, 10}, {0, 0, 0}, 0);
    MetricFigures busy = withHistogram({1, 2.5, 600}, {1, 0, 5, 1}, 901.25);
    busy.downloadsByOutcome = {{"succeeded", 5}, {"gave_up", 2}, {"interrupted", 1}};
    busy.failedByState = {{3, 1}, {0, 1}};
    busy.portsByState = {{"flashing", 2}, {"gone", 1}};
    busy.uptimeSeconds = 12.5;
    MetricFigures oddNames = fresh;
    oddNames.imageName = "fw \"v2\"\\beta\nline";
    oddNames.imageSha256 = "ab12";

    const std::pair<MetricFigures, Series> cases[] = {
        {fresh,
         {{R"(qbv_station_ports{state="waiting"})", "0"},
          {R"(qbv_station_ports{state="ready"})", "0"},
          {R"(qbv_station_ports{state="not_ready"})", "0"},
          {R"(qbv_station_ports{state="flashing"})", "0"},
          {R"(qbv_station_ports{state="passed"})", "0"},
          {R"(qbv_station_ports{state="failed"})", "0"},
          {R"(qbv_station_ports{state="gone"})", "0"},
          {R"(qbv_station_download_seconds_bucket{le="10"})", "0"},
          {R"(qbv_station_download_seconds_bucket{le="+Inf"})", "0"},
          {"qbv_station_download_seconds_count", "0"},
          {R"(qbv_station_image_info{name="",file_crc="E649",sha256=""})", "1"},
          {"qbv_station_uptime_seconds", "0"}}},
        {busy,
         {{R"(qbv_station_downloads_total{outcome="succeeded"})", "5"},
          {R"(qbv_station_downloads_total{outcome="gave_up"})", "2"},
          {R"(qbv_station_downloads_total{outcome="interrupted"})", "1"},
          {R"(qbv_station_failed_downloads_total{state="0"})", "1"},
          {R"(qbv_station_failed_downloads_total{state="3"})", "1"},
          {R"(qbv_station_ports{state="flashing"})", "2"},
          {R"(qbv_station_ports{state="gone"})", "1"},
          {R"(qbv_station_ports{state="waiting"})", "0"},
          {R"(qbv_station_download_seconds_bucket{le="1"})", "1"},
          {R"(qbv_station_download_seconds_bucket{le="2.5"})", "1"},
          {R"(qbv_station_download_seconds_bucket{le="600"})", "6"},
          {R"(qbv_station_download_seconds_bucket{le="+Inf"})", "7"},
          {"qbv_station_download_seconds_sum", "901.25"},
          {"qbv_station_download_seconds_count", "7"},
          {"qbv_station_uptime_seconds", "12.5"}}},
        {oddNames, {{R"(qbv_station_image_info{name="fw \"v2\"\\beta\nline",file_crc="E649",sha256="ab12"})", "1"}}},
    };
    for (const auto& [figures, expected] : cases) {
        const std::string text = metricsText(figures);
        const Scrape scrape = read(text);
        ASSERT_FALSE(scrape.buckets.empty()) << text;
        EXPECT_TRUE(std::is_sorted(scrape.buckets.begin(), scrape.buckets.end())) << text;  // cumulative
        EXPECT_EQ(std::to_string(scrape.buckets.back()), scrape.samples.at("qbv_station_download_seconds_count"));
        for (const auto& [series, value] : expected) {
            const auto found = scrape.samples.find(series);
            EXPECT_TRUE(found != scrape.samples.end() && found->second == value) << series << " " << value << "\n"
                                                                                  << text;
        }
    }
}
