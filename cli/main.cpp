// qbv-flash: downloads one image into every unit named on the command line, one thread per unit, and reports each.
#include <algorithm>
#include <cctype>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <thread>
#include <vector>

#include "Bundle.h"
#include "Console.h"
#include "DoctorReport.h"
#include "DoctorRun.h"
#include "FrameLog.h"
#include "ImageFile.h"
#include "LiveView.h"
#include "Options.h"
#include "PortList.h"
#include "PortListing.h"
#include "PortMatch.h"
#include "Report.h"
#include "SerialPort.h"
#include "TextCodec.h"
#include "UnitRun.h"

namespace {
constexpr const char* kProgram = "qbv-flash";
constexpr auto kTickPeriod = std::chrono::milliseconds(50);
constexpr double kJsonProgressPeriodSeconds = 1.0;
constexpr const char* kLogSuffix = ".log";

using Clock = std::chrono::steady_clock;

void error(const std::string& text) { std::fprintf(stderr, "%s: %s\n", kProgram, text.c_str()); }

// Why a file did not load, in the window's words plus what is wrong with it.
std::string imageProblem(const std::string& path, ImageLoadStatus status) {
    namespace fs = std::filesystem;
    std::error_code ec;
    std::string detail;
    if (status == ImageLoadStatus::OpenError) {
        if (!fs::exists(path, ec)) detail = "no such file";
        else if (fs::is_directory(path, ec)) detail = "a folder";
        else detail = "cannot be read";
    } else if (status == ImageLoadStatus::Invalid) {
        const auto size = fs::file_size(path, ec);
        if (!ec && size == 0) detail = "empty file";
        else if (!ec && size < image::kMinimumSize)
            detail = "shorter than " + std::to_string(image::kMinimumSize) + " bytes";
        else detail = "its check bytes do not match";
    }
    return path + ": " + imageProblemText(status) + (detail.empty() ? "" : " (" + detail + ")");
}

// A file name for a port's transcript: letters and digits kept, everything else an underscore.
std::string logFileName(const std::string& port) {
    std::string name;
    for (const char c : port) name += std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
    while (!name.empty() && name.front() == '_') name.erase(name.begin());
    return name + kLogSuffix;
}

// Events of all units, handed from their threads to the main thread.
struct Event {
    enum class Kind { Phase, Progress, Done } kind;
    std::size_t unit;
    double seconds;
    std::string phase;
    std::uint32_t blocksDone = 0;
};

class EventQueue {
public:
    // Only a unit's end wakes the main thread at once; phases and progress wait for its next look (at most a tick),
    // so a unit's thread never pays for waking it in the middle of an exchange.
    void push(Event event) {
        const bool wake = event.kind == Event::Kind::Done;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            events_.push_back(std::move(event));
        }
        if (wake) ready_.notify_one();
    }
    std::vector<Event> waitAndTake(std::chrono::milliseconds period) {
        std::unique_lock<std::mutex> lock(mutex_);
        ready_.wait_for(lock, period, [this] { return !events_.empty(); });
        std::vector<Event> taken;
        taken.swap(events_);
        return taken;
    }

private:
    std::mutex mutex_;
    std::condition_variable ready_;
    std::vector<Event> events_;
};

double secondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

class UnitWatch : public UnitEvents {
public:
    UnitWatch(EventQueue& queue, std::size_t unit, Clock::time_point start)
        : queue_(queue), unit_(unit), start_(start) {}
    void phaseChanged(const std::string& phase) override { queue_.push({Event::Kind::Phase, unit_, now(), phase}); }
    void progressed(std::uint32_t blocksDone) override {
        queue_.push({Event::Kind::Progress, unit_, now(), "", blocksDone});
    }
    double now() const { return secondsSince(start_); }

private:
    EventQueue& queue_;
    std::size_t unit_;
    Clock::time_point start_;
};

void printJson(const nlohmann::json& event) {
    std::fprintf(stdout, "%s\n", event.dump().c_str());
    std::fflush(stdout);
}

