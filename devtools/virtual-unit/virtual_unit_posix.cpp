// virtual-unit: serves UnitCore on a pseudo-terminal, with reply delays, line pacing, an adapter's latency timer, a
// transcript and a memory image.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <optional>
#include <string>
#include <vector>

#include "Options.h"
#include "UnitCore.h"

namespace {

using vunit::Event;

constexpr std::int64_t kNanosPerMicro = 1'000;
constexpr std::int64_t kNanosPerMilli = 1'000'000;
constexpr std::int64_t kNanosPerSecond = 1'000'000'000;
constexpr std::int64_t kBitsPerByteOnLine = 11;         // start, 8 data, parity, stop
constexpr std::size_t kReadChunkBytes = 4096;
constexpr std::size_t kMaxQueuedBytes = 1u << 20;  // replies waiting for the line beyond this are lost (bytes)
constexpr std::size_t kQueueEntryOverheadBytes = 64;  // bookkeeping charged per queued reply against that limit
constexpr std::int64_t kHangupBackoffNs = 10 * kNanosPerMilli;  // pause if the pty reports a hangup (nanoseconds)

std::int64_t monotonicNs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<std::int64_t>(ts.tv_sec) * kNanosPerSecond + ts.tv_nsec;
}

// The time `bytes` take on a line at `baud` bits per second, 11 bit times each.
std::int64_t lineTimeNs(std::size_t bytes, std::uint64_t baud) {
    return static_cast<std::int64_t>(bytes) * kBitsPerByteOnLine * kNanosPerSecond / static_cast<std::int64_t>(baud);
}

void complain(const std::string& what) {
    std::fprintf(stderr, "virtual-unit: %s\n", what.c_str());
}

void complainErrno(const std::string& what) {
    complain(what + ": " + std::strerror(errno));
}

// Frames and line events, one flushed line each.
class Transcript {
public:
    bool open(const std::string& path) {
        file_ = std::fopen(path.c_str(), "w");
        return file_ != nullptr;
    }
    void write(std::int64_t sinceStartNs, const Event& event) {
        if (file_ == nullptr) {
            return;
        }
        const std::string line = vunit::transcriptLine(sinceStartNs / kNanosPerMicro, event);
        std::fprintf(file_, "%s\n", line.c_str());
        std::fflush(file_);
    }
    // The line settings the client set, written before the first frame received with them.
    void noteLineSettings(std::int64_t sinceStartNs, const std::string& settings) {
        if (file_ == nullptr || settings == lastSettings_) {
            return;
        }
        lastSettings_ = settings;
        note(sinceStartNs, "LINE", settings);
    }
    // A line that is not a frame: "<seconds> KIND TEXT".
    void note(std::int64_t sinceStartNs, const char* kind, const std::string& text) {
        if (file_ == nullptr) {
            return;
        }
        const std::int64_t us = sinceStartNs / kNanosPerMicro;
        std::fprintf(file_, "%lld.%06lld %s %s\n", static_cast<long long>(us / vunit::kMicrosPerSecond),
                     static_cast<long long>(us % vunit::kMicrosPerSecond), kind, text.c_str());
        std::fflush(file_);
    }
    void close() {
        if (file_ != nullptr) {
            std::fclose(file_);
            file_ = nullptr;
        }
    }
    ~Transcript() { close(); }

private:
    std::FILE* file_ = nullptr;
    std::string lastSettings_;
};

// Written beside the target then renamed, so a reader never sees half an image.
bool saveMemory(const std::string& path, const std::vector<std::uint8_t>& memory) {
    const std::string temp = path + ".tmp";
    std::FILE* f = std::fopen(temp.c_str(), "wb");
    if (f == nullptr) {
        complainErrno("cannot write " + temp);
        return false;
    }
    const bool written = memory.empty() || std::fwrite(memory.data(), 1, memory.size(), f) == memory.size();
    const bool closed = std::fclose(f) == 0;
    if (!written || !closed) {
        complain("cannot write " + temp);
        std::remove(temp.c_str());
        return false;
    }
    if (std::rename(temp.c_str(), path.c_str()) != 0) {
        complainErrno("cannot rename " + temp + " to " + path);
        std::remove(temp.c_str());
        return false;
    }
    return true;
}

// Bytes waiting to go onto the line, in order; with a baud rate, each byte takes 11 bit times. With a latency timer,
// each byte that has crossed the line waits in the adapter for the timer's next tick before the client can read it.
class LineWriter {
public:
    LineWriter(int fd, std::uint64_t baud, std::int64_t latencyNs, Transcript& transcript, std::int64_t startNs)
        : fd_(fd), baud_(baud), latencyNs_(latencyNs), transcript_(transcript), startNs_(startNs) {}

