// The station's history against a real SQLite file: rows at start and end, a killed station, filters, CSV, counts.
#include <gtest/gtest.h>

#include <sqlite3.h>

#include <cstdlib>
#include <thread>

#include "HistoryStore.h"
#include "TempFolder.h"

namespace {
using Clock = std::chrono::system_clock;
using Records = std::vector<std::vector<std::string>>;
constexpr std::int64_t kMay1st2024 = 1714521600;          // 2024-05-01T00:00:00Z in seconds since 1970
constexpr int kSecondsPerHour = 3600;
constexpr std::size_t kWriteVersionByte = 18;           // in an SQLite file's header: 1 rollback journal, 2 WAL
constexpr const char* kChildFolder = "QBV_HISTORY_KILL";  // set: this process is a station that dies mid-way
const DownloadStart kStart = {"/dev/serial/by-id/usb-A1B2C3", "/dev/ttyUSB0", "0403:6001 A1B2C3", "fw.bin", 0xE649,
                              "transcripts/1.log", std::string(64, 'c'), "143C1CF192D4B1FF", "fw 2.14.0, line 3"};
const DownloadEnd kEnd = {"succeeded", "The target file was downloaded successfully", 0xE649, {}, 80, 2, {0, 3}};

Clock::time_point at(int day, int hour, int ms = 0) {
    const std::chrono::seconds sinceMay1st((day * history::kHoursPerDay + hour) * kSecondsPerHour);
    return Clock::time_point(std::chrono::seconds(kMay1st2024) + sinceMay1st + std::chrono::milliseconds(ms));
}

DownloadEnd ended(const char* outcome, std::optional<int> state = {}, const char* message = "") {
    return {outcome, message, {}, state, 0, 0, {}};
}

// As the child: finishes one download, begins another and ends without closing anything, as under kill -9.
const bool kChild = [] {
    const char* folder = std::getenv(kChildFolder);
    if (folder == nullptr) return false;
    std::string why;
    auto store = HistoryStore::open(folder, why);
    std::_Exit(store && store->finish(store->begin(kStart).value_or(0), kEnd) && store->begin(kStart) ? 0 : 1);
}();

struct Station {
    TempFolder folder;
    Clock::time_point now = at(0, 9);
    std::string why;
    std::optional<HistoryStore> store = HistoryStore::open(folder.path.string(), why, [this] { return now; });

    void download(int day, int hour, int ms, const char* port, const char* outcome, std::optional<int> state = {}) {
        now = at(day, hour, ms);
        const auto id = store->begin({port, "", "", "fw.bin", 0, ""});
        if (outcome) EXPECT_TRUE(store->finish(id.value_or(0), ended(outcome, state)));
    }
    void addDownloads() {
        download(0, 9, 0, "/dev/ttyUSB0", "succeeded");          // 1
        download(0, 23, 3599999, "/dev/ttyUSB1", "gave_up", 9);  // 2, the day's last millisecond
        download(1, 0, 0, "/dev/ttyUSB0", "port_gone", 6);       // 3, the next day's first
        download(1, 9, 0, "/dev/ttyUSB1", nullptr);              // 4, still running
        download(1, 9, 500, "/dev/ttyUSB0", "succeeded");        // 5
        download(1, 10, 0, "/dev/ttyUSB1", "port_failed");       // 6, no state
        download(1, 11, 0, "/dev/ttyUSB0", "interrupted");       // 7
    }
};

Records parseCsv(const std::string& text) {
    Records records(1, std::vector<std::string>(1));
    bool quoted = false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (quoted && text.compare(i, 2, "\"\"") == 0) records.back().back() += text[i++];
        else if (text[i] == '"') quoted = !quoted;
        else if (!quoted && text[i] == ',') records.back().emplace_back();
        else if (!quoted && text.compare(i, 2, "\r\n") == 0) records.emplace_back(1), ++i;
        else records.back().back() += text[i];
    }
    records.pop_back();  // what follows the last CRLF
    return records;
}
}  // namespace

