// qbv-flash itself against virtual units on ptys: downloads, several units at once, bad input, Ctrl-C, and --doctor.
#include <gtest/gtest.h>
#include <sys/file.h>
#include <fcntl.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <sstream>

#include <nlohmann/json.hpp>

#include "TempFolder.h"
#include "VirtualUnitProcess_posix.h"

namespace {
namespace fs = std::filesystem;

const fs::path kFolder = fs::temp_directory_path() / ("qbv-flash-test-" + std::to_string(getpid()));
constexpr int kImageBytes = 20000;  // 82 blocks, some of them blank
constexpr int kOneBlockBytes = 200;  // reaches the verify wait in a dozen exchanges, however slow the machine

// A virtual unit, with what it received and what its memory holds once it ended.
struct Unit : VirtualUnit {
    using VirtualUnit::VirtualUnit;
    bool received(const std::string& hex) { return readFile(transcript).find(" IN " + hex) != std::string::npos; }
    bool holdsImage(const std::string& image) {
        stop();
        return readFile(memory).substr(0, image.size()) == image;
    }
};

struct Flash {
    std::string out, err;
    int exitCode;
};

pid_t startFlash(const std::string& args) {
    return spawn(QBV_FLASH_PATH " " + args + " >" + (kFolder / "out").string() + " 2>" + (kFolder / "err").string());
}

Flash finish(pid_t pid, double limitSeconds = 60) {
    const int code = waitFor(pid, limitSeconds);
    return {readFile(kFolder / "out"), readFile(kFolder / "err"), code};
}

Flash flash(const std::string& args) { return finish(startFlash(args)); }

// From the unit's transcript ("<seconds> OUT <bytes>" for each reply written, "<seconds> IN <bytes>" for each frame
// read): each status request's time since the reply before it, in seconds.
std::vector<double> pollWaits(const std::string& transcript) {
    std::istringstream lines(transcript);
    std::vector<double> waits;
    double at = 0, lastReply = -1;
    for (std::string kind, bytes; lines >> at >> kind && std::getline(lines, bytes);) {
        if (kind == "OUT") lastReply = at;
        if (kind == "IN" && bytes == " FC 05 11 27 56" && lastReply >= 0) waits.push_back(at - lastReply);
    }
    return waits;
}

class FlashUnits : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        fs::create_directories(kFolder);
        ASSERT_EQ(std::system((MAKE_SAMPLE_IMAGE_PATH " " + imagePath() + " " + std::to_string(kImageBytes) +
                               " 7 >/dev/null").c_str()), 0);
        ASSERT_EQ(std::system((MAKE_SAMPLE_IMAGE_PATH " " + oneBlockPath() + " " + std::to_string(kOneBlockBytes) +
                               " 7 >/dev/null").c_str()), 0);
        // A release key made by minisign, and a copy of the image signed with it.
        fs::copy_file(imagePath(), signedPath());
        ASSERT_EQ(std::system(("minisign -G -W -p " + keyPath() + " -s " + (kFolder / "release.key").string() +
                               " >/dev/null && minisign -S -s " + (kFolder / "release.key").string() + " -m " +
                               signedPath() + " -t 'fw for line 3' >/dev/null").c_str()), 0);
    }
    static void TearDownTestSuite() { fs::remove_all(kFolder); }
    static std::string imagePath() { return (kFolder / "image.bin").string(); }
    static std::string oneBlockPath() { return (kFolder / "one-block.bin").string(); }
    static std::string signedPath() { return (kFolder / "signed.bin").string(); }
    static std::string keyPath() { return (kFolder / "release.pub").string(); }
    static std::string image() { return readFile(imagePath()); }
};

}  // namespace

TEST_F(FlashUnits, FullDownloadIntoOneUnitWithItsTranscriptAndTenMillisecondsBeforeEachPoll) {
    Unit unit;
    const Flash run = flash("--log " + (kFolder / "logs").string() + " -p " + unit.link + " " + imagePath());
    EXPECT_EQ(run.exitCode, 0) << run.err;
    EXPECT_NE(run.out.find("successfully  CRC:E649 FILE-CRC:E649  match"), std::string::npos) << run.out;
    EXPECT_TRUE(unit.holdsImage(image()));
    const std::string log = readFile(fs::directory_iterator(kFolder / "logs")->path());
    EXPECT_NE(log.find(" TX FC 05 11 27 56  StatusRequest\n"), std::string::npos) << log.substr(0, 300);
    EXPECT_NE(log.find(" RX FC 05 1A F4 E8  Disable\n"), std::string::npos);
    EXPECT_EQ(log.substr(log.rfind(' ')), " CLOSE\n");
    // A unit still writing its last block needs the wait: without it state 8's tries are spent in milliseconds.
    const std::vector<double> waits = pollWaits(readFile(unit.transcript));
    ASSERT_GT(waits.size(), 100u);
    EXPECT_GE(*std::min_element(waits.begin(), waits.end()), 0.0099) << "seconds from a reply to the next poll";
}

