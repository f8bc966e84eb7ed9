// qbv-station: the production line's station: flashes every unit plugged into its ports and keeps each download on
// record, shown and worked in the browser.
#include <malloc.h>
#include <signal.h>

#include <CLI/CLI.hpp>

#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <fstream>
#include <random>
#include <thread>

#include "DataFolder_posix.h"
#include "PortList.h"
#include "PortListing.h"
#include "ReleaseCheck.h"
#include "Station.h"
#include "TextCodec.h"
#include "UnitFrame.h"
#include "WebServer.h"

namespace {
constexpr const char* kProgram = "qbv-station";
constexpr int kExitUsage = 1, kExitBadImage = 2, kExitRefused = 3;
constexpr const char* kDefaultListen = "127.0.0.1:8377";
constexpr int kTokenBytes = 16;
constexpr unsigned kDefaultStopGraceSeconds = 60;  // how long a stop lets running downloads finish

struct Options {
    std::string image, expectedFileCrc, listen = kDefaultListen, dataFolder, token;
    std::vector<std::string> ports, matches;
    std::uint32_t baud = 38400;
    unsigned stopGraceSeconds = kDefaultStopGraceSeconds;
    unsigned keepDays = station::kDefaultKeepDays;
    std::uint64_t keepMegabytes = station::kDefaultKeepMegabytes;
    std::vector<std::string> releaseKeys;
    std::string signature, tlsCertificate, tlsKey;
};

void say(const std::string& line) { std::fprintf(stderr, "%s: %s\n", kProgram, line.c_str()); }

// glibc keeps what a thread freed in that thread's arena for its next use: a large history answered by one of the
// web's workers would stay with the station for weeks, one worker's share at a time. Few arenas, and what is free is
// handed back to the system every few seconds.
class MemoryKeeper {
public:
    MemoryKeeper() {
        mallopt(M_ARENA_MAX, kArenas);  // before any other thread allocates
        thread_ = std::thread([this] { run(); });
    }
    ~MemoryKeeper() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            stop_ = true;
        }
        wake_.notify_all();
        thread_.join();
    }

private:
    static constexpr int kArenas = 2;
    static constexpr std::chrono::seconds kPeriod{5};
    void run() {
        std::unique_lock<std::mutex> lock(mutex_);
        while (!wake_.wait_for(lock, kPeriod, [this] { return stop_; })) malloc_trim(0);
    }
    std::mutex mutex_;
    std::condition_variable wake_;
    bool stop_ = false;
    std::thread thread_;
};

std::string newToken() {
    std::random_device random;
    std::string token;
    for (int i = 0; i < kTokenBytes; ++i) token += hexWord(static_cast<std::uint16_t>(random() & 0xFF)).substr(2);
    return token;
}

// The ports this machine has, for the refusal to start without any named.
void listPortsTo(std::FILE* out) {
    for (const ports::PortIdentity& port : ports::listPorts()) std::fprintf(out, "  %s\n", portLine(port).c_str());
}

// Why a named port cannot be the station's: held by another program (another station, a terminal program).
std::string heldPort(const std::vector<std::string>& named) {
    for (const std::string& port : named) {
        if (ports::whyNotOpened(port) == "held by another program") return "the port " + port + " is held by another program";
    }
    return "";
}