TEST(HistoryStore, RowWrittenAtStartAndCompletedOnceAtEnd) {
    Station s;
    s.now = at(0, 9, 7);
    const auto id = s.store->begin(kStart);
    ASSERT_TRUE(id) << s.store->lastError();
    const HistoryRow running = s.store->rows({}).at(0);
    EXPECT_TRUE(running.started == "2024-05-01T09:00:00.007Z" && !running.ended && !running.outcome);
    s.now = at(0, 9, 1500);
    ASSERT_TRUE(s.store->finish(*id, kEnd)) << s.store->lastError();
    EXPECT_EQ(toJson(s.store->rows({}).at(0)), R"({"id":1,"started":"2024-05-01T09:00:00.007Z",
        "ended":"2024-05-01T09:00:01.500Z","port":"/dev/serial/by-id/usb-A1B2C3","device":"/dev/ttyUSB0","identity":"0403:6001 A1B2C3","image_name":"fw.bin",
        "file_crc":"E649","unit_crc":"E649","outcome":"succeeded","message":"The target file was downloaded successfully",
        "state":null,"blocks_sent":80,"blocks_skipped":2,"transcript":"transcripts/1.log","transcript_pruned":null,
        "sha256":"cccccccccccccccccccccccccccccccccccccccccccccccccccccccccccccccc","key_id":"143C1CF192D4B1FF",
        "trusted_comment":"fw 2.14.0, line 3","retries":{"1":0,"2":3,"3":0,"4":0,"5":0,"6":0,"7":0,"8":0,"9":0}})"_json);
    const auto second = s.store->begin(kStart).value_or(0);
    for (auto [rowId, outcome] : {std::pair{*id, "gave_up"}, {second + 1, "gave_up"}, {second, "no_such_outcome"}})
        EXPECT_FALSE(s.store->finish(rowId, ended(outcome))) << rowId << " " << outcome;
    EXPECT_FALSE(s.store->rows({}).at(0).ended);
}

TEST(HistoryStore, StationKilledMidDownloadLeavesItInterruptedAndKeepsTheFinished) {
    TempFolder folder;
    const std::string self = std::filesystem::read_symlink("/proc/self/exe").string();
    ASSERT_EQ(std::system((std::string(kChildFolder) + "='" + folder.path.string() + "' '" + self + "'").c_str()), 0);
    ASSERT_TRUE(std::filesystem::exists(folder / "history.sqlite3-wal"));  // not closed: the WAL still holds the rows
    for (int completed : {1, 0}) {
        std::string why;
        const auto store = HistoryStore::open(folder.path.string(), why);
        ASSERT_TRUE(store) << why;
        EXPECT_EQ(store->interruptedAtOpen(), completed);
        const auto rows = store->rows({});
        ASSERT_EQ(rows.size(), 2u);
        EXPECT_EQ(std::tie(rows[1].outcome, rows[1].blocksSent), std::tie(kEnd.outcome, kEnd.blocksSent));
        EXPECT_TRUE(rows[0].ended && rows[0].outcome == "interrupted" &&
                    rows[0].message == "interrupted (the station stopped)");
    }
}

TEST(HistoryStore, FiltersNewestFirst) {
    Station s;
    s.addDownloads();
    const std::pair<HistoryFilter, std::vector<std::int64_t>> cases[] = {
        {{}, {7, 6, 5, 4, 3, 2, 1}},
        {{"2024-05-01", {}, {}}, {2, 1}},
        {{"2024-05-02", {}, {}}, {7, 6, 5, 4, 3}},
        {{{}, "/dev/ttyUSB0", {}}, {7, 5, 3, 1}},
        {{{}, {}, "succeeded"}, {5, 1}},
        {{"2024-05-02", "/dev/ttyUSB1", {}}, {6, 4}},
        {{"2024-05-03", {}, {}}, {}},
        {{"2024-5-1", {}, {}}, {}},
    };
    for (const auto& [filter, ids] : cases) {
        std::vector<std::int64_t> found;
        for (const HistoryRow& row : s.store->rows(filter)) found.push_back(row.id);
        EXPECT_EQ(found, ids) << filter.day.value_or("") << " " << filter.port.value_or("");
    }
}

TEST(HistoryStore, CsvHoldsTheRowsFieldForField) {
    Station s;
    s.store->finish(s.store->begin(kStart).value_or(0), ended("gave_up", 9, "ERROR:No Ack, \"x\"\nthen (state 9)"));
    s.store->begin({"/dev/ttyUSB1", "", "", "a,b.bin", 1, ""});
    for (const HistoryFilter& filter : {HistoryFilter{}, HistoryFilter{{}, "/dev/ttyUSB1", {}}}) {
        const Records records = parseCsv(s.store->csv(filter));
        ASSERT_EQ(records.at(0).size(), toJson(HistoryRow{}).size());
        Records expected = {records[0]};
        for (const HistoryRow& row : s.store->rows(filter)) {
            expected.emplace_back();
            for (const std::string& name : records[0]) {
                const nlohmann::json v = toJson(row).at(name);
                expected.back().push_back(v.is_null() ? "" : v.is_string() ? v.get<std::string>() : v.dump());
            }
        }
        EXPECT_EQ(records, expected);
    }
}

