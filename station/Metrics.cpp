// Metrics: the exposition text: families with their help and type, samples with escaped label values.
#include "Metrics.h"

#include <charconv>
#include <utility>

#include "PortLoop.h"

namespace station {
namespace {
constexpr std::size_t kNumberChars = 32;  // the longest double std::to_chars writes is 24 characters
constexpr const char* kInfinity = "+Inf";

using Labels = std::vector<std::pair<const char*, std::string>>;

std::string numberText(double value) {
    char text[kNumberChars];
    const auto written = std::to_chars(text, text + sizeof text, value);
    return std::string(text, written.ptr);
}

// A label's value as the format quotes it: backslash, double quote and line feed escaped.
std::string escaped(const std::string& value) {
    std::string text;
    for (const char c : value) {
        if (c == '\\') text += "\\\\";
        else if (c == '"') text += "\\\"";
        else if (c == '\n') text += "\\n";
        else text += c;
    }
    return text;
}

class Exposition {
public:
    void family(const char* name, const char* type, const char* help) {
        text_ += std::string("# HELP ") + name + " " + help + "\n# TYPE " + name + " " + type + "\n";
    }
    void sample(const std::string& name, const Labels& labels, const std::string& value) {
        text_ += name;
        for (std::size_t i = 0; i < labels.size(); ++i) {
            text_ += (i == 0 ? "{" : ",") + std::string(labels[i].first) + "=\"" + escaped(labels[i].second) + "\"";
        }
        text_ += (labels.empty() ? " " : "} ") + value + "\n";
    }
    std::string text() const { return text_; }

private:
    std::string text_;
};

void histogram(Exposition& out, const std::string& name, const DurationHistogram& h) {
    std::uint64_t atMost = 0;
    for (std::size_t i = 0; i < h.bounds.size(); ++i) {
        atMost += i < h.counts.size() ? h.counts[i] : 0;
        out.sample(name + "_bucket", {{"le", numberText(h.bounds[i])}}, std::to_string(atMost));
    }
    for (std::size_t i = h.bounds.size(); i < h.counts.size(); ++i) atMost += h.counts[i];
    out.sample(name + "_bucket", {{"le", kInfinity}}, std::to_string(atMost));
    out.sample(name + "_sum", {}, numberText(h.sumSeconds));
    out.sample(name + "_count", {}, std::to_string(atMost));
}
}  // namespace

std::string metricsText(const MetricFigures& f) {
    Exposition out;
    out.family("qbv_station_downloads_total", "counter", "Downloads that ended, over the whole history, by outcome.");
    for (const auto& [outcome, n] : f.downloadsByOutcome) {
        out.sample("qbv_station_downloads_total", {{"outcome", outcome}}, std::to_string(n));
    }
    out.family("qbv_station_failed_downloads_total", "counter",
               "Failed downloads (any outcome but succeeded and interrupted) by the state they ended in, 0 for none.");
    for (const auto& [state, n] : f.failedByState) {
        out.sample("qbv_station_failed_downloads_total", {{"state", std::to_string(state)}}, std::to_string(n));
    }
    out.family("qbv_station_download_seconds", "histogram", "How long the passed and failed downloads took.");
    histogram(out, "qbv_station_download_seconds", f.downloadSeconds);
    out.family("qbv_station_ports", "gauge", "The station's ports by state.");
    for (const PortState state : kPortStates) {
        const auto n = f.portsByState.find(stateKey(state));
        out.sample("qbv_station_ports", {{"state", stateKey(state)}},
                   std::to_string(n == f.portsByState.end() ? 0 : n->second));
    }
    out.family("qbv_station_image_info", "gauge", "The image being downloaded.");
    out.sample("qbv_station_image_info",
               {{"name", f.imageName}, {"file_crc", f.imageFileCrc}, {"sha256", f.imageSha256}}, "1");
    out.family("qbv_station_uptime_seconds", "gauge", "Seconds since the station started.");
    out.sample("qbv_station_uptime_seconds", {}, numberText(f.uptimeSeconds));
    return out.text();
}
}  // namespace station
