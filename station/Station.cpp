// Station: ports found by name and by glob, one loop thread each; the image kept in the data folder; each download
// recorded at its start and its end.
#include "Station.h"

#include <cerrno>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <random>

#include "PortMatch.h"
#include "ReleaseCheck.h"
#include "SerialPort.h"
#include "TextCodec.h"
#include "TranscriptKeeper.h"

namespace station {
namespace {
namespace fs = std::filesystem;
constexpr const char* kImagesFolder = "images";
constexpr const char* kPartialSuffix = ".partial";
// The largest upload the station reads: far above any unit's firmware. The image check itself would take up to 4 GiB,
// which a browser's upload must not be able to make the station hold in memory.
constexpr std::uint64_t kLargestUploadBytes = 16u * 1024u * 1024u;
constexpr std::size_t kTimeTextSize = 32;
// A copy of the history for a download: DATA/history.sqlite3.copy-XXXXXXXX; any left there by a station that was
// killed while sending one is removed at the next start.
constexpr const char* kCopyPrefix = "history.sqlite3.copy-";
constexpr int kCopyNameTries = 8;  // names already taken, tried before giving up

// A name safe as a file name in the data folder: its last part, letters, digits, '.', '-' and '_' only.
std::string safeName(const std::string& name) {
    std::string last = name.substr(name.find_last_of("/\\") + 1), safe;
    for (const char c : last) safe += std::isalnum(static_cast<unsigned char>(c)) || c == '.' || c == '-' ? c : '_';
    return safe.empty() || safe[0] == '.' ? "image" + safe : safe;
}

std::string utcStamp() {
    const std::time_t now = std::time(nullptr);
    std::tm utc{};
    gmtime_r(&now, &utc);
    char text[kTimeTextSize];
    std::strftime(text, sizeof text, "%Y%m%d-%H%M%S", &utc);
    return text;
}

HistoryFilter filterOf(const HistoryQuery& query) {
    HistoryFilter filter;
    if (!query.day.empty()) filter.day = query.day;
    if (!query.port.empty()) filter.port = query.port;
    if (!query.outcome.empty()) filter.outcome = query.outcome;
    return filter;
}

void removeStaleCopies(const fs::path& folder) {
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(folder, error)) {
        if (entry.path().filename().string().rfind(kCopyPrefix, 0) == 0) fs::remove(entry.path(), error);
    }
}

std::string identityOf(const ports::PortIdentity& port) {
    std::string text = port.vendorProduct;
    if (!port.serialNumber.empty()) text += (text.empty() ? "" : " ") + port.serialNumber;
    return text;
}
}  // namespace

struct Station::Port {
    std::string canonical;
    std::unique_ptr<PortLoop> loop;
    std::thread thread;
};

Station::Station(StationSettings settings, HistoryStore& history)
    : settings_(std::move(settings)), history_(history) {
    removeStaleCopies(settings_.dataFolder);
}

Station::~Station() { stop(); }

void Station::stop() {
    stop_ = true;
    wake_.notify_all();
    std::vector<Port*> all;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        for (auto& port : ports_) all.push_back(port.get());
    }
    for (Port* port : all) port->loop->interrupt();
    for (Port* port : all) {
        if (port->thread.joinable()) port->thread.join();
    }
}

int Station::drain(std::chrono::seconds grace) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        draining_ = true;
        for (auto& port : ports_) port->loop->stopStarting();
    }
    const auto flashing = [this] {
        int running = 0;
        for (const Tile& tile : tiles()) running += tile.state == stateKey(PortState::Flashing) ? 1 : 0;
        return running;
    };
    const auto deadline = std::chrono::steady_clock::now() + grace;
    while (flashing() > 0 && std::chrono::steady_clock::now() < deadline) wait(kDrainLookPeriod);
    return flashing();
}

void Station::wait(std::chrono::milliseconds period) {
    std::unique_lock<std::mutex> lock(waitMutex_);
    wake_.wait_for(lock, period, [this] { return stop_.load(); });
}