TEST(HistoryStore, TodayCountsEndedDownloadsByStateAndHour) {
    Station s;
    s.addDownloads();
    s.now = at(1, 13);
    const Counts counts = s.store->today();
    EXPECT_EQ(std::tie(counts.passed, counts.failed), std::make_tuple(1, 2));
    EXPECT_EQ(counts.failedByState, (std::map<int, int>{{history::kNoState, 1}, {6, 1}}));
    std::map<int, std::pair<int, int>> hours;  // the hours with any download
    for (int h = 0; h < history::kHoursPerDay; ++h)
        if (const HourCounts& n = counts.perHour[h]; n.passed + n.failed) hours[h] = {n.passed, n.failed};
    EXPECT_EQ(hours, (std::map<int, std::pair<int, int>>{{0, {0, 1}}, {9, {1, 0}}, {10, {0, 1}}}));
}

TEST(HistoryStore, ThreadsSharingTheStoreEachGetTheirOwnRow) {
    constexpr int kThreads = 8, kDownloadsEach = 25;
    Station s;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&] {
            for (int i = 0; i < kDownloadsEach; ++i)
                EXPECT_TRUE(s.store->finish(s.store->begin(kStart).value_or(0), kEnd));
        });
    for (std::thread& thread : threads) thread.join();
    EXPECT_EQ(s.store->rows({{}, {}, "succeeded"}).size(), std::size_t{kThreads * kDownloadsEach});
}

TEST(HistoryStore, AHistoryFromTheFirstReleaseGainsTheNewColumnsAndKeepsItsRows) {
    TempFolder folder;
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open((folder / history::kFileName).c_str(), &db), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(db, R"(CREATE TABLE downloads (id INTEGER PRIMARY KEY, started TEXT NOT NULL, ended TEXT,
        port TEXT NOT NULL, identity TEXT NOT NULL, image_name TEXT NOT NULL, file_crc TEXT NOT NULL, unit_crc TEXT,
        outcome TEXT, message TEXT NOT NULL DEFAULT '', state INTEGER, blocks_sent INTEGER NOT NULL DEFAULT 0,
        blocks_skipped INTEGER NOT NULL DEFAULT 0, retries TEXT NOT NULL DEFAULT '{}', transcript TEXT NOT NULL);
        INSERT INTO downloads (started, ended, port, identity, image_name, file_crc, outcome, transcript)
        VALUES ('2024-05-01T09:00:00.000Z', '2024-05-01T09:00:09.000Z', 'COM-A', '', 'old.bin', 'E649', 'succeeded',
                'transcripts/old.txt');)", nullptr, nullptr, nullptr), SQLITE_OK);
    sqlite3_close(db);
    std::string why;
    auto store = HistoryStore::open(folder.path.string(), why);
    ASSERT_TRUE(store) << why;
    ASSERT_TRUE(store->begin(kStart)) << store->lastError();
    const auto rows = store->rows({});
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(std::tie(rows[0].port, rows[0].device), std::tie(kStart.port, kStart.device));
    EXPECT_EQ(std::tie(rows[1].imageName, rows[1].device), std::make_tuple("old.bin", ""));
}

TEST(HistoryStore, APrunedTranscriptIsNamedOnItsRowsWhichStay) {
    Station s;
    for (const char* transcript : {"transcripts/a.txt", "transcripts/b.txt", "transcripts/a.txt"}) {
        s.store->finish(s.store->begin({"/dev/ttyUSB0", "", "", "fw.bin", 0, transcript}).value_or(0), kEnd);
    }
    s.now = at(3, 12);
    ASSERT_TRUE(s.store->markPruned({"transcripts/a.txt", "transcripts/gone-before.txt"})) << s.store->lastError();
    s.now = at(4, 12);
    ASSERT_TRUE(s.store->markPruned({"transcripts/a.txt"}));
    std::vector<std::optional<std::string>> pruned;
    for (const HistoryRow& row : s.store->rows({})) pruned.push_back(row.transcriptPruned);
    EXPECT_EQ(pruned, (std::vector<std::optional<std::string>>{"2024-05-04T12:00:00.000Z", std::nullopt,
                                                               "2024-05-04T12:00:00.000Z"}));
}