TEST_F(FlashUnits, FourUnitsAtOnceOneGivesUpTheOthersSucceedAsJsonLines) {
    Unit a, b, c, stuck("--write-polls 11");
    const Flash run = flash("--json -p " + a.link + " -p " + b.link + " -p " + stuck.link + " -p " + c.link + " " +
                            imagePath());
    EXPECT_EQ(run.exitCode, 4) << run.err;
    std::istringstream lines(run.out);
    std::map<std::string, nlohmann::json> done;
    std::map<std::string, int> counts;
    for (std::string line; std::getline(lines, line);) {
        const nlohmann::json event = nlohmann::json::parse(line);  // every line one JSON object
        const std::string kind = event.at("event");
        ++counts[kind];
        if (kind == "start") EXPECT_EQ(event.at("file_crc"), "E649");
        if (kind == "start") EXPECT_EQ(event.at("blocks"), 82);
        if (kind == "phase") EXPECT_FALSE(event.at("phase").get<std::string>().empty());
        if (kind == "progress") EXPECT_LE(event.at("blocks_done").get<int>(), event.at("blocks_total").get<int>());
        if (kind == "done") done[event.at("port")] = event;
    }
    EXPECT_EQ(counts["start"], 4);
    EXPECT_GE(counts["progress"], 4);
    ASSERT_EQ(done.size(), 4u);
    for (Unit* unit : {&a, &b, &c}) {
        const nlohmann::json& d = done[unit->link];
        EXPECT_EQ(d.at("outcome"), "succeeded");
        EXPECT_EQ(d.at("unit_crc"), "E649");
        EXPECT_EQ(d.at("exit_code"), 0);
        EXPECT_EQ(d.at("blocks_sent").get<int>() + d.at("blocks_skipped").get<int>(), 82);
        EXPECT_TRUE(unit->holdsImage(image())) << unit->link;
    }
    const nlohmann::json& d = done[stuck.link];
    EXPECT_EQ(d.at("outcome"), "gave_up");
    EXPECT_EQ(d.at("state"), 8);
    EXPECT_EQ(d.at("retries").at("8"), 10);  // Busy counts against the limit before DownloadEnd
    EXPECT_EQ(d.at("download_started"), true);
    EXPECT_TRUE(d.at("unit_crc").is_null());
    EXPECT_NE(d.at("message").get<std::string>().find("ERROR:Communication Error: "), std::string::npos);
}

TEST_F(FlashUnits, BadInputGivesOneLineItsExitCodeAndSendsNothingWhenRefused) {
    fs::create_directories(kFolder / "folder");
    std::ofstream(kFolder / "empty.bin");
    std::string bad = image();
    bad[100] ^= 1;
    std::ofstream(kFolder / "bad.bin", std::ios::binary) << bad;
    const struct {
        const char* unitOptions;
        std::string args;  // LINK is the unit's link
        int exitCode;
        const char* says;
    } rows[] = {
        {"", "-p LINK " + (kFolder / "missing.bin").string(), 2, "File Open Error (no such file)"},
        {"", "-p LINK " + (kFolder / "folder").string(), 2, "File Open Error (a folder)"},
        {"", "-p LINK " + (kFolder / "bad.bin").string(), 2, "Select a valid software. (its check bytes do not match)"},
        {"", "-p LINK " + (kFolder / "empty.bin").string(), 2, "Select a valid software. (empty file)"},
        {"", "-p /dev/qbv-no-such-line IMAGE", 3, "communication port. (no such port)"},
        {"", "-p LINK -p LINK IMAGE", 1, "the port LINK is given more than once"},
        {"", "IMAGE", 1, "at least one --port or --match is required"},
        {"--corrupt-every 1", "-p LINK IMAGE", 4, "(state 1)  CRC:---- FILE-CRC:E649  no result"},
        {"--busy-forever verify", "--timeout 2 -p LINK ONEBLOCK", 6, "no end within the time-out (state 10)"},
        {"", "--release-key KEY -p LINK IMAGE", 2, "image.bin: no signature (IMAGE.minisig)"},
        {"", "--release-key KEY --signature SIGNED.minisig -p LINK ONEBLOCK", 2, "the signature does not match the image"},
        {"", "--expected-sha256 12ab -p LINK IMAGE", 2, "--expected-sha256 takes 64 hex digits, not \"12ab\""},
    };
    for (const auto& row : rows) {
        Unit unit(row.unitOptions);
        std::string args = row.args, says = row.says;
        for (std::string* text : {&args, &says}) {
            for (const auto& [name, value] : {std::pair{"IMAGE", imagePath()}, {"ONEBLOCK", oneBlockPath()},
                                              {"SIGNED", signedPath()}, {"KEY", keyPath()}, {"LINK", unit.link}}) {
                for (std::size_t at; (at = text->find(name)) != std::string::npos;)
                    text->replace(at, std::strlen(name), value);
            }
        }
        const Flash run = flash(args);
        EXPECT_EQ(run.exitCode, row.exitCode) << args << "\n" << run.err;
        EXPECT_NE((run.out + run.err).find(says), std::string::npos) << args << "\n" << run.out << run.err;
        if (row.exitCode <= 2) EXPECT_FALSE(unit.received("FC")) << args;  // refused before anything was sent
    }
}