// Every port, or those the --match globs choose: one line each (with a hint under an adapter whose latency timer is
// high), or one JSON object each.
int listPorts(const FlashOptions& o) {
    const std::vector<ports::PortIdentity> listed = ports::listPorts();
    for (const ports::PortIdentity& port : o.matches.empty() ? listed : ports::matchingPorts(listed, o.matches)) {
        if (o.json) {
            printJson(portJson(port));
            continue;
        }
        std::printf("%s\n", portLine(port).c_str());
        const std::string hint = latencyHint(port);
        if (!hint.empty()) std::printf("  %s\n", hint.c_str());
    }
    return exitcode::kSuccess;
}

// The units' ports: those named with --port, then every port the --match globs choose that is not named already.
// None when globs match nothing and no port is named (and says so).
std::optional<std::vector<std::string>> chosenPorts(const FlashOptions& o) {
    std::vector<std::string> chosen = o.ports;
    if (o.matches.empty()) return chosen;
    std::set<std::string> named;
    for (const std::string& port : o.ports) named.insert(ports::canonicalName(port));
    const std::vector<ports::PortIdentity> matched = ports::matchingPorts(ports::listPorts(), o.matches);
    for (const ports::PortIdentity& port : matched) {
        if (named.insert(ports::canonicalName(port.name())).second) chosen.push_back(port.name());
    }
    if (chosen.empty()) {
        std::string patterns;
        for (const std::string& pattern : o.matches) patterns += (patterns.empty() ? "" : ", ") + pattern;
        error("no port matches " + patterns);
        return std::nullopt;
    }
    return chosen;
}

// False (and says so) when a port is given twice; two spellings of one device are the same port.
bool eachPortOnce(const std::vector<std::string>& names) {
    std::set<std::string> seen;
    for (const std::string& name : names) {
        if (!seen.insert(ports::canonicalName(name)).second) {
            error("the port " + name + " is given more than once");
            return false;
        }
    }
    return true;
}

// One transcript per port (or none when no folder is asked for), each open; nothing when one cannot be written.
using Transcripts = std::vector<std::shared_ptr<FrameLog>>;
std::optional<Transcripts> openTranscripts(const FlashOptions& o) {
    Transcripts logs(o.ports.size());
    if (o.logDir.empty()) return logs;
    std::error_code ec;
    std::filesystem::create_directories(o.logDir, ec);
    for (std::size_t i = 0; i < o.ports.size(); ++i) {
        logs[i] = std::make_shared<FrameLog>();
        const std::string path = (std::filesystem::path(o.logDir) / logFileName(o.ports[i])).string();
        if (!logs[i]->open(path)) {
            error("cannot write the transcript " + path);
            return std::nullopt;
        }
    }
    return logs;
}

// The release checks, before any port is opened: the expected SHA-256 and the signature by a release key (beside the
// image or given with --signature). Each refusal is one line.
std::optional<trust::ReleaseFacts> checkRelease(const FlashOptions& o, const ImageLoad& image) {
    std::string why;
    trust::ReleasePolicy policy;
    if (!o.expectedSha256.empty()) {
        const std::optional<std::string> digest = trust::parseSha256(o.expectedSha256, why);
        if (!digest) return error(why), std::nullopt;
        policy.expectedSha256 = *digest;
    }
    std::optional<std::string> signature;
    const std::string signaturePath = o.signatureFile.empty() ? o.image + trust::kSignatureSuffix : o.signatureFile;
    if (!o.releaseKeys.empty()) {
        if (!trust::signaturesChecked()) {
            return error("--release-key: this Windows build cannot check signatures; check the image with "
                         "--expected-sha256 of the signed release"), std::nullopt;
        }
        std::optional<std::vector<trust::PublicKey>> keys = trust::loadKeys(o.releaseKeys, why);
        if (!keys) return error(why), std::nullopt;
        policy.keys = std::move(*keys);
        std::error_code absent;
        if (std::filesystem::exists(signaturePath, absent)) {
            signature = trust::readTextFile(signaturePath, why);
            if (!signature) return error(signaturePath + ": unreadable signature: " + why), std::nullopt;
        }
    }
    std::optional<trust::ReleaseFacts> facts = trust::checkRelease(image.imageData.data(), image.imageData.size(),
                                                                  signature, signaturePath, policy, why);
    if (!facts) error(o.image + ": " + why);
    return facts;
}

