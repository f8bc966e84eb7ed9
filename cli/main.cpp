// qbv-flash: downloads one image into every unit named on the command line, one thread per unit, and reports each.
#include <algorithm>
#include <cctype>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <memory>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "Console.h"
#include "FrameLog.h"
#include "ImageFile.h"
#include "LiveView.h"
#include "Options.h"
#include "PortList.h"
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
        else if (!ec && size < image::kMinimumSize) detail = "shorter than " + std::to_string(image::kMinimumSize) + " bytes";
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

class UnitWatch : public UnitEvents {
public:
    UnitWatch(EventQueue& queue, std::size_t unit, Clock::time_point start) : queue_(queue), unit_(unit), start_(start) {}
    void phaseChanged(const std::string& phase) override { queue_.push({Event::Kind::Phase, unit_, now(), phase}); }
    void progressed(std::uint32_t blocksDone) override {
        queue_.push({Event::Kind::Progress, unit_, now(), "", blocksDone});
    }
    double now() const { return std::chrono::duration<double>(Clock::now() - start_).count(); }

private:
    EventQueue& queue_;
    std::size_t unit_;
    Clock::time_point start_;
};

void printJson(const nlohmann::json& event) {
    std::fprintf(stdout, "%s\n", event.dump().c_str());
    std::fflush(stdout);
}

int listPorts() {
    for (const std::string& port : ports::listPorts()) std::printf("%s\n", port.c_str());
    return exitcode::kSuccess;
}

int flash(const FlashOptions& o, const ImageLoad& image) {
    std::set<std::string> seen;
    for (const std::string& port : o.ports) {
        if (!seen.insert(ports::canonicalName(port)).second) {
            error("the port " + port + " is given more than once");
            return exitcode::kUsage;
        }
    }
    std::vector<std::shared_ptr<FrameLog>> logs(o.ports.size());
    if (!o.logDir.empty()) {
        std::error_code ec;
        std::filesystem::create_directories(o.logDir, ec);
        for (std::size_t i = 0; i < o.ports.size(); ++i) {
            logs[i] = std::make_shared<FrameLog>();
            const std::string path = (std::filesystem::path(o.logDir) / logFileName(o.ports[i])).string();
            if (!logs[i]->open(path)) {
                error("cannot write the transcript " + path);
                return exitcode::kUsage;
            }
        }
    }

    const double timeout = o.timeoutSeconds > 0
                               ? o.timeoutSeconds
                               : flashopt::defaultTimeoutSeconds(image.imageSize, image.blockCount, o.baud);
    static std::atomic<bool> interrupted{false};
    console::interruptSets(interrupted);
    const Clock::time_point start = Clock::now();
    EventQueue queue;
    LiveView view(stderr, !o.json && console::isLiveTerminal(stderr), o.quiet || o.json, o.ports, image.blockCount);

    std::vector<std::unique_ptr<UnitWatch>> watches;
    std::vector<UnitResult> results(o.ports.size());
    std::vector<std::thread> threads;
    for (std::size_t i = 0; i < o.ports.size(); ++i) {
        if (o.json) printJson(startEvent(o.ports[i], o.baud, o.image, image));
        watches.push_back(std::make_unique<UnitWatch>(queue, i, start));
        results[i].port = o.ports[i];
        results[i].fileCrc = image.fileCrc;
    }
    for (std::size_t i = 0; i < o.ports.size(); ++i) {
        threads.emplace_back([&, i] {
            std::unique_ptr<BytePort> line = std::make_unique<SerialPort>();
            if (logs[i]) line = std::make_unique<LoggingBytePort>(std::move(line), logs[i]);
            UnitRun run(ports::canonicalName(o.ports[i]), o.baud, std::move(line), *watches[i], interrupted, timeout);
            results[i].report = run.run(image);
            if (results[i].report.end == UnitEnd::PortFailed) results[i].portProblem = ports::whyNotOpened(o.ports[i]);
            queue.push({Event::Kind::Done, i, watches[i]->now(), ""});
        });
    }

    std::vector<double> lastJsonProgress(o.ports.size(), -kJsonProgressPeriodSeconds);
    std::vector<std::uint32_t> pendingProgress(o.ports.size(), 0);
    std::size_t running = o.ports.size();
    while (running > 0) {
        for (const Event& e : queue.waitAndTake(kTickPeriod)) {
            const std::string& port = o.ports[e.unit];
            switch (e.kind) {
                case Event::Kind::Phase:
                    view.phaseChanged(e.unit, e.phase, e.seconds);
                    if (o.json) printJson(phaseEvent(port, e.phase, e.seconds));
                    break;
                case Event::Kind::Progress:
                    view.progressed(e.unit, e.blocksDone, e.seconds);
                    pendingProgress[e.unit] = e.blocksDone;
                    if (o.json && e.seconds - lastJsonProgress[e.unit] >= kJsonProgressPeriodSeconds) {
                        printJson(progressEvent(port, e.blocksDone, image.blockCount, e.seconds));
                        lastJsonProgress[e.unit] = e.seconds;
                    }
                    break;
                case Event::Kind::Done:
                    view.finished(e.unit, port + "  " + outcomeKey(results[e.unit]));
                    if (o.json) printJson(doneEvent(results[e.unit]));
                    --running;
                    break;
            }
        }
        view.tick(watches[0]->now());
    }
    for (std::thread& t : threads) t.join();
    view.close(watches[0]->now());

    int exitCode = exitcode::kSuccess;
    std::FILE* finalOut = o.json ? stderr : stdout;
    for (const UnitResult& r : results) {
        if (!o.json || !o.quiet) std::fprintf(finalOut, "%s\n", finalLine(r).c_str());
        exitCode = std::max(exitCode, exitCodeOf(r));
    }
    std::fflush(finalOut);
    return exitCode;
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
    if (o.mode == FlashOptions::Mode::ListPorts) return listPorts();

    const ImageLoad image = loadImageFile(o.image);
    if (image.status != ImageLoadStatus::Ok) {
        error(imageProblem(o.image, image.status));
        return exitcode::kBadImage;
    }
    if (o.mode == FlashOptions::Mode::Check) {
        if (o.json) printJson(checkEvent(o.image, image));
        else std::printf("FILE-CRC:%s\n", hexWord(image.fileCrc).c_str());
        return exitcode::kSuccess;
    }
    return flash(o, image);
}