TEST_F(FlashUnits, CtrlCEndsTheExchangeClosesThePortAndExits130) {
    Unit unit("--delay-ms 5");
    const pid_t pid = startFlash("--log " + (kFolder / "ilogs").string() + " -p " + unit.link + " " + imagePath());
    EXPECT_TRUE(waitUntil([&] { return unit.received("FC FF D1 EC 01"); }));
    const auto interruptedAt = std::chrono::steady_clock::now();
    kill(pid, SIGINT);
    const Flash run = finish(pid, 5);
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - interruptedAt;
    EXPECT_EQ(run.exitCode, 130) << run.err;
    EXPECT_LT(took.count(), 2.0);  // the exchange under way, nothing more
    EXPECT_NE(run.out.find(unit.link + ": interrupted (state "), std::string::npos) << run.out;
    const std::string log = readFile(fs::directory_iterator(kFolder / "ilogs")->path());
    EXPECT_EQ(log.substr(log.rfind(' ')), " CLOSE\n");
    const int fd = open(unit.link.c_str(), O_RDWR | O_NOCTTY);  // nobody holds the port any more
    EXPECT_EQ(flock(fd, LOCK_EX | LOCK_NB), 0);
    close(fd);
}

TEST_F(FlashUnits, ASignedReleaseIsCheckedAndDownloadedAndItsSignerNamed) {
    FILE* sum = popen(("sha256sum " + signedPath()).c_str(), "r");
    char digest[65] = {};
    ASSERT_EQ(std::fread(digest, 1, 64, sum), 64u);
    pclose(sum);
    const std::string pub = readFile(keyPath());
    const std::string keyId = pub.substr(pub.find("key ") + 4, pub.find('\n') - pub.find("key ") - 4);

    const Flash check = flash("--check --release-key " + keyPath() + " " + signedPath());
    EXPECT_EQ(check.exitCode, 0) << check.err;
    EXPECT_EQ(check.out, "FILE-CRC:E649\nSHA-256:" + std::string(digest) + "\nKEY-ID:" + keyId +
                             "\nTRUSTED-COMMENT:fw for line 3\n");

    Unit unit;
    const Flash run = flash("--json --release-key " + keyPath() + " --expected-sha256 " + digest + " -p " + unit.link +
                            " " + signedPath());
    EXPECT_EQ(run.exitCode, 0) << run.err;
    const nlohmann::json start = nlohmann::json::parse(run.out.substr(0, run.out.find('\n')));
    EXPECT_EQ(start.at("sha256"), digest);
    EXPECT_EQ(start.at("key_id"), keyId);
    EXPECT_EQ(start.at("trusted_comment"), "fw for line 3");
    EXPECT_TRUE(unit.holdsImage(image()));
}

// --doctor against virtual units: what it reports of each, and that status requests are all a unit ever receives.
namespace {
constexpr const char* kStatusRequestIn = "FC 05 11 27 56";

// The rest of each of the transcript's lines of `kind`: "FC 05 11 27 56" for IN, "9600 1" for LINE (baud, stop bits).
std::vector<std::string> transcriptLines(const std::string& transcript, const std::string& kind) {
    std::istringstream lines(transcript);
    std::vector<std::string> found;
    double at = 0;
    for (std::string k, rest; lines >> at >> k && std::getline(lines, rest);) {
        if (k == kind) found.push_back(rest.substr(1));
    }
    return found;
}
std::vector<std::string> framesReceived(const std::string& transcript) { return transcriptLines(transcript, "IN"); }

void expectOnlyStatusRequests(const std::string& transcript, std::size_t from = 0) {
    const std::vector<std::string> frames = framesReceived(transcript);
    for (std::size_t i = from; i < frames.size(); ++i) EXPECT_EQ(frames[i], kStatusRequestIn) << "frame " << i;
}

nlohmann::json onlyPort(const Flash& run) {
    const nlohmann::json report = nlohmann::json::parse(run.out);
    EXPECT_EQ(report.at("ports").size(), 1u);
    return report.at("ports").at(0);
}
}  // namespace