    void enqueue(std::int64_t dueNs, Event::Kind kind, std::vector<std::uint8_t> bytes) {
        if (bytes.empty()) {
            return;
        }
        const std::size_t cost = bytes.size() + kQueueEntryOverheadBytes;
        if (queuedBytes_ + cost > kMaxQueuedBytes) {
            if (!warnedFull_) {
                complain("replies are piling up faster than the line drains them; dropping some");
                warnedFull_ = true;
            }
            return;
        }
        queuedBytes_ += cost;
        queue_.push_back({dueNs, kind, std::move(bytes), 0, 0, false});
    }

    // Writes every byte whose time has come.
    void service(std::int64_t nowNs) {
        while (!queue_.empty()) {
            Pending& p = queue_.front();
            if (!p.started) {
                if (nowNs < p.dueNs) {
                    return;
                }
                p.started = true;
                p.startNs = std::max(p.dueNs, lineFreeNs_);
            }
            const std::size_t due = bytesDueBy(p, nowNs);
            if (due > p.sent) {
                if (p.sent == 0) {
                    transcript_.write(nowNs - startNs_, Event{p.kind, p.bytes});
                }
                if (!writeAll(p.bytes.data() + p.sent, due - p.sent)) {
                    p.sent = p.bytes.size();  // the line does not wait for a listener: the rest is lost
                } else {
                    p.sent = due;
                }
            }
            if (p.sent < p.bytes.size()) {
                return;
            }
            lineFreeNs_ = byteDeadline(p, p.bytes.size() - 1);
            queuedBytes_ -= p.bytes.size() + kQueueEntryOverheadBytes;
            queue_.pop_front();
        }
    }

    // When service() next has work, if ever.
    std::optional<std::int64_t> nextDeadlineNs() const {
        if (queue_.empty()) {
            return std::nullopt;
        }
        const Pending& p = queue_.front();
        if (!p.started) {
            return std::max(p.dueNs, lineFreeNs_);
        }
        return handOverNs(byteDeadline(p, p.sent));
    }

private:
    struct Pending {
        std::int64_t dueNs;
        Event::Kind kind;
        std::vector<std::uint8_t> bytes;
        std::size_t sent;
        std::int64_t startNs;
        bool started;
    };

    // Byte i of a burst has fully arrived at the far end (stop bit sent) at start + (i + 1) byte times; computed from
    // the start of the burst, so the pace never drifts. The last byte's deadline is when the line falls idle.
    std::int64_t byteDeadline(const Pending& p, std::size_t i) const {
        if (baud_ == 0) {
            return p.startNs;
        }
        const std::int64_t bitTimes = static_cast<std::int64_t>(i + 1) * kBitsPerByteOnLine;
        return p.startNs + (bitTimes * kNanosPerSecond + static_cast<std::int64_t>(baud_) - 1) /
                               static_cast<std::int64_t>(baud_);
    }

    // When a byte that has crossed the line at `crossedNs` reaches the client: at once, or with a latency timer at its
    // next tick; the timer runs freely from the unit's start, so the hold is from 0 to just under one period.
    std::int64_t handOverNs(std::int64_t crossedNs) const {
        if (latencyNs_ == 0) {
            return crossedNs;
        }
        const std::int64_t ticks = (crossedNs - startNs_ + latencyNs_ - 1) / latencyNs_;
        return startNs_ + ticks * latencyNs_;
    }

    std::size_t bytesDueBy(const Pending& p, std::int64_t nowNs) const {
        std::size_t n = p.sent;
        while (n < p.bytes.size() && handOverNs(byteDeadline(p, n)) <= nowNs) {
            ++n;
        }
        return n;
    }

    bool writeAll(const std::uint8_t* bytes, std::size_t count) {
        while (count > 0) {
            const ssize_t w = ::write(fd_, bytes, count);
            if (w < 0) {
                if (errno == EINTR) {
                    continue;
                }
                if (!warned_) {
                    complainErrno("write to the line failed, bytes lost");
                    warned_ = true;
                }
                return false;
            }
            bytes += w;
            count -= static_cast<std::size_t>(w);
        }
        return true;
    }

    int fd_;
    std::uint64_t baud_;
    std::int64_t latencyNs_;  // the adapter's latency timer period; 0 = no adapter
    Transcript& transcript_;
    std::int64_t startNs_;
    std::int64_t lineFreeNs_ = 0;
    std::deque<Pending> queue_;
    std::size_t queuedBytes_ = 0;
    bool warned_ = false;
    bool warnedFull_ = false;
};