std::string Station::loadImage(const std::string& path, const std::string& signaturePath) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return imageProblemText(ImageLoadStatus::OpenError);
    const std::string bytes{std::istreambuf_iterator<char>(in), {}};
    const std::string signatureFile = signaturePath.empty() ? path + trust::kSignatureSuffix : signaturePath;
    std::optional<std::string> signature;
    std::error_code absent;
    if (!settings_.releaseKeys.empty() && fs::exists(signatureFile, absent)) {
        std::string why;
        signature = trust::readTextFile(signatureFile, why);
        if (!signature) return signatureFile + ": unreadable signature: " + why;
    }
    return takeImage(path, bytes, signature, fs::path(signatureFile).filename().string());
}

std::string Station::replaceImage(const std::string& name, const std::string& bytes,
                                  const std::optional<std::string>& signature) {
    for (const Tile& tile : tiles()) {
        if (tile.state == "flashing") return "a download is running";
    }
    return takeImage(name, bytes, signature, fs::path(name).filename().string() + trust::kSignatureSuffix);
}

std::string Station::takeImage(const std::string& name, const std::string& bytes,
                               const std::optional<std::string>& signature, const std::string& signatureName) {
    const auto* data = reinterpret_cast<const std::uint8_t*>(bytes.data());
    ImageLoad image = checkImage(data, bytes.size());
    if (image.status != ImageLoadStatus::Ok) return imageProblemText(image.status);
    if (settings_.expectedFileCrc && image.fileCrc != *settings_.expectedFileCrc) {
        return "the image's FILE-CRC is " + hexWord(image.fileCrc) + ", expected " +
               hexWord(*settings_.expectedFileCrc);
    }
    std::string refused;
    std::optional<trust::ReleaseFacts> release =
        trust::checkRelease(data, bytes.size(), signature, signatureName, {settings_.releaseKeys, ""}, refused);
    if (!release) return refused;
    const fs::path folder = fs::path(settings_.dataFolder) / kImagesFolder;
    const std::string fileName = safeName(name);
    // Written beside its place and renamed once whole: a full disk leaves no half image behind.
    const fs::path kept = folder / fileName, partial = folder / (fileName + kPartialSuffix);
    std::error_code error;
    fs::create_directories(folder, error);
    {
        std::ofstream out(partial, std::ios::binary);
        out << bytes;
        out.close();
        if (!out) error = std::error_code(errno != 0 ? errno : EIO, std::generic_category());
    }
    if (!error) fs::rename(partial, kept, error);
    if (error) {
        std::error_code ignored;
        fs::remove(partial, ignored);
        return "the image cannot be kept in " + folder.string() + ": " + error.message();
    }
    const std::optional<trust::Signer>& signer = release->signer;
    ImageInfo info{fileName,        image.imageSize,     image.blockCount,
                   hexWord(image.fileCrc), release->sha256, !settings_.releaseKeys.empty(),
                   signer ? signer->keyId : "", signer ? signer->trustedComment : ""};
    auto taken = std::make_shared<const StationImage>(StationImage{std::move(image), std::move(info)});
    std::lock_guard<std::mutex> lock(mutex_);
    image_ = std::move(taken);
    return "";
}

void Station::rescan() {
    std::vector<std::pair<ports::PortIdentity, std::string>> chosen;  // each port and the name it is opened by
    const std::vector<ports::PortIdentity> listed = ports::listPorts();
    for (const std::string& name : settings_.ports) {
        ports::PortIdentity named;
        named.device = ports::canonicalName(name);
        for (const ports::PortIdentity& port : listed) {
            if (ports::canonicalName(port.name()) == named.device) named = port;
        }
        if (named.byId.empty() && name != named.device) named.byId = name;  // shown by the name it was given
        chosen.emplace_back(named, name);
    }
    if (!settings_.matches.empty()) {
        for (const ports::PortIdentity& port : ports::matchingPorts(listed, settings_.matches)) {
            chosen.emplace_back(port, port.name());
        }
    }
    std::lock_guard<std::mutex> lock(mutex_);
    for (const auto& [port, name] : chosen) {
        const std::string canonical = port.byId.empty() ? port.device : port.byId;
        bool known = false;
        for (const auto& p : ports_) known = known || p->canonical == canonical;
        if (known || stop_ || draining_) continue;
        Tile tile;
        tile.id = "p" + std::to_string(ports_.size() + 1);
        tile.port = port.name();
        tile.device = port.device;
        tile.adapterSerial = port.serialNumber;
        tile.identity = identityOf(port);
        auto entry = std::make_unique<Port>();
        entry->canonical = canonical;
        entry->loop = std::make_unique<PortLoop>(
            tile, name, settings_.baud, [] { return std::make_unique<SerialPort>(); }, ports::canonicalName, *this);
        PortLoop* loop = entry->loop.get();
        entry->thread = std::thread([this, loop] { loop->run(stop_, [this](std::chrono::milliseconds ms) { wait(ms); }); });
        ports_.push_back(std::move(entry));
    }
}