// The bound on each unit's download: --timeout, or one derived from the image and the baud rate.
double unitTimeoutSeconds(const FlashOptions& o, const ImageLoad& image) {
    return o.timeoutSeconds > 0 ? o.timeoutSeconds
                                : unitrun::defaultTimeoutSeconds(image.imageSize, image.blockCount, o.baud);
}

// From now on Ctrl-C sets the flag returned instead of ending the process; every unit looks at it between exchanges.
const std::atomic<bool>& catchCtrlC() {
    static std::atomic<bool> interrupted{false};
    console::interruptSets(interrupted);
    return interrupted;
}

// Every unit's download at once, one thread each, while the main thread shows what they tell it.
class FlashRun {
public:
    FlashRun(const FlashOptions& o, const ImageLoad& image, const trust::ReleaseFacts& release, Transcripts logs,
             const std::atomic<bool>& interrupted)
        : o_(o),
          image_(image),
          release_(release),
          logs_(std::move(logs)),
          interrupted_(interrupted),
          timeout_(unitTimeoutSeconds(o, image)),
          start_(Clock::now()),
          view_(stderr, !o.json && console::isLiveTerminal(stderr), o.quiet || o.json, o.ports, image.blockCount),
          results_(o.ports.size()),
          lastJsonProgress_(o.ports.size(), -kJsonProgressPeriodSeconds) {}

    // Announces every unit (a JSON start event each), then starts their threads.
    void startUnits() {
        for (std::size_t i = 0; i < o_.ports.size(); ++i) {
            if (o_.json) printJson(startEvent(o_.ports[i], o_.baud, o_.image, image_, release_));
            watches_.push_back(std::make_unique<UnitWatch>(queue_, i, start_));
            results_[i].port = o_.ports[i];
            results_[i].fileCrc = image_.fileCrc;
        }
        for (std::size_t i = 0; i < o_.ports.size(); ++i) threads_.emplace_back([this, i] { runUnit(i); });
    }

    // The main thread's loop: the units' events as they come, and the live view's redraws in between.
    void showEventsUntilAllEnd() {
        std::size_t running = o_.ports.size();
        while (running > 0) {
            for (const Event& e : queue_.waitAndTake(kTickPeriod)) {
                show(e);
                if (e.kind == Event::Kind::Done) --running;
            }
            view_.tick(secondsSince(start_));
        }
    }

    // Waits for every unit's thread, then draws the view a last time before the final lines.
    void joinUnits() {
        for (std::thread& t : threads_) t.join();
        view_.close(secondsSince(start_));
    }

    const std::vector<UnitResult>& results() const { return results_; }

private:
    // One unit's thread: its serial line (through a transcript when there is one), its run, and why its port failed.
    void runUnit(std::size_t i) {
        std::unique_ptr<BytePort> line = std::make_unique<SerialPort>();
        if (logs_[i]) line = std::make_unique<LoggingBytePort>(std::move(line), logs_[i]);
        UnitRun run(ports::canonicalName(o_.ports[i]), o_.baud, std::move(line), *watches_[i], interrupted_, timeout_);
        results_[i].report = run.run(image_);
        if (results_[i].report.end == UnitEnd::PortFailed) results_[i].portProblem = ports::whyNotOpened(o_.ports[i]);
        queue_.push({Event::Kind::Done, i, watches_[i]->now(), ""});
    }

    void show(const Event& e) {
        switch (e.kind) {
            case Event::Kind::Phase: showPhase(e); break;
            case Event::Kind::Progress: showProgress(e); break;
            case Event::Kind::Done: showEnd(e); break;
        }
    }

    void showPhase(const Event& e) {
        view_.phaseChanged(e.unit, e.phase, e.seconds);
        if (o_.json) printJson(phaseEvent(o_.ports[e.unit], e.phase, e.seconds));
    }

    // The view sees every step; JSON gets one progress event a unit at most once a period.
    void showProgress(const Event& e) {
        view_.progressed(e.unit, e.blocksDone, e.seconds);
        if (o_.json && e.seconds - lastJsonProgress_[e.unit] >= kJsonProgressPeriodSeconds) {
            printJson(progressEvent(o_.ports[e.unit], e.blocksDone, image_.blockCount, e.seconds));
            lastJsonProgress_[e.unit] = e.seconds;
        }
    }