// "<baud> <stop bits>" as the client set them on the slave (a pty carries no parity and always 8 data bits).
std::string lineSettingsOf(int slave) {
    static const std::pair<speed_t, unsigned> kSpeeds[] = {
        {B1200, 1200}, {B2400, 2400}, {B4800, 4800}, {B9600, 9600}, {B19200, 19200}, {B38400, 38400},
        {B57600, 57600}, {B115200, 115200}};
    termios t{};
    if (tcgetattr(slave, &t) != 0) {
        return "unknown";
    }
    const speed_t speed = cfgetospeed(&t);
    std::string baud = "other";
    for (const auto& [code, bitsPerSecond] : kSpeeds) {
        if (code == speed) baud = std::to_string(bitsPerSecond);
    }
    return baud + ((t.c_cflag & CSTOPB) != 0 ? " 2" : " 1");
}

bool setRaw(int fd) {
    termios t{};
    if (tcgetattr(fd, &t) != 0) {
        return false;
    }
    cfmakeraw(&t);
    return tcsetattr(fd, TCSANOW, &t) == 0;
}

bool makeLink(const std::string& linkPath, const std::string& target) {
    struct stat st{};
    if (lstat(linkPath.c_str(), &st) == 0) {
        if (S_ISDIR(st.st_mode)) {
            complain(linkPath + " is a directory");
            return false;
        }
        if (unlink(linkPath.c_str()) != 0) {
            complainErrno("cannot replace " + linkPath);
            return false;
        }
    }
    if (symlink(target.c_str(), linkPath.c_str()) != 0) {
        complainErrno("cannot create link " + linkPath);
        return false;
    }
    return true;
}

// Removes the link only while it still points at this unit's slave.
void removeLink(const std::string& linkPath, const std::string& target) {
    char buf[4096];
    const ssize_t n = readlink(linkPath.c_str(), buf, sizeof buf - 1);
    if (n < 0) {
        return;
    }
    buf[n] = '\0';
    if (target == buf) {
        unlink(linkPath.c_str());
    }
}

struct Pty {
    int master = -1;
    int slave = -1;  // held for the unit's whole life so the master never sees a hangup
    std::string slavePath;
};

bool openPty(Pty& pty) {
    pty.master = posix_openpt(O_RDWR | O_NOCTTY);
    if (pty.master < 0) {
        complainErrno("posix_openpt");
        return false;
    }
    if (grantpt(pty.master) != 0 || unlockpt(pty.master) != 0) {
        complainErrno("grantpt/unlockpt");
        return false;
    }
    const char* name = ptsname(pty.master);
    if (name == nullptr) {
        complainErrno("ptsname");
        return false;
    }
    pty.slavePath = name;
    pty.slave = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (pty.slave < 0) {
        complainErrno("cannot open " + pty.slavePath);
        return false;
    }
    if (!setRaw(pty.slave) || !setRaw(pty.master)) {
        complainErrno("cannot set raw mode");
        return false;
    }
    const int flags = fcntl(pty.master, F_GETFL);
    if (flags < 0 || fcntl(pty.master, F_SETFL, flags | O_NONBLOCK) != 0 ||
        fcntl(pty.master, F_SETFD, FD_CLOEXEC) != 0) {
        complainErrno("fcntl on the master");
        return false;
    }
    return true;
}

timespec toTimespec(std::int64_t ns) {
    timespec ts{};
    ts.tv_sec = static_cast<time_t>(ns / kNanosPerSecond);
    ts.tv_nsec = static_cast<long>(ns % kNanosPerSecond);
    return ts;
}

// How long ppoll may wait from `nowNs` for `deadlineNs`: without a deadline, for ever; once it has passed, not at all.
std::optional<timespec> timeoutUntil(std::optional<std::int64_t> deadlineNs, std::int64_t nowNs) {
    if (!deadlineNs) {
        return std::nullopt;
    }
    return toTimespec(std::max<std::int64_t>(*deadlineNs - nowNs, 0));
}

// Blocks SIGINT, SIGTERM and SIGHUP and returns a descriptor that reads them instead, or -1; SIGPIPE is ignored.
int blockStopSignals() {
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGHUP);
    if (sigprocmask(SIG_BLOCK, &stopSignals, nullptr) != 0) {
        complainErrno("sigprocmask");
        return -1;
    }
    const int sigFd = signalfd(-1, &stopSignals, SFD_CLOEXEC | SFD_NONBLOCK);
    if (sigFd < 0) {
        complainErrno("signalfd");
        return -1;
    }
    signal(SIGPIPE, SIG_IGN);
    return sigFd;
}

