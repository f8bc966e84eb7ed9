// HistoryStore: the downloads table in SQLite, written through prepared statements with bound values only.
#include "HistoryStore.h"

#include <sqlite3.h>

#include <filesystem>
#include <mutex>
#include <set>
#include <system_error>

#include "TextCodec.h"

namespace {

constexpr int kBusyWaitMs = 5000;  // how long a statement waits for another connection's write to end
constexpr const char* kInterruptedKey = "interrupted";
constexpr const char* kInterruptedMessage = "interrupted (the station stopped)";
constexpr const char* kCsvLineEnd = "\r\n";

// WAL with synchronous=FULL: a committed row is on the disk before the commit returns.
constexpr const char* kSchema = R"(
PRAGMA journal_mode = WAL;
PRAGMA synchronous = FULL;
CREATE TABLE IF NOT EXISTS downloads (
    id INTEGER PRIMARY KEY,
    started TEXT NOT NULL,
    ended TEXT,
    port TEXT NOT NULL,
    identity TEXT NOT NULL,
    image_name TEXT NOT NULL,
    file_crc TEXT NOT NULL,
    unit_crc TEXT,
    outcome TEXT CHECK (outcome IN ('succeeded', 'crc_mismatch', 'flagged', 'gave_up', 'stalled', 'timed_out',
                                    'port_gone', 'port_failed', 'interrupted')),
    message TEXT NOT NULL DEFAULT '',
    state INTEGER,
    blocks_sent INTEGER NOT NULL DEFAULT 0,
    blocks_skipped INTEGER NOT NULL DEFAULT 0,
    retries TEXT NOT NULL DEFAULT '{}',
    transcript TEXT NOT NULL);
CREATE INDEX IF NOT EXISTS downloads_by_start ON downloads (started);
)";

// Columns added since the first release, in order: a history made before gains them at open, a new one too.
struct AddedColumn {
    const char* name;
    const char* definition;
};
constexpr std::array<AddedColumn, 5> kAddedColumns = {{
    {"device", "TEXT NOT NULL DEFAULT ''"},  // the device the port's name led to when the download began
    {"transcript_pruned", "TEXT"},           // when the transcript was deleted to keep the disk within its limits
    {"sha256", "TEXT NOT NULL DEFAULT ''"},  // the image's SHA-256
    {"key_id", "TEXT NOT NULL DEFAULT ''"},  // the release key that signed it, '' when unsigned
    {"trusted_comment", "TEXT NOT NULL DEFAULT ''"},
}};

// :now is the clock in milliseconds since 1970; SQLite writes it as UTC ISO-8601 with milliseconds.
#define QBV_NOW_TEXT "strftime('%Y-%m-%dT%H:%M:%fZ', :now / 1000.0, 'unixepoch')"
#define QBV_TODAY "date(:now / 1000.0, 'unixepoch')"

constexpr const char* kCompleteInterrupted =
    "UPDATE downloads SET ended = " QBV_NOW_TEXT ", outcome = :outcome, message = :message WHERE ended IS NULL";
constexpr const char* kBegin =
    "INSERT INTO downloads (started, port, device, identity, image_name, file_crc, transcript, sha256, key_id, "
    "trusted_comment) VALUES (" QBV_NOW_TEXT ", :port, :device, :identity, :image_name, :file_crc, :transcript, "
    ":sha256, :key_id, :trusted_comment)";
constexpr const char* kFinish =
    "UPDATE downloads SET ended = " QBV_NOW_TEXT ", outcome = :outcome, message = :message, unit_crc = :unit_crc, "
    "state = :state, blocks_sent = :blocks_sent, blocks_skipped = :blocks_skipped, retries = :retries "
    "WHERE id = :id AND ended IS NULL";
constexpr const char* kMarkPruned =
    "UPDATE downloads SET transcript_pruned = " QBV_NOW_TEXT " WHERE transcript = :transcript "
    "AND transcript_pruned IS NULL";
constexpr const char* kRows =
    "SELECT id, started, ended, port, device, identity, image_name, file_crc, unit_crc, outcome, message, state, blocks_sent, "
    "blocks_skipped, retries, transcript, transcript_pruned, sha256, key_id, trusted_comment FROM downloads "
    "WHERE (:day IS NULL OR (started >= :day AND started < date(:day, '+1 day'))) "
    "AND (:port IS NULL OR port = :port) AND (:outcome IS NULL OR outcome = :outcome) "
    "ORDER BY started DESC, id DESC";
