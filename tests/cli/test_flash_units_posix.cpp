// qbv-flash itself against virtual units on ptys: downloads, several units at once, bad input, unplugging, Ctrl-C.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <thread>

#include <nlohmann/json.hpp>

namespace {
namespace fs = std::filesystem;

const fs::path kFolder = fs::temp_directory_path() / ("qbv-flash-test-" + std::to_string(getpid()));
constexpr int kImageBytes = 20000;  // 82 blocks, some of them blank
constexpr int kOneBlockBytes = 200;  // reaches the verify wait in a dozen exchanges, however slow the machine

std::string slurp(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

pid_t spawn(const std::string& command) {
    const pid_t pid = fork();
    if (pid == 0) {
        execl("/bin/sh", "sh", "-c", ("exec " + command).c_str(), nullptr);
        _exit(127);
    }
    return pid;
}

// The exit code, or -1 when the process had not ended within `limitSeconds` (it is killed then).
int waitFor(pid_t pid, double limitSeconds) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(limitSeconds);
    int status = 0;
    while (waitpid(pid, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > end) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

bool waitUntil(const std::function<bool()>& done, double limitSeconds = 20) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(limitSeconds);
    while (!done()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

// A virtual unit on a pty of its own, reached through `link`; its memory is written to `memory` on exit.
struct Unit {
    std::string name, link, transcript, memory;
    pid_t pid;
    explicit Unit(const std::string& unitName, const std::string& options = "")
        : name(unitName),
          link((kFolder / unitName).string()),
          transcript(link + ".transcript"),
          memory(link + ".memory") {
        pid = spawn(VIRTUAL_UNIT_PATH " --link " + link + " --transcript " + transcript + " --memory-out " + memory +
                    " " + options + " >/dev/null");
        EXPECT_TRUE(waitUntil([&] { return fs::exists(link); })) << options;
    }
    ~Unit() { stop(); }
    void stop() {
        if (pid > 0 && kill(pid, SIGTERM) == 0) waitpid(pid, nullptr, 0);
        pid = -1;
    }
    bool received(const std::string& hex) { return slurp(transcript).find(" IN " + hex) != std::string::npos; }
    bool holdsImage(const std::string& image) {
        stop();
        return slurp(memory).substr(0, image.size()) == image;
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
    return {slurp(kFolder / "out"), slurp(kFolder / "err"), code};
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
    static std::string image() { return slurp(imagePath()); }
};

}  // namespace

TEST_F(FlashUnits, FullDownloadIntoOneUnitWithItsTranscriptAndTenMillisecondsBeforeEachPoll) {
    Unit unit("one");
    const Flash run = flash("--log " + (kFolder / "logs").string() + " -p " + unit.link + " " + imagePath());
    EXPECT_EQ(run.exitCode, 0) << run.err;
    EXPECT_NE(run.out.find("successfully  CRC:E649 FILE-CRC:E649  match"), std::string::npos) << run.out;
    EXPECT_TRUE(unit.holdsImage(image()));
    const std::string log = slurp(*fs::directory_iterator(kFolder / "logs"));
    EXPECT_NE(log.find(" TX FC 05 11 27 56  StatusRequest\n"), std::string::npos) << log.substr(0, 300);
    EXPECT_NE(log.find(" RX FC 05 1A F4 E8  Disable\n"), std::string::npos);
    EXPECT_NE(log.find(" TX FC FF D1 EC 01 00 00 "), std::string::npos);  // the block at offset 492
    EXPECT_EQ(log.substr(log.rfind(' ')), " CLOSE\n");
    // A unit still writing its last block needs the wait: without it state 8's tries are spent in milliseconds.
    const std::vector<double> waits = pollWaits(slurp(unit.transcript));
    ASSERT_GT(waits.size(), 100u);
    EXPECT_GE(*std::min_element(waits.begin(), waits.end()), 0.0099) << "seconds from a reply to the next poll";
}

TEST_F(FlashUnits, FourUnitsAtOnceOneGivesUpTheOthersSucceedAsJsonLines) {
    Unit a("a"), b("b"), c("c"), stuck("stuck", "--write-polls 11");
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
        EXPECT_TRUE(unit->holdsImage(image())) << unit->name;
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
        {"", "--baud 4800 -p LINK IMAGE", 1, "--baud: 4800 not in {9600,19200,38400}"},
        {"", "IMAGE", 1, "at least one --port or --match is required"},
        {"--silent", "-p LINK IMAGE", 4, "ERROR:Unit is not disabled/connected: Make sure unit is connected"},
        {"--corrupt-every 1", "-p LINK IMAGE", 4, "(state 1)  CRC:---- FILE-CRC:E649  no result"},
        {"--busy-forever erase", "-p LINK IMAGE", 4, "Make sure unit is not enabled. / Make sure unit is connected "
                                                     "and turned on. (state 3)"},
        {"--flagged", "-p LINK IMAGE", 5, "Premature Termination: Following download status"},
        {"--busy-forever verify", "--timeout 2 -p LINK ONEBLOCK", 6, "no end within the time-out (state 10)"},
        {"", "--release-key KEY -p LINK IMAGE", 2, "image.bin: no signature (IMAGE.minisig)"},
        {"", "--release-key KEY --signature SIGNED.minisig -p LINK ONEBLOCK", 2, "the signature does not match the image"},
        {"", "--expected-sha256 12ab -p LINK IMAGE", 2, "--expected-sha256 takes 64 hex digits, not \"12ab\""},
    };
    for (const auto& row : rows) {
        Unit unit("bad", row.unitOptions);
        std::string args = row.args, says = row.says;
        for (std::string* text : {&args, &says}) {
            for (std::size_t at; (at = text->find("LINK")) != std::string::npos;) text->replace(at, 4, unit.link);
            for (std::size_t at; (at = text->find("IMAGE")) != std::string::npos;) text->replace(at, 5, imagePath());
            for (std::size_t at; (at = text->find("ONEBLOCK")) != std::string::npos;)
                text->replace(at, 8, oneBlockPath());
            for (std::size_t at; (at = text->find("SIGNED")) != std::string::npos;) text->replace(at, 6, signedPath());
            for (std::size_t at; (at = text->find("KEY")) != std::string::npos;) text->replace(at, 3, keyPath());
        }
        const Flash run = flash(args);
        EXPECT_EQ(run.exitCode, row.exitCode) << args << "\n" << run.err;
        EXPECT_NE((run.out + run.err).find(says), std::string::npos) << args << "\n" << run.out << run.err;
        if (row.exitCode <= 2) EXPECT_FALSE(unit.received("FC")) << args;  // refused before anything was sent
    }
}

TEST_F(FlashUnits, PortHeldByAnotherProgramAndUnitUnpluggedMidway) {
    Unit held("held"), unplugged("unplugged", "--delay-ms 5"), other("other");
    const int fd = open(held.link.c_str(), O_RDWR | O_NOCTTY);
    ASSERT_EQ(flock(fd, LOCK_EX), 0);
    const auto start = std::chrono::steady_clock::now();
    const pid_t pid = startFlash("--json -p " + held.link + " -p " + unplugged.link + " -p " + other.link + " " +
                                 imagePath());
    EXPECT_TRUE(waitUntil([&] { return unplugged.received("FC FF D1 EC 01"); }));
    kill(unplugged.pid, SIGKILL);  // the pty's other side closes, as when the cable is pulled
    waitpid(unplugged.pid, nullptr, 0);
    unplugged.pid = -1;
    const std::chrono::duration<double> pulledAt = std::chrono::steady_clock::now() - start;
    const Flash run = finish(pid);
    close(fd);
    EXPECT_EQ(run.exitCode, 4) << run.out << run.err;
    EXPECT_NE(run.err.find(held.link + ": Failed in the initialization of the communication port. (held by another "
                           "program)"), std::string::npos) << run.err;
    EXPECT_NE(run.err.find(unplugged.link + ": the port went away (state "), std::string::npos) << run.err;
    EXPECT_NE(run.err.find(other.link + ": The target file was downloaded successfully"), std::string::npos);
    std::istringstream events(run.out);
    double unpluggedEnded = 1e9;
    for (std::string line; std::getline(events, line);) {
        const nlohmann::json event = nlohmann::json::parse(line);
        if (event.value("event", "") == "done" && event.value("port", "") == unplugged.link &&
            event.value("outcome", "") == "port_gone") {
            unpluggedEnded = event.at("elapsed").get<double>();
        }
    }
    EXPECT_LT(unpluggedEnded, pulledAt.count() + 2.0) << "ended as port_gone within 2 s of the pull";
    EXPECT_TRUE(other.holdsImage(image()));
}

TEST_F(FlashUnits, CtrlCEndsTheExchangeClosesThePortAndExits130) {
    Unit unit("interrupted", "--delay-ms 5");
    const pid_t pid = startFlash("--log " + (kFolder / "ilogs").string() + " -p " + unit.link + " " + imagePath());
    EXPECT_TRUE(waitUntil([&] { return unit.received("FC FF D1 EC 01"); }));
    const auto interruptedAt = std::chrono::steady_clock::now();
    kill(pid, SIGINT);
    const Flash run = finish(pid, 5);
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - interruptedAt;
    EXPECT_EQ(run.exitCode, 130) << run.err;
    EXPECT_LT(took.count(), 2.0);  // the exchange under way, nothing more
    EXPECT_NE(run.out.find(unit.link + ": interrupted (state "), std::string::npos) << run.out;
    const std::string log = slurp(*fs::directory_iterator(kFolder / "ilogs"));
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
    const std::string pub = slurp(keyPath());
    const std::string keyId = pub.substr(pub.find("key ") + 4, pub.find('\n') - pub.find("key ") - 4);

    const Flash check = flash("--check --release-key " + keyPath() + " " + signedPath());
    EXPECT_EQ(check.exitCode, 0) << check.err;
    EXPECT_EQ(check.out, "FILE-CRC:E649\nSHA-256:" + std::string(digest) + "\nKEY-ID:" + keyId +
                             "\nTRUSTED-COMMENT:fw for line 3\n");

    Unit unit("signed");
    const Flash run = flash("--json --release-key " + keyPath() + " --expected-sha256 " + digest + " -p " + unit.link +
                            " " + signedPath());
    EXPECT_EQ(run.exitCode, 0) << run.err;
    const nlohmann::json start = nlohmann::json::parse(run.out.substr(0, run.out.find('\n')));
    EXPECT_EQ(start.at("sha256"), digest);
    EXPECT_EQ(start.at("key_id"), keyId);
    EXPECT_EQ(start.at("trusted_comment"), "fw for line 3");
    EXPECT_TRUE(unit.holdsImage(image()));
}