// Opens the transcript if one was asked for.
bool openTranscript(const std::string& path, Transcript& transcript) {
    if (!path.empty() && !transcript.open(path)) {
        complainErrno("cannot open transcript " + path);
        return false;
    }
    return true;
}

// Prints the slave path, creates the link if asked, then prints READY: clients open the port only after that line.
bool announce(const Pty& pty, const std::string& linkPath) {
    std::printf("%s\n", pty.slavePath.c_str());
    std::fflush(stdout);
    if (!linkPath.empty() && !makeLink(linkPath, pty.slavePath)) {
        return false;
    }
    std::printf("READY\n");
    std::fflush(stdout);
    return true;
}

// The unit at work on an announced pty: feeds what it reads to the core and carries out what the core asks for,
// until a stop signal arrives or the line disappears (the fault mix or --vanish-after); then cleans up.
class Session {
public:
    Session(const vunit::Options& options, const Pty& pty, int sigFd, Transcript& transcript, std::int64_t startNs)
        : options_(options), pty_(pty), sigFd_(sigFd), transcript_(transcript), startNs_(startNs),
          core_(options.unit),
          line_(pty.master, options.baud, static_cast<std::int64_t>(options.latencyMs) * kNanosPerMilli, transcript,
                startNs),
          delayNs_(static_cast<std::int64_t>(options.delayMs) * kNanosPerMilli), chunk_(kReadChunkBytes) {}

    // Serves the line until a stop signal arrives, the line disappears or ppoll fails.
    void serve() {
        while (!stop_ && !vanished_) {
            const std::int64_t now = monotonicNs();
            handle(core_.tick(sinceStartUs(now)), now);
            line_.service(now);
            if (!awaitAndTake(now)) {
                return;
            }
        }
    }

    // Whether the line disappeared (the fault mix or --vanish-after) rather than a stop signal ending the session.
    bool vanished() const { return vanished_; }

    // Writes the memory image, removes the link, closes the transcript and every descriptor.
    void shutDown() {
        saveMemoryIfAsked();
        if (!options_.linkPath.empty()) {
            removeLink(options_.linkPath, pty_.slavePath);
        }
        transcript_.close();
        close(pty_.slave);
        close(pty_.master);
        close(sigFd_);
    }

private:
    // Waits for bytes, a stop signal or the next deadline and takes what came; false if ppoll failed.
    bool awaitAndTake(std::int64_t nowNs) {
        const std::optional<timespec> timeout = timeoutUntil(nextDeadlineNs(), nowNs);
        pollfd fds[2] = {{pty_.master, POLLIN, 0}, {sigFd_, POLLIN, 0}};
        if (ppoll(fds, 2, timeout ? &*timeout : nullptr, nullptr) < 0) {
            if (errno == EINTR) {
                return true;
            }
            complainErrno("ppoll");
            return false;
        }
        if (fds[1].revents & POLLIN) {
            takeSignals();
        }
        if (fds[0].revents & POLLIN) {
            readLine();
        } else if (fds[0].revents & (POLLHUP | POLLERR)) {
            backOffAfterHangup();
        }
        return true;
    }

    std::int64_t sinceStartUs(std::int64_t ns) const { return (ns - startNs_) / kNanosPerMicro; }

    // The sooner of the line writer's next byte and the core's stall timeout, if either.
    std::optional<std::int64_t> nextDeadlineNs() const {
        std::optional<std::int64_t> deadline = line_.nextDeadlineNs();
        if (const auto stall = core_.nextDeadlineUs()) {
            const std::int64_t stallNs = startNs_ + *stall * kNanosPerMicro;
            deadline = deadline ? std::min(*deadline, stallNs) : stallNs;
        }
        return deadline;
    }