TEST_F(FlashUnits, DoctorSendsOnlyStatusRequestsSpacedAsADownloadSpacesItsPolls) {
    Unit unit;
    const Flash run = flash("--doctor --json --polls 30 -p " + unit.link);
    EXPECT_EQ(run.exitCode, 0) << run.err;
    const nlohmann::json port = onlyPort(run);
    EXPECT_EQ(port.at("open_note"), "low latency not supported");
    ASSERT_EQ(port.at("polls").size(), 30u);
    for (const nlohmann::json& poll : port.at("polls")) EXPECT_EQ(poll.at("status"), "Disable");
    // A pty answers at once: a median near the 10 ms wait would be the wait counted in the round trip.
    EXPECT_LT(port.at("round_trip").at("median_ms").get<double>(), 8) << port.at("round_trip");
    const std::string transcript = readFile(unit.transcript);
    EXPECT_EQ(framesReceived(transcript).size(), 30u);
    expectOnlyStatusRequests(transcript);
    // Never sooner than 10 ms after the reply before.
    const std::vector<double> waits = pollWaits(transcript);
    ASSERT_FALSE(waits.empty());
    EXPECT_GE(*std::min_element(waits.begin(), waits.end()), 0.0099);
}

TEST_F(FlashUnits, DoctorSilentUnitHeldPortAndUnitInDownloadMode) {
    Unit silent("--silent"), held, busy("--erase-polls 3");
    // The busy unit is put in download mode by a DownloadStart this test sends itself, its ACK read.
    {
        const int fd = open(busy.link.c_str(), O_RDWR | O_NOCTTY);
        ASSERT_GE(fd, 0);
        const std::uint8_t start[] = {0xFC, 0x05, 0xD0, 0xA2, 0x81};
        ASSERT_EQ(write(fd, start, sizeof start), static_cast<ssize_t>(sizeof start));
        std::size_t got = 0;
        EXPECT_TRUE(waitUntil([&] {
            std::uint8_t ack[8];
            const ssize_t n = read(fd, ack, sizeof ack);
            got += n > 0 ? static_cast<std::size_t>(n) : 0;
            return got >= 5;
        }));
        close(fd);
    }
    const std::size_t busyFramesBefore = framesReceived(readFile(busy.transcript)).size();
    const int heldFd = open(held.link.c_str(), O_RDWR | O_NOCTTY);
    ASSERT_EQ(flock(heldFd, LOCK_EX), 0);
    const Flash run = flash("--doctor --polls 6 -p " + silent.link + " -p " + held.link + " -p " + busy.link);
    close(heldFd);
    EXPECT_EQ(run.exitCode, 4) << run.out << run.err;
    // The silent unit: three requests at 38400, then each other baud rate by itself.
    EXPECT_NE(run.out.find("  at 9600 baud: no answer\n  at 19200 baud: no answer\n"), std::string::npos) << run.out;
    expectOnlyStatusRequests(readFile(silent.transcript));
    // The held port: why, and nothing sent.
    EXPECT_NE(run.out.find(held.link + "\n  does not open: held by another program\n"), std::string::npos) << run.out;
    EXPECT_TRUE(framesReceived(readFile(held.transcript)).empty());
    // The unit in download mode: busy while it erases, then ready, named as the window names them.
    const std::size_t busyAt = run.out.find(busy.link + "\n");
    ASSERT_NE(busyAt, std::string::npos);
    const std::string busyPart = run.out.substr(busyAt);
    EXPECT_NE(busyPart.find("    1  Deleting (download mode, busy)"), std::string::npos) << busyPart;
    EXPECT_NE(busyPart.find("    6  Deleting (download mode, ready)"), std::string::npos) << busyPart;
    EXPECT_NE(busyPart.find("(6 answers of 6"), std::string::npos) << busyPart;
    expectOnlyStatusRequests(readFile(busy.transcript), busyFramesBefore);
    EXPECT_EQ(framesReceived(readFile(busy.transcript)).size(), busyFramesBefore + 6);
}

