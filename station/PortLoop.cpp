// PortLoop: a turn is a status poll or a whole download; the tile says where the port is and how its last download
// ended.
#include "PortLoop.h"

#include "DoctorRun.h"
#include "FrameLog.h"
#include "PortList.h"
#include "StatusText.h"
#include "TextCodec.h"
#include "UnitCommands.h"
#include "UnitRun.h"

namespace station {
namespace {
constexpr double kBlockKilobytes = unit::kBlockSize / 1000.0;
constexpr std::chrono::milliseconds kProgressPeriod{100};  // the tile's progress is published at most this often

std::string statusWordOf(const ByteBuffer& reply) {
    const std::optional<std::string> text = statusTextForReply(reply, DownloadState::Idle);
    if (text && !text->empty()) return *text;
    return reply.size() > unit::kCodeIndex ? "status " + hexWord(reply[unit::kCodeIndex]).substr(2) : "status ?";
}

// A download's phases and progress, onto the tile.
class TileWatch : public UnitEvents {
public:
    TileWatch(std::function<void(const std::function<void(Tile&)>&)> change, std::uint32_t blocksTotal)
        : change_(std::move(change)), blocksTotal_(blocksTotal), start_(std::chrono::steady_clock::now()) {}
    void phaseChanged(const std::string& phase) override {
        change_([&](Tile& t) { t.status = phase; });
    }
    void progressed(std::uint32_t blocksDone) override {
        const auto now = std::chrono::steady_clock::now();
        if (now - lastShown_ < kProgressPeriod && blocksDone < blocksTotal_) return;
        lastShown_ = now;
        const double seconds = std::chrono::duration<double>(now - start_).count();
        const double rate = seconds > 0 ? blocksDone * kBlockKilobytes / seconds : 0;
        change_([&](Tile& t) {
            t.blocksDone = blocksDone;
            t.kbPerSecond = rate;
            t.etaSeconds = rate > 0 ? (blocksTotal_ - blocksDone) * kBlockKilobytes / rate : 0;
        });
    }

private:
    std::function<void(const std::function<void(Tile&)>&)> change_;
    std::uint32_t blocksTotal_;
    std::chrono::steady_clock::time_point start_;
    std::chrono::steady_clock::time_point lastShown_{};
};
}  // namespace

const char* stateKey(PortState state) {
    switch (state) {
        case PortState::Waiting: return "waiting";
        case PortState::Ready: return "ready";
        case PortState::NotReady: return "not_ready";
        case PortState::Flashing: return "flashing";
        case PortState::Passed: return "passed";
        case PortState::Failed: return "failed";
        case PortState::Gone: return "gone";
    }
    return "gone";
}

PortLoop::PortLoop(Tile tile, std::string name, std::uint32_t baud, LineMaker makeLine, DeviceOf deviceOf,
                   PortHost& host)
    : name_(std::move(name)),
      baud_(baud),
      makeLine_(std::move(makeLine)),
      deviceOf_(std::move(deviceOf)),
      host_(host),
      tile_(std::move(tile)) {
    tile_.state = stateKey(state_);
}

std::chrono::milliseconds PortLoop::step() {
    int polls = 0;
    {
        std::lock_guard<std::mutex> lock(checkMutex_);
        std::swap(polls, checkPolls_);
    }
    if (polls > 0) {
        check(polls);
        return kPollPeriod;
    }
    if (startRequested_.exchange(false) && !noNewDownloads_) {
        download();
        return kPollPeriod;
    }
    if (line_ && deviceOf_(name_) != lineDevice_) dropPollingLine();  // the name leads elsewhere now
    if (!line_ && !openPollingLine()) return kReopenPeriod;
    return afterPoll(line_->exchange(buildFrame(UnitCommand::StatusRequest)));
}

std::string PortLoop::deviceNow() {
    const std::string device = deviceOf_(name_);
    bool changed = false;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        changed = tile_.device != device;
        tile_.device = device;
    }
    if (changed) publish();
    return device;
}