    void showEnd(const Event& e) {
        const UnitResult& result = results_[e.unit];
        view_.finished(e.unit, o_.ports[e.unit] + "  " + outcomeKey(result));
        if (o_.json) printJson(doneEvent(result));
    }

    const FlashOptions& o_;
    const ImageLoad& image_;
    const trust::ReleaseFacts& release_;
    const Transcripts logs_;
    const std::atomic<bool>& interrupted_;
    const double timeout_;
    const Clock::time_point start_;
    EventQueue queue_;
    LiveView view_;
    std::vector<std::unique_ptr<UnitWatch>> watches_;
    std::vector<UnitResult> results_;  // each written by its unit's thread, read once its Done event has come
    std::vector<std::thread> threads_;
    std::vector<double> lastJsonProgress_;
};

// One final line per unit: on stdout, or on stderr after JSON (and there not at all when --quiet).
void printFinalLines(const FlashOptions& o, const std::vector<UnitResult>& results) {
    std::FILE* finalOut = o.json ? stderr : stdout;
    if (!o.json || !o.quiet) {
        for (const UnitResult& r : results) std::fprintf(finalOut, "%s\n", finalLine(r).c_str());
    }
    std::fflush(finalOut);
}

int highestExitCode(const std::vector<UnitResult>& results) {
    int exitCode = exitcode::kSuccess;
    for (const UnitResult& r : results) exitCode = std::max(exitCode, exitCodeOf(r));
    return exitCode;
}

int flash(const FlashOptions& o, const ImageLoad& image, const trust::ReleaseFacts& release) {
    if (!eachPortOnce(o.ports)) return exitcode::kUsage;
    std::optional<Transcripts> logs = openTranscripts(o);
    if (!logs) return exitcode::kUsage;

    FlashRun run(o, image, release, std::move(*logs), catchCtrlC());
    run.startUnits();
    run.showEventsUntilAllEnd();
    run.joinUnits();

    printFinalLines(o, run.results());
    return highestExitCode(run.results());
}

// --doctor: the --list-ports line of a port, its driver, and the whole listing (for the bundle).
ports::PortIdentity identityOf(const std::string& port, const std::vector<ports::PortIdentity>& listed) {
    const std::string canonical = ports::canonicalName(port);
    for (const ports::PortIdentity& p : listed) {
        if (ports::canonicalName(p.device) == canonical) return p;
    }
    ports::PortIdentity unlisted;
    unlisted.device = port;
    return unlisted;
}

std::string listingText(const std::vector<ports::PortIdentity>& listed) {
    std::string text;
    for (const ports::PortIdentity& port : listed) {
        text += portLine(port) + "\n";
        const std::string hint = latencyHint(port);
        if (!hint.empty()) text += "  " + hint + "\n";
    }
    return text;
}

bool writeFile(const std::filesystem::path& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary);
    out << text;
    return static_cast<bool>(out);
}

// 0 when every port has a unit that answered at the baud rate asked for, 4 otherwise.
int doctorExitCode(const std::vector<DoctorPort>& results) {
    return everyUnitAnswered(results) ? exitcode::kSuccess : exitcode::kGaveUp;
}

// The report as one JSON object: {"ports": [...], "exit_code": N}.
nlohmann::json doctorJson(const std::vector<DoctorPort>& results) {
    nlohmann::json list = nlohmann::json::array();
    for (const DoctorPort& port : results) list.push_back(doctorPortJson(port));
    return {{"ports", list}, {"exit_code", doctorExitCode(results)}};
}