void Station::runRescans() {
    auto nextKeep = std::chrono::steady_clock::now();
    while (!stop_) {
        rescan();
        if (std::chrono::steady_clock::now() >= nextKeep) {
            keepTranscripts();
            nextKeep = std::chrono::steady_clock::now() + kKeepCheckPeriod;
        }
        wait(kRescanPeriod);
    }
}

void Station::keepTranscripts() {
    const std::vector<std::string> pruned =
        pruneTranscripts(settings_.dataFolder, settings_.keep, [] { return fs::file_time_type::clock::now(); });
    if (!pruned.empty()) history_.markPruned(pruned);
}

std::vector<Tile> Station::tiles() const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<Tile> all;
    for (const auto& port : ports_) all.push_back(port->loop->tile());
    return all;
}

ImageInfo Station::image() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return image_ ? image_->info : ImageInfo{};
}

void Station::onTileChanged(TileListener listener) {
    std::lock_guard<std::mutex> lock(mutex_);
    listener_ = std::move(listener);
}

Station::Port* Station::find(const std::string& id) const {
    std::lock_guard<std::mutex> lock(mutex_);
    for (const auto& port : ports_) {
        if (port->loop->tile().id == id) return port.get();
    }
    return nullptr;
}

bool Station::start(const std::string& id) {
    Port* port = find(id);
    const bool started = port != nullptr && port->loop->requestStart();
    if (started) wake_.notify_all();
    return started;
}

bool Station::retry(const std::string& id) {
    Port* port = find(id);
    const bool started = port != nullptr && port->loop->requestRetry();
    if (started) wake_.notify_all();
    return started;
}

PortCheck Station::checkPort(const std::string& id, int polls) {
    Port* port = find(id);
    if (port == nullptr) return {PortCheck::Result::NoSuchPort, "", {}};
    std::string why;
    std::future<std::optional<DoctorPort>> answer = port->loop->requestCheck(polls, why);
    if (!answer.valid()) return {PortCheck::Result::Refused, why, {}};
    wake_.notify_all();
    const std::optional<DoctorPort> report = answer.get();
    if (!report) {
        const bool flashing = port->loop->state() == PortState::Flashing;
        return {PortCheck::Result::Refused, flashing ? "a download began on this port" : kStoppingWords, {}};
    }
    return {PortCheck::Result::Done, "", doctorPortJson(*report)};
}

int Station::startAll() {
    int started = 0;
    for (const Tile& tile : tiles()) {
        if (tile.state == stateKey(PortState::Ready) && start(tile.id)) ++started;
    }
    return started;
}

std::uint64_t Station::largestImageBytes() const { return kLargestUploadBytes; }

std::string Station::historyJson(const HistoryQuery& query) const {
    std::string text = "[";
    for (const HistoryRow& row : history_.rows(filterOf(query))) {
        // Port names and the unit's words come from outside: a stray byte is replaced, never a thrown exception.
        text += (text.size() > 1 ? "," : "") + toJson(row).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    }
    return text + "]";
}

std::string Station::historyCsv(const HistoryQuery& query) const { return history_.csv(filterOf(query)); }

nlohmann::json Station::todayCounts() const {
    const Counts counts = history_.today();
    nlohmann::json byState = nlohmann::json::object();
    for (const auto& [state, n] : counts.failedByState) byState[std::to_string(state)] = n;
    nlohmann::json hours = nlohmann::json::array();
    for (const HourCounts& hour : counts.perHour) hours.push_back({{"passed", hour.passed}, {"failed", hour.failed}});
    return {{"passed", counts.passed}, {"failed", counts.failed}, {"failed_by_state", byState}, {"hours", hours}};
}