void PortLoop::dropPollingLine() {
    line_->close();
    line_.reset();
    lineDevice_.clear();
}

void PortLoop::run(const std::atomic<bool>& stop, const std::function<void(std::chrono::milliseconds)>& wait) {
    while (!stop) wait(step());
    if (line_) line_->close();
    {
        std::lock_guard<std::mutex> lock(checkMutex_);
        loopEnded_ = true;
    }
    endCheck(std::nullopt);
}

bool PortLoop::openPollingLine() {
    const std::string device = deviceNow();
    auto line = std::make_unique<FrameExchange>(makeLine_());
    if (!line->open(device, baud_, unit::kDataBits)) {
        line->close();
        setState(PortState::Gone, ports::whyNotOpened(device));
        return false;
    }
    line_ = std::move(line);
    lineDevice_ = device;
    if (state() == PortState::Gone) setState(PortState::Waiting);
    return true;
}

std::chrono::milliseconds PortLoop::afterPoll(const FrameReply& reply) {
    if (reply.result == ExchangeResult::LineGone) {
        dropPollingLine();
        missedPolls_ = 0;
        setState(PortState::Gone, "the port went away");
        return kReopenPeriod;
    }
    const PortState now = state();
    if (reply.result != ExchangeResult::Reply) {
        if (now != PortState::Waiting && ++missedPolls_ >= kMissedPollsUnplugged) setState(PortState::Waiting);
        return kPollPeriod;
    }
    missedPolls_ = 0;
    if (now == PortState::Passed || now == PortState::Failed) return kPollPeriod;  // the same unit, still there
    if (!isDisable(reply.frame)) {
        setState(PortState::NotReady, statusWordOf(reply.frame));
    } else if (noNewDownloads_) {
        setState(PortState::Ready, kStoppingWords);
    } else if (host_.manual()) {
        setState(PortState::Ready, statusWordOf(reply.frame));
    } else {
        download();
    }
    return kPollPeriod;
}

bool PortLoop::requestStart() {
    if (noNewDownloads_) return false;
    const PortState now = state();
    if (now != PortState::Ready && now != PortState::NotReady) return false;
    startRequested_ = true;
    return true;
}

bool PortLoop::requestRetry() {
    if (noNewDownloads_ || state() != PortState::Failed) return false;
    startRequested_ = true;
    return true;
}

std::future<std::optional<DoctorPort>> PortLoop::requestCheck(int polls, std::string& why) {
    std::lock_guard<std::mutex> lock(checkMutex_);  // before the state: a download begun after it ends the check
    why.clear();
    if (noNewDownloads_ || loopEnded_) why = kStoppingWords;
    else if (state() == PortState::Flashing) why = "a download runs on this port";
    else if (checkAnswer_) why = "a check of this port already runs";
    if (!why.empty()) return {};
    checkPolls_ = polls;
    checkAnswer_.emplace();
    return checkAnswer_->get_future();
}

// The polling line is let go for the check's own lines (one per baud rate tried); the next turn opens it again.
void PortLoop::check(int polls) {
    if (line_) dropPollingLine();
    const std::string device = deviceNow();
    DoctorPort report;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        report.port = tile_.port;
        report.identity = tile_.identity.empty() ? tile_.port : tile_.port + "  " + tile_.identity;
    }
    const DoctorRequest request{device, baud_, polls, &checksEnd_};
    runDoctorChecks(request, makeLine_, nullptr, [&] { return ports::whyNotOpened(device); }, report);
    endCheck(std::move(report));
}

void PortLoop::endCheck(std::optional<DoctorPort> report) {
    std::lock_guard<std::mutex> lock(checkMutex_);
    if (!checkAnswer_) return;
    checkAnswer_->set_value(std::move(report));
    checkAnswer_.reset();
    checkPolls_ = 0;
}