TEST_F(FlashUnits, DoctorBundleHoldsTheReportThePortsTheFramesAndTheSystem) {
    Unit unit;
    const fs::path bundle = kFolder / "doctor.zip", opened = kFolder / "doctor-opened", tmp = kFolder / "tmp";
    fs::create_directories(tmp);  // where the bundle's files are gathered before they are packed
    const Flash run = finish(spawn("env TMPDIR=" + tmp.string() + " " QBV_FLASH_PATH " --doctor --polls 5 --bundle " +
                                   bundle.string() + " -p " + unit.link + " >" + (kFolder / "out").string() + " 2>" +
                                   (kFolder / "err").string()));
    EXPECT_EQ(run.exitCode, 0) << run.err;
    fs::create_directories(opened);
    ASSERT_EQ(std::system(("/usr/bin/python3 " CHECK_DOCTOR_ZIP_PATH " " + bundle.string() + " Linux " + opened.string())
                              .c_str()), 0);
    const fs::path files = opened / "qbv-doctor";
    const nlohmann::json report = nlohmann::json::parse(readFile(files / "report.json"));
    EXPECT_EQ(report.at("exit_code"), 0);
    EXPECT_EQ(report.at("ports").at(0).at("polls").size(), 5u);
    EXPECT_EQ(readFile(files / "report.txt"), run.out);
    EXPECT_TRUE(fs::exists(files / "ports.txt"));
    const std::string system = readFile(files / "system.txt");
    EXPECT_NE(system.find("os Linux\nkernel "), std::string::npos) << system;
    EXPECT_NE(system.find("\nqbv-flash "), std::string::npos) << system;
    char host[256] = {};
    gethostname(host, sizeof host - 1);
    if (std::string(host).size() >= 6) EXPECT_EQ(system.find(host), std::string::npos) << "no computer's name";
    std::string frames;
    for (const fs::directory_entry& entry : fs::directory_iterator(files)) {
        if (entry.path().filename().string().rfind("frames-", 0) == 0) frames = readFile(entry.path());
    }
    EXPECT_NE(frames.find(" OPEN  " + unit.link + " 38400; low latency not supported\n"), std::string::npos) << frames;
    EXPECT_EQ(std::count(frames.begin(), frames.end(), '\n'), 5 * 2 + 2) << "OPEN, 5 requests and replies, CLOSE";
    EXPECT_TRUE(fs::is_empty(tmp)) << "the gathered files are removed once packed";
}

TEST_F(FlashUnits, DoctorFindsAUnitAt19200WhenAskedAt38400) {
    Unit unit("--baud 19200 --strict-baud");
    const Flash run = flash("--doctor --json --polls 10 -p " + unit.link);
    EXPECT_EQ(run.exitCode, 4) << "a download at 38400 would fail: " << run.out << run.err;
    const nlohmann::json port = onlyPort(run);
    EXPECT_EQ(port.at("polls").size(), 3u) << "given up at 38400 after three silent requests";
    EXPECT_EQ(port.at("other_bauds"), nlohmann::json::parse(R"([{"baud": 9600, "answered": false, "status": ""},
                                                                 {"baud": 19200, "answered": true, "status": "Disable"}])"));
    EXPECT_NE(port.at("advice").get<std::string>().find("the unit answered at 19200: run with --baud 19200"),
              std::string::npos) << port.at("advice");
    const std::string transcript = readFile(unit.transcript);
    EXPECT_EQ(transcriptLines(transcript, "LINE"), (std::vector<std::string>{"38400 1", "9600 1", "19200 1"}));
    EXPECT_EQ(framesReceived(transcript), std::vector<std::string>{kStatusRequestIn}) << "understood at 19200 only";
}

TEST_F(FlashUnits, DoctorCtrlCEndsTheRequestUnderWayAndStillWritesTheBundle) {
    Unit unit("--silent");
    const fs::path bundle = kFolder / "interrupted.tar.gz";
    const pid_t pid = startFlash("--doctor --bundle " + bundle.string() + " -p " + unit.link);
    EXPECT_TRUE(waitUntil([&] { return unit.received(kStatusRequestIn); }));
    kill(pid, SIGINT);
    const Flash run = finish(pid, 5);  // the request under way waits at most its one second
    EXPECT_EQ(run.exitCode, 130) << run.out << run.err;
    EXPECT_NE(run.out.find("\n  interrupted\n"), std::string::npos) << run.out;
    EXPECT_EQ(run.out.find("advice:"), std::string::npos) << "no advice from checks cut short";
    EXPECT_EQ(std::system(("tar -tzf " + bundle.string() + " qbv-doctor/report.json >/dev/null").c_str()), 0);
}
