// Station: the station's ports (named and matched, each with its own loop and thread), its image, the manual switch
// and the record of every download; what the web side shows and asks for.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "HistoryStore.h"
#include "PortLoop.h"
#include "StationControl.h"
#include "ReleaseCheck.h"
#include "TranscriptKeeper.h"

namespace station {
constexpr std::chrono::seconds kRescanPeriod{3};  // matched ports are looked for again this often
constexpr std::chrono::milliseconds kDrainLookPeriod{100};  // a stop looks this often whether downloads still run

struct StationSettings {
    std::vector<std::string> ports;    // named with --port
    std::vector<std::string> matches;  // globs of --match
    std::uint32_t baud = 38400;
    std::optional<std::uint16_t> expectedFileCrc;  // any other image is refused
    std::string dataFolder;
    KeepLimits keep;  // the transcripts kept
    std::function<void(const std::string&)> say;  // a line for the log (a record that could not be written)
    std::vector<trust::PublicKey> releaseKeys;     // none: any image whose check bytes add up; else only signed ones
};

class Station : public StationControl, public PortHost {
public:
    Station(StationSettings settings, HistoryStore& history);
    ~Station() override;  // stops every loop
    Station(const Station&) = delete;
    Station& operator=(const Station&) = delete;

    // The image of the command line, copied into the data folder, with its signature file (IMAGE.minisig unless
    // given) when release keys are configured; "" when taken, else why not.
    std::string loadImage(const std::string& path, const std::string& signaturePath = std::string());
    // Named ports and every port the globs match now: each new one gets its tile and its loop.
    void rescan();
    // Rescans every few seconds until stop().
    void runRescans();
    // The first part of a stop: no download begins any more; those running get up to `grace` to end. How many
    // still ran when it ran out (stop() then interrupts them).
    int drain(std::chrono::seconds grace);
    void stop();

    // StationControl
    std::vector<Tile> tiles() const override;
    ImageInfo image() const override;
    bool manual() const override { return manual_; }
    void onTileChanged(TileListener listener) override;
    void setManual(bool manual) override { manual_ = manual; }
    bool start(const std::string& id) override;
    bool retry(const std::string& id) override;
    PortCheck checkPort(const std::string& id, int polls) override;
    int startAll() override;
    std::string replaceImage(const std::string& name, const std::string& bytes,
                             const std::optional<std::string>& signature) override;
    std::uint64_t largestImageBytes() const override;
    std::string historyJson(const HistoryQuery& query) const override;
    std::string historyCsv(const HistoryQuery& query) const override;
    nlohmann::json todayCounts() const override;
    MetricFigures metricFigures() const override;
    std::optional<std::string> copyHistory(std::string& why) const override;

private:
    struct Port;

    // PortHost
    std::shared_ptr<const StationImage> currentImage() const override;
    std::int64_t downloadStarted(const Tile& tile, const StationImage& image, std::string& transcriptPath) override;
    std::string downloadEnded(std::int64_t record, const UnitResult& result, const Tile& tile) override;
    void tileChanged(const Tile& tile) override;

    std::string takeImage(const std::string& name, const std::string& bytes, const std::optional<std::string>& signature,
                          const std::string& signatureName);
    Port* find(const std::string& id) const;
    void wait(std::chrono::milliseconds period);
    void keepTranscripts();  // prunes what exceeds the limits, and says so in the history
    void say(const std::string& line) const;

    StationSettings settings_;
    HistoryStore& history_;
    const std::chrono::steady_clock::time_point started_ = std::chrono::steady_clock::now();
    std::atomic<bool> manual_{false};
    std::atomic<bool> stop_{false};
    bool draining_ = false;  // guarded by mutex_
    std::atomic<std::uint64_t> transcriptsBegun_{0};  // makes each transcript's name unique
    std::mutex waitMutex_;
    std::condition_variable wake_;

    mutable std::mutex mutex_;  // guards ports_, the image and the listener
    std::vector<std::unique_ptr<Port>> ports_;
    std::shared_ptr<const StationImage> image_;  // with its SHA-256 and signer, made once when it is taken
    TileListener listener_;
};
}  // namespace station