MetricFigures Station::metricFigures() const {
    MetricFigures figures;
    const HistoryStore::Totals totals = history_.totals(kDownloadSecondsBounds);
    for (const auto& [outcome, n] : totals.byOutcome) figures.downloadsByOutcome[outcome] = n;
    for (const auto& [state, n] : totals.failedByState) figures.failedByState[state] = n;
    figures.downloadSeconds = {kDownloadSecondsBounds, {totals.perBucket.begin(), totals.perBucket.end()},
                               totals.seconds};
    for (const Tile& tile : tiles()) ++figures.portsByState[tile.state];
    const ImageInfo shown = image();
    figures.imageName = shown.name;
    figures.imageFileCrc = shown.fileCrc;
    figures.imageSha256 = shown.sha256;
    figures.uptimeSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started_).count();
    return figures;
}

std::optional<std::string> Station::copyHistory(std::string& why) const {
    std::random_device random;
    for (int tries = 0; tries < kCopyNameTries; ++tries) {
        const std::string name = kCopyPrefix + hexWord(static_cast<std::uint16_t>(random())) +
                                 hexWord(static_cast<std::uint16_t>(random()));
        const std::string path = (fs::path(settings_.dataFolder) / name).string();
        std::FILE* made = std::fopen(path.c_str(), "wbx");  // only a name nothing has: a file of our own, empty
        if (made == nullptr) continue;
        std::fclose(made);
        if (history_.backupTo(path)) return path;
        why = history_.lastError();
        std::error_code error;
        fs::remove(path, error);
        return std::nullopt;
    }
    why = "no new file could be made in " + settings_.dataFolder;
    return std::nullopt;
}

std::shared_ptr<const StationImage> Station::currentImage() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return image_;
}

std::int64_t Station::downloadStarted(const Tile& tile, const StationImage& image, std::string& transcriptPath) {
    const std::string transcript = std::string(kTranscriptsFolder) + "/" + utcStamp() + "-" + tile.id + "-" +
                                   std::to_string(++transcriptsBegun_) + ".txt";
    std::error_code error;
    fs::create_directories(fs::path(settings_.dataFolder) / kTranscriptsFolder, error);
    transcriptPath = (fs::path(settings_.dataFolder) / transcript).string();
    DownloadStart start;
    start.port = tile.port, start.device = tile.device, start.identity = tile.identity;
    start.imageName = image.info.name;
    start.fileCrc = image.load.fileCrc;
    start.transcript = transcript;
    start.sha256 = image.info.sha256, start.keyId = image.info.keyId, start.trustedComment = image.info.trustedComment;
    const std::optional<std::int64_t> record = history_.begin(start);
    if (!record) say(tile.port + ": the download's row could not be written: " + history_.lastError());
    return record.value_or(0);
}

void Station::say(const std::string& line) const {
    if (settings_.say) settings_.say(line);
}

std::string Station::downloadEnded(std::int64_t record, const UnitResult& result, const Tile& tile) {
    DownloadEnd end;
    end.outcome = tile.outcome;
    end.message = tile.message;
    if (hasUnitCrc(result)) end.unitCrc = result.report.outcome.unitCrc();
    if (tile.stateNumber != 0) end.state = tile.stateNumber;
    end.blocksSent = result.report.blocksSent;
    end.blocksSkipped = result.report.blocksSkipped;
    for (std::size_t i = 0; i < end.retries.size() && i < result.report.retries.size(); ++i) {
        end.retries[i] = result.report.retries[i];
    }
    if (record != 0 && history_.finish(record, end)) return "";
    const std::string why = history_.lastError();
    say(tile.port + ": the download ended " + end.outcome + " but is not on record: " + why);
    return "not on record: " + why;
}

void Station::tileChanged(const Tile& tile) {
    TileListener listener;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        listener = listener_;
    }
    if (listener) listener(tile);
}
}  // namespace station