    // Any stop signal ends the session once the loop comes round.
    void takeSignals() {
        signalfd_siginfo info{};
        while (read(sigFd_, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
            stop_ = true;
        }
    }

    // Feeds what the client wrote to the core, stamped with the time it was read.
    void readLine() {
        const ssize_t n = read(pty_.master, chunk_.data(), chunk_.size());
        if (n > 0) {
            const std::int64_t now = monotonicNs();
            if (misheard(static_cast<std::size_t>(n), now)) {
                return;
            }
            handle(core_.receive(chunk_.data(), static_cast<std::size_t>(n), sinceStartUs(now)), now);
        }
    }

    // --strict-baud: bytes sent at another baud rate than the unit's --baud are only framing errors to its UART, so
    // they never reach the frame receiver; each such read is a GARBLED line after the line settings it came with.
    bool misheard(std::size_t count, std::int64_t nowNs) {
        if (!options_.strictBaud || options_.baud == 0) {
            return false;
        }
        const std::string settings = lineSettingsOf(pty_.slave);
        if (settings.rfind(std::to_string(options_.baud) + " ", 0) == 0) {
            return false;
        }
        transcript_.noteLineSettings(nowNs - startNs_, settings);
        transcript_.note(nowNs - startNs_, "GARBLED", std::to_string(count) + " bytes");
        return true;
    }

    // Not expected while the slave is held open; back off rather than spin.
    static void backOffAfterHangup() {
        const timespec pause = toTimespec(kHangupBackoffNs);
        nanosleep(&pause, nullptr);
    }

    // Carries out the core's events in order; none once the line has disappeared.
    void handle(const std::vector<Event>& events, std::int64_t nowNs) {
        for (const Event& e : events) {
            if (vanished_) {
                return;
            }
            switch (e.kind) {
                case Event::Kind::In:
                    noteReceived(e, nowNs);
                    break;
                case Event::Kind::Bad:
                case Event::Kind::Drop:
                case Event::Kind::Fault:
                    transcript_.write(nowNs - startNs_, e);
                    break;
                case Event::Kind::Noise:
                case Event::Kind::Out:
                    schedule(e, nowNs);
                    break;
                case Event::Kind::Vanish:
                    vanished_ = true;
                    break;
                case Event::Kind::MemorySaved:
                    saveMemoryIfAsked();
                    break;
            }
        }
    }

    // A good frame: logged after the line settings it came with; with --pace-received, the reply waits its line time.
    void noteReceived(const Event& e, std::int64_t nowNs) {
        receivedLineNs_ = options_.paceReceived && options_.baud != 0 ? lineTimeNs(e.bytes.size(), options_.baud) : 0;
        transcript_.noteLineSettings(nowNs - startNs_, lineSettingsOf(pty_.slave));
        transcript_.write(nowNs - startNs_, e);
    }

    // Reply bytes leave after --delay-ms and the received frame's line time, never before the piece queued before
    // them; a piece of a split reply comes `delayUs` after the piece before it.
    void schedule(const Event& e, std::int64_t nowNs) {
        pieceDueNs_ = std::max(pieceDueNs_, nowNs + delayNs_ + receivedLineNs_) + e.delayUs * kNanosPerMicro;
        line_.enqueue(pieceDueNs_, e.kind, e.bytes);
    }

    void saveMemoryIfAsked() const {
        if (!options_.memoryOutPath.empty()) {
            saveMemory(options_.memoryOutPath, core_.memory());
        }
    }

    const vunit::Options& options_;
    const Pty& pty_;
    int sigFd_;
    Transcript& transcript_;
    std::int64_t startNs_;
    vunit::UnitCore core_;
    LineWriter line_;
    std::int64_t delayNs_;
    std::vector<std::uint8_t> chunk_;
    std::int64_t receivedLineNs_ = 0;  // the last frame's own line time, charged to its reply (--pace-received)
    std::int64_t pieceDueNs_ = 0;      // when the last reply piece queued is due
    bool stop_ = false;                // a stop signal arrived
    bool vanished_ = false;            // the line disappeared: close it and end
};

int run(const vunit::Options& options) {
    const std::int64_t startNs = monotonicNs();
    const int sigFd = blockStopSignals();
    if (sigFd < 0) {
        return EXIT_FAILURE;
    }
    Transcript transcript;
    Pty pty;
    if (!openTranscript(options.transcriptPath, transcript) || !openPty(pty) || !announce(pty, options.linkPath)) {
        return EXIT_FAILURE;
    }
    Session session(options, pty, sigFd, transcript, startNs);
    session.serve();
    session.shutDown();
    if (session.vanished()) {
        std::printf("VANISHED\n");  // after the link is gone and the pty closed
        std::fflush(stdout);
    }
    return EXIT_SUCCESS;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string program = argc > 0 ? argv[0] : "virtual-unit";
    std::vector<std::string> args(argv + (argc > 0 ? 1 : 0), argv + argc);
    const vunit::ParseResult parsed = vunit::parseOptions(args);
    if (!parsed.ok) {
        std::fprintf(stderr, "virtual-unit: %s\n%s", parsed.error.c_str(), vunit::usageText(program).c_str());
        return 2;
    }
    if (parsed.options.help) {
        std::printf("%s", vunit::usageText(program).c_str());
        return EXIT_SUCCESS;
    }
    return run(parsed.options);
}