void PortLoop::download() {
    const std::shared_ptr<const StationImage> taken = host_.currentImage();
    if (!taken) return;
    const ImageLoad& image = taken->load;
    if (line_) dropPollingLine();
    const std::string device = deviceNow();
    {
        std::lock_guard<std::mutex> lock(mutex_);
        state_ = PortState::Flashing;
        tile_.state = stateKey(state_);
        tile_.status.clear(), tile_.outcome.clear(), tile_.message.clear(), tile_.unitCrc.clear();
        tile_.stateNumber = 0, tile_.blocksDone = 0, tile_.kbPerSecond = 0, tile_.etaSeconds = 0;
        tile_.blocksTotal = image.blockCount;
        tile_.fileCrc = hexWord(image.fileCrc);
    }
    endCheck(std::nullopt);  // a check asked for as the download began waits no longer
    publish();
    std::string transcriptPath;
    const std::int64_t record = host_.downloadStarted(tile(), *taken, transcriptPath);
    std::unique_ptr<BytePort> line = makeLine_();
    auto log = std::make_shared<FrameLog>();
    if (!transcriptPath.empty() && log->open(transcriptPath)) line = std::make_unique<LoggingBytePort>(std::move(line), log);

    TileWatch watch([this](const std::function<void(Tile&)>& change) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            change(tile_);
        }
        publish();
    }, image.blockCount);
    const double timeout = unitrun::defaultTimeoutSeconds(image.imageSize, image.blockCount, baud_);
    UnitRun run(device, baud_, std::move(line), watch, interrupted_, timeout);
    UnitResult result{tile().port, run.run(image), "", image.fileCrc};
    if (result.report.end == UnitEnd::PortFailed) result.portProblem = ports::whyNotOpened(device);
    const bool transcriptFailed = !transcriptPath.empty() && (!log->isOpen() || log->writeFailed());
    showEnd(result, transcriptFailed ? kTranscriptFailedWords : "");
    addNote(host_.downloadEnded(record, result, tile()));
}

// Words about the record ("not on record: ...") follow the outcome's on the tile.
void PortLoop::addNote(const std::string& note) {
    if (note.empty()) return;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        tile_.message += (tile_.message.empty() ? "" : "; ") + note;
    }
    publish();
}

void PortLoop::showEnd(const UnitResult& result, const std::string& note) {
    missedPolls_ = 0;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        const std::string key = outcomeKey(result);
        state_ = key == "succeeded" ? PortState::Passed
                 : result.report.end == UnitEnd::PortGone ? PortState::Gone
                                                          : PortState::Failed;
        tile_.state = stateKey(state_);
        tile_.status.clear();
        tile_.outcome = key;
        tile_.message = outcomeWords(result) + (note.empty() ? "" : "; " + note);
        tile_.stateNumber = result.report.lastState == DownloadState::Idle ? 0 : stateNumber(result.report.lastState);
        tile_.unitCrc = hasUnitCrc(result) ? hexWord(result.report.outcome.unitCrc()) : "";
        tile_.blocksDone = result.report.blocksDone;
        tile_.etaSeconds = 0;
    }
    publish();
}

// Waiting clears what the last unit left on the tile; the other states keep it.
void PortLoop::setState(PortState state, const std::string& status) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (state == state_ && status == tile_.status) return;
        state_ = state;
        tile_.state = stateKey(state);
        tile_.status = status;
        if (state == PortState::Waiting) {
            tile_.outcome.clear(), tile_.message.clear(), tile_.unitCrc.clear();
            tile_.stateNumber = 0, tile_.blocksDone = 0, tile_.kbPerSecond = 0, tile_.etaSeconds = 0;
        }
    }
    publish();
}

void PortLoop::publish() { host_.tileChanged(tile()); }

Tile PortLoop::tile() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return tile_;
}

PortState PortLoop::state() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return state_;
}
}  // namespace station