constexpr const char* kToday =
    "SELECT outcome = 'succeeded', state, CAST(substr(started, 12, 2) AS INTEGER), count(*) FROM downloads "
    "WHERE started >= " QBV_TODAY " AND started < date(" QBV_TODAY ", '+1 day') "
    "AND outcome IS NOT NULL AND outcome <> 'interrupted' GROUP BY 1, 2, 3";
#undef QBV_NOW_TEXT
#undef QBV_TODAY

// kRows' columns, in its order: the CSV header and toJson's names.
constexpr std::array<const char*, 20> kColumns = {
    "id",          "started",        "ended",    "port",       "device",            "identity", "image_name",
    "file_crc",    "unit_crc",       "outcome",  "message",    "state",             "blocks_sent",
    "blocks_skipped", "retries",     "transcript", "transcript_pruned", "sha256",   "key_id",   "trusted_comment"};

struct Finalize {
    void operator()(sqlite3_stmt* statement) const { sqlite3_finalize(statement); }
};
using Statement = std::unique_ptr<sqlite3_stmt, Finalize>;

int slot(sqlite3_stmt* s, const char* name) { return sqlite3_bind_parameter_index(s, name); }
void setParam(sqlite3_stmt* s, const char* name, const std::string& text) {
    sqlite3_bind_text(s, slot(s, name), text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
}
void setParam(sqlite3_stmt* s, const char* name, std::int64_t value) { sqlite3_bind_int64(s, slot(s, name), value); }
template <typename T>
void setParam(sqlite3_stmt* s, const char* name, const std::optional<T>& value) {
    if (value) setParam(s, name, *value);  // an unbound parameter is NULL
}

std::string textAt(sqlite3_stmt* s, int column) {
    const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(s, column));
    return text ? std::string(text, static_cast<std::size_t>(sqlite3_column_bytes(s, column))) : std::string();
}
std::optional<std::string> optionalTextAt(sqlite3_stmt* s, int column) {
    if (sqlite3_column_type(s, column) == SQLITE_NULL) return std::nullopt;
    return textAt(s, column);
}
std::optional<int> optionalIntAt(sqlite3_stmt* s, int column) {
    if (sqlite3_column_type(s, column) == SQLITE_NULL) return std::nullopt;
    return sqlite3_column_int(s, column);
}

HistoryRow rowAt(sqlite3_stmt* s) {
    HistoryRow row;
    int c = 0;
    row.id = sqlite3_column_int64(s, c++);
    row.started = textAt(s, c++);
    row.ended = optionalTextAt(s, c++);
    row.port = textAt(s, c++);
    row.device = textAt(s, c++);
    row.identity = textAt(s, c++);
    row.imageName = textAt(s, c++);
    row.fileCrc = textAt(s, c++);
    row.unitCrc = optionalTextAt(s, c++);
    row.outcome = optionalTextAt(s, c++);
    row.message = textAt(s, c++);
    row.state = optionalIntAt(s, c++);
    row.blocksSent = sqlite3_column_int64(s, c++);
    row.blocksSkipped = sqlite3_column_int64(s, c++);
    row.retries = textAt(s, c++);
    row.transcript = textAt(s, c++);
    row.transcriptPruned = optionalTextAt(s, c++);
    row.sha256 = textAt(s, c++);
    row.keyId = textAt(s, c++);
    row.trustedComment = textAt(s, c++);
    return row;
}

std::string retriesText(const DownloadEnd& end) {
    nlohmann::json retries = nlohmann::json::object();
    for (std::size_t i = 0; i < end.retries.size(); ++i) retries[std::to_string(i + 1)] = end.retries[i];
    return retries.dump();
}

void addCount(Counts& counts, bool passed, int state, int hour, int downloads) {
    (passed ? counts.passed : counts.failed) += downloads;
    if (!passed) counts.failedByState[state] += downloads;
    if (hour < 0 || hour >= history::kHoursPerDay) return;
    (passed ? counts.perHour[hour].passed : counts.perHour[hour].failed) += downloads;
}

std::string csvField(const nlohmann::json& value) {
    const std::string text = value.is_null() ? "" : value.is_string() ? value.get<std::string>() : value.dump();
    if (text.find_first_of(",\"\r\n") == std::string::npos) return text;
    std::string quoted = "\"";
    for (char c : text) quoted += c == '"' ? std::string("\"\"") : std::string(1, c);
    return quoted + "\"";
}

std::string csvLine(const std::function<std::string(const char*)>& field) {
    std::string line;
    for (const char* column : kColumns) line += (line.empty() ? "" : ",") + field(column);
    return line + kCsvLineEnd;
}

}  // namespace

struct HistoryStore::Impl {
    sqlite3* db = nullptr;
    HistoryClock clock;
    int interruptedAtOpen = 0;
    mutable std::mutex mutex;
    mutable std::string error;

