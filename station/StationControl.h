// StationControl: what the station's web side shows of the station and asks of it; the station implements it, the
// web side's tests give a fake.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "Metrics.h"

namespace station {
// One port's tile as the page shows it.
struct Tile {
    std::string id;             // stable and URL-safe: "p1", "p2", ...
    std::string port;           // the name shown: the by-id name where there is one, else the device
    std::string device;         // "/dev/ttyUSB0"
    std::string adapterSerial;  // the USB adapter's serial number, "" when unknown
    std::string identity;       // "0403:6001 A1B2C3", "" for a port that is not on USB
    std::string state;          // "waiting", "ready", "not_ready", "flashing", "passed", "failed", "gone"
    std::string status;         // the unit's status word while not ready, the phase while flashing
    std::uint32_t blocksDone = 0;
    std::uint32_t blocksTotal = 0;
    double kbPerSecond = 0;
    double etaSeconds = 0;
    std::string outcome;  // once a download ended: its key as qbv-flash --json names it ("succeeded", "gave_up", ...)
    std::string message;  // and its words ("ERROR:No Ack from Acceptor: ... (state 9)")
    int stateNumber = 0;  // the state a failed download ended in; 0 for none
    std::string unitCrc;  // four hex digits, "" when the unit gave none
    std::string fileCrc;
};

// The image being downloaded.
struct ImageInfo {
    std::string name;
    std::uint32_t bytes = 0;
    std::uint32_t blocks = 0;
    std::string fileCrc;
    std::string sha256;  // 64 lower-case hex digits
    bool signatureRequired = false;  // release keys are configured: every image carries a checked signature
    std::string keyId;               // the signer's key id, "" when unsigned
    std::string trustedComment;      // the signature's trusted comment
};

// Filters of the history; "" for none.
struct HistoryQuery {
    std::string day;  // "YYYY-MM-DD" (UTC)
    std::string port;
    std::string outcome;
};

// What a check of one port's line came to.
struct PortCheck {
    enum class Result { Done, NoSuchPort, Refused };
    Result result = Result::Done;
    std::string why;        // Refused: "a download runs on this port", ...
    nlohmann::json report;  // Done: the port's part of qbv-flash --doctor's report
};

class StationControl {
public:
    using TileListener = std::function<void(const Tile&)>;

    virtual ~StationControl() = default;

    virtual std::vector<Tile> tiles() const = 0;
    virtual ImageInfo image() const = 0;
    virtual bool manual() const = 0;
    // Called on the station's threads whenever a tile changes; one listener, set once before serving.
    virtual void onTileChanged(TileListener listener) = 0;

    virtual void setManual(bool manual) = 0;
    // Flash the unit waiting on one port; false when there is no such port or no unit waits there.
    virtual bool start(const std::string& id) = 0;
    // Flash a failed unit again; false when there is no such port or its tile is not red.
    virtual bool retry(const std::string& id) = 0;
    // Checks one port's line by `polls` status requests between units, waiting until done.
    virtual PortCheck checkPort(const std::string& id, int polls) = 0;
    // Flash every waiting unit; how many started.
    virtual int startAll() = 0;
    // A new image, checked at once: "" when taken, else why not (the image check's words, another FILE-CRC than
    // the expected one, or a download running).
    // `signature` is the text of its .minisig file, nullopt when none came with it.
    virtual std::string replaceImage(const std::string& name, const std::string& bytes,
                                     const std::optional<std::string>& signature) = 0;
    // The largest upload worth reading: the largest valid image.
    virtual std::uint64_t largestImageBytes() const = 0;

    // History, newest first: the text of a JSON array of rows (written a row at a time: a day of a busy line is
    // thousands of rows), the same rows as CSV, and today's counts as JSON
    // ({"passed": N, "failed": N, "failed_by_state": {"STATE": N, ...}, "hours": [{"passed": N, "failed": N} x 24]}).
    virtual std::string historyJson(const HistoryQuery& query) const = 0;
    virtual std::string historyCsv(const HistoryQuery& query) const = 0;
    virtual nlohmann::json todayCounts() const = 0;

    // What a scrape of the station's metrics shows.
    virtual MetricFigures metricFigures() const = 0;
    // A consistent copy of the history, made while downloads go on, in a new file of the data folder: its path, which
    // the caller removes once done with it; nullopt, with why, when it could not be made.
    virtual std::optional<std::string> copyHistory(std::string& why) const = 0;
};
}  // namespace station