TEST(HistoryStore, TotalsCountEveryDayAndBucketTheSeconds) {
    struct Download {
        int day;
        const char* outcome;  // nullptr: still running
        std::optional<int> state;
        int milliseconds;
    };
    const Download downloads[] = {
        {-1, "succeeded", {}, 2000},  // the day before: in the totals too
        {0, "succeeded", {}, 500},
        {0, "gave_up", 3, 1000},        // on a bound: in that bound's bucket
        {0, "port_failed", {}, 1001},   // just past it
        {0, "port_gone", 6, 60000},
        {0, "succeeded", {}, 75000},    // past every bound
        {0, "interrupted", {}, 5000},   // counted by outcome only
        {0, nullptr, {}, 0},
    };
    const std::vector<double> bounds = {1, 10, 60};
    Station s;
    int hour = 0;
    for (const Download& d : downloads) {
        s.now = at(d.day, hour++);
        const auto id = s.store->begin(kStart);
        s.now += std::chrono::milliseconds(d.milliseconds);
        if (d.outcome) ASSERT_TRUE(s.store->finish(id.value_or(0), ended(d.outcome, d.state)));
    }
    const HistoryStore::Totals totals = s.store->totals(bounds);
    EXPECT_EQ(totals.byOutcome, (std::map<std::string, std::int64_t>{
                                    {"succeeded", 3}, {"gave_up", 1}, {"port_failed", 1}, {"port_gone", 1},
                                    {"interrupted", 1}}));
    EXPECT_EQ(totals.failedByState, (std::map<int, std::int64_t>{{history::kNoState, 1}, {3, 1}, {6, 1}}));
    EXPECT_EQ(totals.perBucket, (std::vector<std::int64_t>{2, 2, 1, 1}));
    EXPECT_NEAR(totals.seconds, 2 + 0.5 + 1 + 1.001 + 60 + 75, 1e-9);
}

TEST(HistoryStore, CopyHoldsEveryCommittedRowAndNoneOfAWriteUnderWay) {
    // Each file's rows as text, read through a connection of the test's own.
    const auto rowsOf = [](const std::string& path) {
        sqlite3* db = nullptr;
        sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr);
        std::vector<std::string> rows;
        const auto keep = [](void* into, int columns, char** values, char**) {
            std::string row;
            for (int c = 0; c < columns; ++c) row += std::string(values[c] ? values[c] : "NULL") + "|";
            static_cast<std::vector<std::string>*>(into)->push_back(row);
            return 0;
        };
        sqlite3_exec(db, "SELECT * FROM downloads ORDER BY id", keep, &rows, nullptr);
        sqlite3_close(db);
        return rows;
    };
    Station s;
    s.addDownloads();  // in the WAL still: a copy of history.sqlite3's file alone would hold none of them
    sqlite3* writer = nullptr;
    ASSERT_EQ(sqlite3_open(s.folder.path.string().append("/history.sqlite3").c_str(), &writer), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(writer, "BEGIN IMMEDIATE; INSERT INTO downloads (started, port, identity, image_name, "
                                   "file_crc, transcript) VALUES ('2024-05-03', 'p', '', '', '', '')",
                           nullptr, nullptr, nullptr),
              SQLITE_OK);
    const std::string copy = s.folder / "copy.sqlite3";
    const bool copied = s.store->backupTo(copy);
    const auto committed = rowsOf(s.folder / "history.sqlite3");
    sqlite3_exec(writer, "COMMIT", nullptr, nullptr, nullptr);
    sqlite3_close(writer);
    ASSERT_TRUE(copied) << s.store->lastError();

    EXPECT_EQ(committed.size(), s.store->rows({}).size() - 1);  // the write was under way while the copy was made
    EXPECT_EQ(rowsOf(copy), committed);
    EXPECT_EQ(readFile(copy).at(kWriteVersionByte), 1);  // one file, with no WAL to be read beside it
    EXPECT_FALSE(s.store->backupTo(s.folder / "no-such-folder/copy.sqlite3"));
    EXPECT_NE(s.store->lastError().find("no-such-folder/copy.sqlite3"), std::string::npos);
}