    ~Impl() { sqlite3_close_v2(db); }

    std::int64_t nowMs() const {
        return std::chrono::duration_cast<std::chrono::milliseconds>(clock().time_since_epoch()).count();
    }
    bool keepSqliteError() const {  // false, with SQLite's message kept for lastError()
        error = sqlite3_errmsg(db);
        return false;
    }
    Statement prepare(const char* sql) const {
        sqlite3_stmt* statement = nullptr;
        if (sqlite3_prepare_v2(db, sql, -1, &statement, nullptr) != SQLITE_OK) keepSqliteError();
        return Statement(statement);
    }
    bool run(const Statement& statement) const {
        return statement && sqlite3_step(statement.get()) == SQLITE_DONE ? true : keepSqliteError();
    }
    bool open(const std::string& path) {
        if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX,
                            nullptr) != SQLITE_OK)
            return keepSqliteError();  // with no connection at all, SQLite's message is "out of memory"
        sqlite3_busy_timeout(db, kBusyWaitMs);
        if (sqlite3_exec(db, kSchema, nullptr, nullptr, nullptr) != SQLITE_OK) return keepSqliteError();
        return addColumns() && completeInterrupted();
    }
    bool addColumns() {
        std::set<std::string> present;
        const Statement info = prepare("PRAGMA table_info(downloads)");
        if (!info) return false;
        const int kNameColumn = 1;
        while (sqlite3_step(info.get()) == SQLITE_ROW) present.insert(textAt(info.get(), kNameColumn));
        for (const AddedColumn& column : kAddedColumns) {
            if (present.count(column.name) != 0) continue;
            const std::string sql =
                std::string("ALTER TABLE downloads ADD COLUMN ") + column.name + " " + column.definition;
            if (sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr) != SQLITE_OK) return keepSqliteError();
        }
        return true;
    }
    bool completeInterrupted() {
        const Statement s = prepare(kCompleteInterrupted);
        if (!s) return false;
        setParam(s.get(), ":now", nowMs());
        setParam(s.get(), ":outcome", std::string(kInterruptedKey));
        setParam(s.get(), ":message", std::string(kInterruptedMessage));
        if (!run(s)) return false;
        interruptedAtOpen = sqlite3_changes(db);
        return true;
    }
};

std::optional<HistoryStore> HistoryStore::open(const std::string& dataFolder, std::string& why, HistoryClock clock) {
    std::error_code fault;
    std::filesystem::create_directories(dataFolder, fault);
    if (fault) {
        why = dataFolder + ": " + fault.message();
        return std::nullopt;
    }
    auto impl = std::make_unique<Impl>();
    impl->clock = clock ? std::move(clock) : HistoryClock(std::chrono::system_clock::now);
    const std::string path = (std::filesystem::path(dataFolder) / history::kFileName).string();
    if (!impl->open(path)) {
        why = path + ": " + impl->error;
        return std::nullopt;
    }
    return HistoryStore(std::move(impl));
}