int serve(const Options& o) {
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);  // before any thread starts: only sigwait below takes them
    MemoryKeeper memory;
    const std::string folder = o.dataFolder.empty() ? station::defaultDataFolder() : o.dataFolder;
    const std::string lockProblem = station::lockDataFolder(folder);
    if (!lockProblem.empty()) return say(lockProblem), kExitRefused;
    std::string why;
    std::optional<HistoryStore> history = HistoryStore::open(folder, why);
    if (!history) return say(why), kExitRefused;
    if (history->interruptedAtOpen() > 0) {
        say(std::to_string(history->interruptedAtOpen()) + " download(s) left without an end recorded as interrupted");
    }
    const std::string held = heldPort(o.ports);
    if (!held.empty()) return say(held), kExitRefused;

    const station::KeepLimits keep{std::chrono::hours(24) * o.keepDays, o.keepMegabytes * station::kBytesPerMegabyte};
    station::StationSettings settings{o.ports, o.matches, o.baud, std::nullopt, folder, keep, say, {}};
    std::uint32_t expected = 0;
    if (!o.expectedFileCrc.empty()) {
        if (o.expectedFileCrc.size() != 4 || std::sscanf(o.expectedFileCrc.c_str(), "%4x", &expected) != 1) {
            return say("--expected-file-crc takes four hex digits"), kExitUsage;
        }
        settings.expectedFileCrc = static_cast<std::uint16_t>(expected);
    }
    std::optional<std::vector<trust::PublicKey>> keys = trust::loadKeys(o.releaseKeys, why);
    if (!keys) return say(why), kExitBadImage;
    settings.releaseKeys = std::move(*keys);
    station::Station st(settings, *history);
    const std::string imageProblem = st.loadImage(o.image, o.signature);
    if (!imageProblem.empty()) return say(o.image + ": " + imageProblem), kExitBadImage;

    const std::size_t colon = o.listen.rfind(':');
    const std::string address = colon == std::string::npos ? o.listen : o.listen.substr(0, colon);
    const int port = colon == std::string::npos ? 8377 : std::atoi(o.listen.c_str() + colon + 1);
    std::string token = o.token;
    if (token.empty() && station::needsToken(address)) token = newToken();
    station::WebServer web(st, address, port, token, {o.tlsCertificate, o.tlsKey});
    const std::string listening = web.start();
    if (!listening.empty()) return say(listening), kExitRefused;
    const bool tls = !o.tlsCertificate.empty();
    if (!tls && station::needsToken(address)) {
        say("the page is served beyond loopback without TLS: its token travels in clear (give --tls-cert and --tls-key)");
    }
    std::printf("%s: %s://%s:%d/%s\n", kProgram, tls ? "https" : "http", address.c_str(), web.port(),
                token.empty() ? "" : ("#token=" + token).c_str());
    std::fflush(stdout);

    std::thread rescans([&st] { st.runRescans(); });
    int signal = 0;
    sigwait(&stopSignals, &signal);
    say("stopping: no download begins any more; those running get up to " + std::to_string(o.stopGraceSeconds) +
        " s to finish");
    const int unfinished = st.drain(std::chrono::seconds(o.stopGraceSeconds));
    if (unfinished > 0) say(std::to_string(unfinished) + " download(s) still running are ended and recorded as interrupted");
    web.stop();
    st.stop();
    rescans.join();
    return 0;
}
}  // namespace

int main(int argc, char** argv) {
    Options o;
    CLI::App app("Flashes every unit plugged into its ports and keeps each download on record, in the browser.",
                 kProgram);
    app.add_option("--image", o.image, "The firmware image")->required();
    app.add_option("--expected-file-crc", o.expectedFileCrc, "Refuse every image whose FILE-CRC is another (XXXX)");
    app.add_option("--port,-p", o.ports, "A unit's serial port; repeatable")->expected(1)
        ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll)->allow_extra_args(false);
    app.add_option("--match,-m", o.matches, "Every port whose by-id name or identity matches this glob; repeatable")
        ->expected(1)->multi_option_policy(CLI::MultiOptionPolicy::TakeAll)->allow_extra_args(false);
    app.add_option("--baud,-b", o.baud, "Baud rate (default 38400)")->check(CLI::IsMember({unit::kBaudRates[0], unit::kBaudRates[1], unit::kBaudRates[2]}));
    app.add_option("--listen", o.listen, "ADDRESS:PORT to serve the page on (default 127.0.0.1:8377)");
    app.add_option("--data", o.dataFolder, "The data folder (default $XDG_STATE_HOME/qbv-station)");
    app.add_option("--stop-grace", o.stopGraceSeconds,
                   "Seconds a stop (SIGTERM, Ctrl-C) lets running downloads finish before it ends them (default 60)");
    app.add_option("--keep-days", o.keepDays, "Transcripts older than this many days are deleted (default 90)");
    app.add_option("--keep-mb", o.keepMegabytes,
                   "The oldest transcripts are deleted while all of them take more than this many MiB (default 1024)");
    app.add_option("--release-key", o.releaseKeys,
                   "A release manager's minisign public key: every image, the first one and each one dropped on the "
                   "page, must carry a valid signature by it (or by another --release-key); repeatable")
        ->expected(1)->multi_option_policy(CLI::MultiOptionPolicy::TakeAll)->allow_extra_args(false);
    app.add_option("--signature", o.signature, "The --image's signature (default: IMAGE.minisig)");
    auto* certificate = app.add_option("--tls-cert", o.tlsCertificate, "Serve the page over TLS with this certificate "
                                                                       "(PEM)");
    auto* key = app.add_option("--tls-key", o.tlsKey, "The TLS certificate's private key (PEM)");
    certificate->needs(key);
    key->needs(certificate);
    app.add_option("--token", o.token, "The token every change must carry (made and printed when another address "
                                       "than loopback needs one)");
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        return app.exit(e);
    }
    if (!o.signature.empty() && o.releaseKeys.empty()) {
        say("--signature needs a --release-key to check it against");
        return kExitUsage;
    }
    if (o.ports.empty() && o.matches.empty()) {
        say("name the units' ports with --port or --match (another serial device must never get the unit's frames); "
            "this machine has:");
        listPortsTo(stderr);
        return kExitUsage;
    }
    return serve(o);
}
