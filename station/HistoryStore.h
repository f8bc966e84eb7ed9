// HistoryStore: the station's record of every download, one SQLite row each, written at its start, completed at end.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace history {
constexpr std::size_t kRetryStates = 9;   // the download procedure counts the repetitions of its states 1 to 9
constexpr int kHoursPerDay = 24;
constexpr int kNoState = 0;               // failedByState's key for a failure that names no state (the idle state)
constexpr const char* kFileName = "history.sqlite3";
}  // namespace history

using HistoryClock = std::function<std::chrono::system_clock::time_point()>;

// What is known when a download starts.
struct DownloadStart {
    std::string port;        // the name the station shows, e.g. a /dev/serial/by-id name
    std::string device;      // the device that name led to when the download began, e.g. /dev/ttyUSB0
    std::string identity;    // vendor:product and adapter serial, e.g. "0403:6001 A1B2C3"
    std::string imageName;
    std::uint16_t fileCrc = 0;
    std::string transcript;  // the transcript file, relative to the data folder
    std::string sha256;          // the image's, 64 lower-case hex digits
    std::string keyId;           // its signer's release key, "" when unsigned
    std::string trustedComment;  // its signature's trusted comment
};

// What is known when it ends.
struct DownloadEnd {
    std::string outcome;                   // succeeded, crc_mismatch, flagged, gave_up, stalled, timed_out, port_gone,
                                           // port_failed or interrupted; any other key is refused
    std::string message;                   // the outcome in the tool's words
    std::optional<std::uint16_t> unitCrc;  // none when the unit gave no result
    std::optional<int> state;              // the state the download ended in; none when it never left idle
    std::uint32_t blocksSent = 0;
    std::uint32_t blocksSkipped = 0;
    std::array<std::uint32_t, history::kRetryStates> retries{};  // repetitions of states 1 to 9
};

// One row as stored: the text columns as text, NULL as an empty optional.
struct HistoryRow {
    std::int64_t id = 0;
    std::string started;                 // UTC, e.g. 2024-05-01T09:30:00.007Z
    std::optional<std::string> ended;    // none while the download runs
    std::string port;
    std::string device;
    std::string identity;
    std::string imageName;
    std::string fileCrc;                 // 4 hex digits
    std::optional<std::string> unitCrc;  // 4 hex digits
    std::optional<std::string> outcome;  // none while the download runs
    std::string message;
    std::optional<int> state;
    std::int64_t blocksSent = 0;         // 0 until the end; an interrupted download keeps 0 (what it sent is unknown)
    std::int64_t blocksSkipped = 0;
    std::string retries;                 // JSON object, "1".."9" -> repetitions; "{}" until the end
    std::string transcript;
    std::optional<std::string> transcriptPruned;  // when the transcript was deleted; none while it is kept
    std::string sha256;
    std::string keyId;
    std::string trustedComment;
};

// Every criterion is optional; a row must meet each one given.
struct HistoryFilter {
    std::optional<std::string> day;      // YYYY-MM-DD, the UTC day the download started on
    std::optional<std::string> port;     // exact
    std::optional<std::string> outcome;  // exact key
};

// Today's (UTC) downloads that ended, by the day and hour they started. A download passed when its outcome is
// "succeeded"; it failed with any other outcome but "interrupted", which is the station's stop and not the unit's.
// Downloads still running are in neither.
struct HourCounts {
    int passed = 0;
    int failed = 0;
};
struct Counts {
    int passed = 0;
    int failed = 0;
    std::map<int, int> failedByState;  // state -> failures; history::kNoState for those that name none
    std::array<HourCounts, history::kHoursPerDay> perHour{};
};

// One connection to DATA/history.sqlite3. Safe to share between threads (calls are serialised); movable, not
// copyable, and a moved-from store is not to be used. Failures come back as values, with lastError() telling why.
class HistoryStore {
public:
    // Opens or creates the data folder and its history, and completes each download left without an end (the station
    // stopped while it ran) as interrupted. `clock` stamps every time; the system clock when empty.
    static std::optional<HistoryStore> open(const std::string& dataFolder, std::string& why, HistoryClock clock = {});

    HistoryStore(HistoryStore&&) noexcept;
    HistoryStore& operator=(HistoryStore&&) noexcept;
    ~HistoryStore();

    int interruptedAtOpen() const;  // how many downloads open() completed as interrupted

    std::optional<std::int64_t> begin(const DownloadStart& start);        // the new row's id
    bool finish(std::int64_t id, const DownloadEnd& end);                 // false for an unknown or ended row too
    // The rows whose transcript is one of these say when it was pruned (now); the rows themselves stay.
    bool markPruned(const std::vector<std::string>& transcripts);
    std::vector<HistoryRow> rows(const HistoryFilter& filter) const;      // newest first
    std::string csv(const HistoryFilter& filter) const;                   // RFC 4180, CRLF, the columns' names first
    Counts today() const;
    std::string lastError() const;

    // Below the class: the totals of every download on record, and a consistent copy of the whole history.
    struct Totals;
    Totals totals(const std::vector<double>& secondsBounds) const;
    bool backupTo(const std::string& path) const;  // a new SQLite file at path, made while downloads go on

private:
    struct Impl;
    explicit HistoryStore(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> impl_;
};

// The row as a JSON object whose names are the columns'; retries as an object, NULL as null.
nlohmann::json toJson(const HistoryRow& row);

// Every download on record that ended, counted as today() counts them (passed: "succeeded"; failed: any other outcome
// but "interrupted"), and how long the passed and failed ones took from their start to their end.
struct HistoryStore::Totals {
    std::map<std::string, std::int64_t> byOutcome;  // interrupted ones too
    std::map<int, std::int64_t> failedByState;      // history::kNoState for those that name none
    std::vector<std::int64_t> perBucket;            // [i]: more than bounds[i - 1] and at most bounds[i] seconds;
                                                    // the last, one past the bounds: more than every bound
    double seconds = 0;                             // the passed and failed ones' seconds together
};