HistoryStore::HistoryStore(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
HistoryStore::HistoryStore(HistoryStore&&) noexcept = default;
HistoryStore& HistoryStore::operator=(HistoryStore&&) noexcept = default;
HistoryStore::~HistoryStore() = default;

int HistoryStore::interruptedAtOpen() const { return impl_->interruptedAtOpen; }

std::string HistoryStore::lastError() const {
    const std::lock_guard<std::mutex> lock(impl_->mutex);
    return impl_->error;
}

std::optional<std::int64_t> HistoryStore::begin(const DownloadStart& start) {
    const std::lock_guard<std::mutex> lock(impl_->mutex);
    const Statement s = impl_->prepare(kBegin);
    if (!s) return std::nullopt;
    setParam(s.get(), ":now", impl_->nowMs());
    setParam(s.get(), ":port", start.port);
    setParam(s.get(), ":device", start.device);
    setParam(s.get(), ":identity", start.identity);
    setParam(s.get(), ":image_name", start.imageName);
    setParam(s.get(), ":file_crc", hexWord(start.fileCrc));
    setParam(s.get(), ":transcript", start.transcript);
    setParam(s.get(), ":sha256", start.sha256);
    setParam(s.get(), ":key_id", start.keyId);
    setParam(s.get(), ":trusted_comment", start.trustedComment);
    if (!impl_->run(s)) return std::nullopt;
    return sqlite3_last_insert_rowid(impl_->db);
}

bool HistoryStore::finish(std::int64_t id, const DownloadEnd& end) {
    const std::lock_guard<std::mutex> lock(impl_->mutex);
    const Statement s = impl_->prepare(kFinish);
    if (!s) return false;
    setParam(s.get(), ":id", id);
    setParam(s.get(), ":now", impl_->nowMs());
    setParam(s.get(), ":outcome", end.outcome);
    setParam(s.get(), ":message", end.message);
    if (end.unitCrc) setParam(s.get(), ":unit_crc", hexWord(*end.unitCrc));
    setParam(s.get(), ":state", end.state);
    setParam(s.get(), ":blocks_sent", std::int64_t{end.blocksSent});
    setParam(s.get(), ":blocks_skipped", std::int64_t{end.blocksSkipped});
    setParam(s.get(), ":retries", retriesText(end));
    if (!impl_->run(s)) return false;
    if (sqlite3_changes(impl_->db) == 1) return true;
    impl_->error = "no running download has id " + std::to_string(id);
    return false;
}

bool HistoryStore::markPruned(const std::vector<std::string>& transcripts) {
    const std::lock_guard<std::mutex> lock(impl_->mutex);
    if (sqlite3_exec(impl_->db, "BEGIN", nullptr, nullptr, nullptr) != SQLITE_OK) return impl_->keepSqliteError();
    const Statement s = impl_->prepare(kMarkPruned);
    bool marked = static_cast<bool>(s);
    for (std::size_t i = 0; marked && i < transcripts.size(); ++i) {
        sqlite3_reset(s.get());
        setParam(s.get(), ":now", impl_->nowMs());
        setParam(s.get(), ":transcript", transcripts[i]);
        marked = impl_->run(s);
    }
    sqlite3_exec(impl_->db, marked ? "COMMIT" : "ROLLBACK", nullptr, nullptr, nullptr);
    return marked;
}

std::vector<HistoryRow> HistoryStore::rows(const HistoryFilter& filter) const {
    const std::lock_guard<std::mutex> lock(impl_->mutex);
    std::vector<HistoryRow> rows;
    const Statement s = impl_->prepare(kRows);
    if (!s) return rows;
    setParam(s.get(), ":day", filter.day);
    setParam(s.get(), ":port", filter.port);
    setParam(s.get(), ":outcome", filter.outcome);
    int step = SQLITE_ROW;
    while ((step = sqlite3_step(s.get())) == SQLITE_ROW) rows.push_back(rowAt(s.get()));
    if (step != SQLITE_DONE) impl_->keepSqliteError();
    return rows;
}

std::string HistoryStore::csv(const HistoryFilter& filter) const {
    std::string text = csvLine([](const char* column) { return std::string(column); });
    for (const HistoryRow& row : rows(filter)) {
        const nlohmann::json fields = toJson(row);
        text += csvLine([&](const char* column) {
            const auto field = fields.find(column);
            return field == fields.end() ? std::string() : csvField(*field);
        });
    }
    return text;
}

Counts HistoryStore::today() const {
    const std::lock_guard<std::mutex> lock(impl_->mutex);
    Counts counts;
    const Statement s = impl_->prepare(kToday);
    if (!s) return counts;
    setParam(s.get(), ":now", impl_->nowMs());
    int step = SQLITE_ROW;
    while ((step = sqlite3_step(s.get())) == SQLITE_ROW) {
        addCount(counts, sqlite3_column_int(s.get(), 0) != 0, optionalIntAt(s.get(), 1).value_or(history::kNoState),
                 sqlite3_column_int(s.get(), 2), sqlite3_column_int(s.get(), 3));
    }
    if (step != SQLITE_DONE) impl_->keepSqliteError();
    return counts;
}

nlohmann::json toJson(const HistoryRow& row) {
    const auto orNull = [](const auto& value) { return value ? nlohmann::json(*value) : nlohmann::json(); };
    nlohmann::json retries = nlohmann::json::parse(row.retries, nullptr, false);
    if (retries.is_discarded()) retries = row.retries;
    return {{"id", row.id},
            {"started", row.started},
            {"ended", orNull(row.ended)},
            {"port", row.port},
            {"device", row.device},
            {"identity", row.identity},
            {"image_name", row.imageName},
            {"file_crc", row.fileCrc},
            {"unit_crc", orNull(row.unitCrc)},
            {"outcome", orNull(row.outcome)},
            {"message", row.message},
            {"state", orNull(row.state)},
            {"blocks_sent", row.blocksSent},
            {"blocks_skipped", row.blocksSkipped},
            {"retries", retries},
            {"transcript", row.transcript},
            {"transcript_pruned", orNull(row.transcriptPruned)},
            {"sha256", row.sha256},
            {"key_id", row.keyId},
            {"trusted_comment", row.trustedComment}};
}

namespace {
constexpr const char* kSucceededKey = "succeeded";
constexpr const char* kCopyJournal = "PRAGMA journal_mode = DELETE";  // the copy is one file, without a WAL beside it

// Each ended download's seconds to the millisecond, and its bucket: the first of the bounds (?1, ?2, ...) that its
// seconds do not pass, one past the last when they pass every one. With a CASE the totals of 100,000 downloads take
// about 0.3 s on a 2-core PC, half as long as with a look through the bounds as a JSON array.
std::string totalsQuery(std::size_t bounds) {
    std::string bucket = bounds == 0 ? "0" : "CASE";
    for (std::size_t i = 0; i < bounds; ++i) {
        bucket += " WHEN seconds <= ?" + std::to_string(i + 1) + " THEN " + std::to_string(i);
    }
    if (bounds > 0) bucket += " ELSE " + std::to_string(bounds) + " END";
    return "SELECT outcome, state, " + bucket + ", count(*), sum(seconds) FROM (SELECT outcome, state, "
           "round((julianday(ended) - julianday(started)) * 86400000.0) / 1000.0 AS seconds FROM downloads "
           "WHERE outcome IS NOT NULL) GROUP BY 1, 2, 3";
}

struct Close {
    void operator()(sqlite3* db) const { sqlite3_close_v2(db); }
};
using Connection = std::unique_ptr<sqlite3, Close>;

Connection connect(const char* path, int flags) {
    sqlite3* db = nullptr;
    sqlite3_open_v2(path, &db, flags, nullptr);  // a connection even when it fails, for its message
    if (db != nullptr) sqlite3_busy_timeout(db, kBusyWaitMs);
    return Connection(db);
}

// A copy of the history as of one moment: the backup's read on a connection of its own sees the WAL's committed rows
// and none of a write under way, and holds no download's write back.
std::string copyOf(const char* livePath, const std::string& copyPath) {
    const Connection live = connect(livePath, SQLITE_OPEN_READONLY);
    if (sqlite3_errcode(live.get()) != SQLITE_OK) return sqlite3_errmsg(live.get());
    const Connection copy = connect(copyPath.c_str(), SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE);
    if (sqlite3_errcode(copy.get()) != SQLITE_OK) return sqlite3_errmsg(copy.get());
    sqlite3_backup* backup = sqlite3_backup_init(copy.get(), "main", live.get(), "main");
    if (backup == nullptr) return sqlite3_errmsg(copy.get());
    const int step = sqlite3_backup_step(backup, -1);
    if (sqlite3_backup_finish(backup) != SQLITE_OK || step != SQLITE_DONE) return sqlite3_errmsg(copy.get());
    const bool single = sqlite3_exec(copy.get(), kCopyJournal, nullptr, nullptr, nullptr) == SQLITE_OK;
    return single ? "" : sqlite3_errmsg(copy.get());
}
}  // namespace

HistoryStore::Totals HistoryStore::totals(const std::vector<double>& secondsBounds) const {
    const std::lock_guard<std::mutex> lock(impl_->mutex);
    Totals totals;
    totals.perBucket.assign(secondsBounds.size() + 1, 0);
    const Statement s = impl_->prepare(totalsQuery(secondsBounds.size()).c_str());
    if (!s) return totals;
    for (std::size_t i = 0; i < secondsBounds.size(); ++i) {
        sqlite3_bind_double(s.get(), static_cast<int>(i + 1), secondsBounds[i]);
    }
    int step = SQLITE_ROW;
    while ((step = sqlite3_step(s.get())) == SQLITE_ROW) {
        const std::string outcome = textAt(s.get(), 0);
        const std::int64_t downloads = sqlite3_column_int64(s.get(), 3);
        totals.byOutcome[outcome] += downloads;
        if (outcome == kInterruptedKey) continue;
        const int state = optionalIntAt(s.get(), 1).value_or(history::kNoState);
        if (outcome != kSucceededKey) totals.failedByState[state] += downloads;
        const auto bucket = static_cast<std::size_t>(sqlite3_column_int64(s.get(), 2));
        totals.perBucket[bucket < secondsBounds.size() ? bucket : secondsBounds.size()] += downloads;
        totals.seconds += sqlite3_column_double(s.get(), 4);
    }
    if (step != SQLITE_DONE) impl_->keepSqliteError();
    return totals;
}

bool HistoryStore::backupTo(const std::string& path) const {
    const std::string why = copyOf(sqlite3_db_filename(impl_->db, "main"), path);
    if (why.empty()) return true;
    const std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->error = path + ": " + why;
    return false;
}