// The bundle's files beside the transcripts already in `folder`, then the archive.
bool writeBundle(const FlashOptions& o, const std::string& folder, const std::vector<DoctorPort>& results,
                 const std::vector<ports::PortIdentity>& listed) {
    const std::filesystem::path files = std::filesystem::path(folder) / bundle::kTopFolder;
    std::string system = bundle::systemFacts() + "qbv-flash " + flashVersion() + "\n";
    for (const DoctorPort& port : results) {
        system += "driver of " + port.port + ": " + (port.driver.empty() ? "not told" : port.driver) + "\n";
    }
    const bool written = writeFile(files / "report.txt", doctorText(results)) &&
                         writeFile(files / "report.json", doctorJson(results).dump(2) + "\n") &&
                         writeFile(files / "ports.txt", listingText(listed)) &&
                         writeFile(files / "system.txt", system);
    const std::string why = written ? bundle::pack(folder, o.bundleFile) : "its files could not be written";
    if (!written) {
        std::error_code ec;
        std::filesystem::remove_all(folder, ec);
    }
    if (!why.empty()) error("the bundle " + o.bundleFile + " was not written: " + why);
    return why.empty();
}

// Every port checked at once, one thread each; the report on stdout, the bundle when asked for.
int runDoctor(const FlashOptions& o, const std::vector<std::string>& names) {
    if (!eachPortOnce(names)) return exitcode::kUsage;
    const std::vector<ports::PortIdentity> listed = ports::listPorts();
    const std::string folder = o.bundleFile.empty() ? std::string() : bundle::makeFolder();
    if (!o.bundleFile.empty() && folder.empty()) {
        error("cannot make a folder for the bundle " + o.bundleFile);
        return exitcode::kUsage;
    }
    std::vector<DoctorPort> results(names.size());
    std::vector<std::thread> threads;
    const std::atomic<bool>& interrupted = catchCtrlC();
    for (std::size_t i = 0; i < names.size(); ++i) {
        const ports::PortIdentity identity = identityOf(names[i], listed);
        results[i].port = names[i];
        results[i].identity = portLine(identity);
        results[i].driver = identity.driver;
        std::shared_ptr<FrameLog> transcript;
        if (!folder.empty()) {
            transcript = std::make_shared<FrameLog>();
            transcript->open((std::filesystem::path(folder) / bundle::kTopFolder / ("frames-" + logFileName(names[i])))
                                 .string());
        }
        threads.emplace_back([&, i, transcript] {
            const DoctorRequest request{names[i], o.baud, o.polls, &interrupted};
            runDoctorChecks(request, [] { return std::make_unique<SerialPort>(); }, transcript,
                            [&] { return ports::whyNotOpened(names[i]); }, results[i]);
        });
    }
    for (std::thread& t : threads) t.join();

    if (o.json) printJson(doctorJson(results));
    else std::fputs(doctorText(results).c_str(), stdout);
    std::fflush(stdout);
    if (!folder.empty() && !writeBundle(o, folder, results, listed)) return exitcode::kUsage;
    return interrupted.load() ? exitcode::kInterrupted : doctorExitCode(results);
}
}  // namespace

int main(int argc, char** argv) {
    const ParsedOptions parsed = parseFlashOptions(argc, argv);
    if (!parsed.proceed) {
        if (parsed.exitCode == exitcode::kSuccess) {
            std::fputs(parsed.message.c_str(), stdout);
        } else {
            error(parsed.message);
            std::fprintf(stderr, "Run with --help for more information.\n");
        }
        return parsed.exitCode;
    }
    const FlashOptions& o = parsed.options;
    if (o.mode == FlashOptions::Mode::ListPorts) return listPorts(o);
    if (o.mode == FlashOptions::Mode::Doctor) {
        const std::optional<std::vector<std::string>> units = chosenPorts(o);
        return units ? runDoctor(o, *units) : exitcode::kPortFailed;
    }

    const ImageLoad image = loadImageFile(o.image);
    if (image.status != ImageLoadStatus::Ok) {
        error(imageProblem(o.image, image.status));
        return exitcode::kBadImage;
    }
    const std::optional<trust::ReleaseFacts> release = checkRelease(o, image);
    if (!release) return exitcode::kBadImage;
    if (o.mode == FlashOptions::Mode::Check) {
        if (o.json) printJson(checkEvent(o.image, image, *release));
        else std::fputs(checkLines(image, *release).c_str(), stdout);
        return exitcode::kSuccess;
    }
    const std::optional<std::vector<std::string>> units = chosenPorts(o);
    if (!units) return exitcode::kPortFailed;
    FlashOptions withPorts = o;
    withPorts.ports = *units;
    return flash(withPorts, image, *release);
}
