// Host tests of a station port's loop against units played in process by the virtual unit's core: waiting, flashing,
// passed and failed, unplugged, not ready, manual start, retry, a port whose device goes away and comes back, and a
// check of the line between units.
#include <gtest/gtest.h>

#include <map>

#include "Crc16.h"
#include "PortLoop.h"
#include "InProcessUnit.h"

namespace {
using station::PortState;

struct Host : station::PortHost {
    std::shared_ptr<const station::StationImage> loaded;
    bool manualMode = false;
    std::vector<std::string> records;  // "start" and each end's outcome key
    std::function<void()> whileFlashing = [] {};
    std::shared_ptr<const station::StationImage> currentImage() const override { return loaded; }
    bool manual() const override { return manualMode; }
    std::int64_t downloadStarted(const station::Tile&, const station::StationImage&, std::string&) override {
        records.push_back("start");
        whileFlashing();
        return static_cast<std::int64_t>(records.size());
    }
    std::string downloadEnded(std::int64_t, const UnitResult& r, const station::Tile&) override {
        records.push_back(outcomeKey(r));
        return "";
    }
    void tileChanged(const station::Tile&) override {}
};

// A valid image of a few blocks: a pattern, then its CRC high byte first.
std::shared_ptr<const station::StationImage> smallImage() {
    std::vector<std::uint8_t> bytes;
    for (int i = 0; i < 700; ++i) bytes.push_back(static_cast<std::uint8_t>(i * 31 + 7));
    const std::uint16_t crc = Crc16::of(bytes.data(), bytes.size());
    bytes.push_back(static_cast<std::uint8_t>(crc >> 8)), bytes.push_back(static_cast<std::uint8_t>(crc));
    return std::make_shared<station::StationImage>(station::StationImage{checkImage(bytes.data(), bytes.size()), {}});
}

struct PortLoopTest : ::testing::Test {
    FarEnd far;
    Host host;
    std::map<std::string, std::string> links{{kLink, "/dev/ttyUSB0"}};  // the port's name and where it leads now
    std::map<std::string, FarEnd> others;  // devices other than `far`, by name
    station::PortLoop loop{portTile(), kLink, 38400, [this] { return std::make_unique<FarEndLine>(
                               [this](const std::string& device) { return farEndOf(device); }); },
                           [this](const std::string& name) { return links.count(name) ? links[name] : name; }, host};
    static constexpr const char* kLink = "/dev/serial/by-id/usb-X";
    static station::Tile portTile() {
        station::Tile tile;
        tile.id = "p1", tile.port = kLink;
        return tile;
    }
    // `far` is whatever device the port's link first led to; other devices are found by their names.
    FarEnd* farEndOf(const std::string& device) {
        if (device == "/dev/ttyUSB0") return &far;
        const auto other = others.find(device);
        return other == others.end() ? nullptr : &other->second;
    }
    PortLoopTest() { host.loaded = smallImage(); }
    PortState steps(int n) {
        for (int i = 0; i < n; ++i) loop.step();
        return loop.state();
    }
};
}  // namespace

TEST_F(PortLoopTest, AUnitIsFlashedOnDisableShownUntilUnpluggedThenThePortWaitsForTheNext) {
    EXPECT_EQ(steps(2), PortState::Waiting) << "nothing plugged in";
    far.plug({});
    EXPECT_EQ(steps(1), PortState::Passed);
    EXPECT_EQ(loop.tile().unitCrc, loop.tile().fileCrc);
    EXPECT_EQ(loop.tile().blocksDone, loop.tile().blocksTotal);
    EXPECT_EQ(steps(3), PortState::Passed) << "the same unit, still answering, is not flashed again";
    far.unit.reset();
    EXPECT_EQ(steps(2), PortState::Passed);
    EXPECT_EQ(steps(1), PortState::Waiting) << "three polls without a reply: unplugged";
    EXPECT_EQ(loop.tile().outcome, "");
    EXPECT_EQ(host.records, (std::vector<std::string>{"start", "succeeded"}));
}

TEST_F(PortLoopTest, NotReadyIsNotStartedManualWaitsForFlashAndAFailureIsRetried) {
    vunit::UnitConfig reset;
    reset.neverDisable = true;
    far.plug(reset);
    EXPECT_EQ(steps(1), PortState::NotReady);
    EXPECT_EQ(loop.tile().status, "Reset");
    EXPECT_FALSE(loop.requestRetry());
    host.manualMode = true;
    far.plug({});
    EXPECT_EQ(steps(2), PortState::Ready);
    vunit::UnitConfig stuck;
    stuck.busyForever = vunit::Phase::Erase;
    far.plug(stuck);
    ASSERT_TRUE(loop.requestStart());
    EXPECT_EQ(steps(1), PortState::Failed);
    EXPECT_NE(loop.tile().message.find("(state 3)"), std::string::npos) << loop.tile().message;
    far.plug({});
    EXPECT_EQ(steps(2), PortState::Failed) << "no second download without Retry";
    ASSERT_TRUE(loop.requestRetry());
    EXPECT_EQ(steps(1), PortState::Passed);
    EXPECT_EQ(host.records, (std::vector<std::string>{"start", "gave_up", "start", "succeeded"}));
}

TEST_F(PortLoopTest, APortThatGoesAwayMidDownloadEndsItAndOpensAgainWhenItIsBack) {
    vunit::UnitConfig vanishing;
    vanishing.vanishAfterFrames = 6;
    far.plug(vanishing);
    EXPECT_EQ(steps(1), PortState::Gone);
    EXPECT_EQ(loop.tile().outcome, "port_gone");
    EXPECT_EQ(loop.tile().message.rfind("the port went away (state ", 0), 0u) << loop.tile().message;
    far.deviceThere = false;
    EXPECT_EQ(steps(2), PortState::Gone);
    far.deviceThere = true, far.gone = false;
    EXPECT_EQ(steps(1), PortState::Waiting);
}

TEST_F(PortLoopTest, APortIsReopenedByItsNameSoAnotherDeviceOnItsOldNodeHearsNothing) {
    far.plug({});
    EXPECT_EQ(steps(1), PortState::Passed);
    EXPECT_EQ(loop.tile().device, "/dev/ttyUSB0");
    far.gone = true, far.unit.reset(), links.erase(kLink);  // unplugged: its line and its link are gone
    EXPECT_EQ(steps(2), PortState::Gone);
    far.gone = false, far.plug({});  // another device takes the old node and would take a download
    others["/dev/ttyUSB1"].plug({});  // the unit comes back under its link, on another node
    links[kLink] = "/dev/ttyUSB1";
    EXPECT_EQ(steps(2), PortState::Passed);
    EXPECT_EQ(far.unit->validFrames(), 0u) << "the device on the old node got frames";
    EXPECT_EQ(loop.tile().device, "/dev/ttyUSB1");
    EXPECT_EQ(others["/dev/ttyUSB1"].unit->extent(), host.loaded->load.imageSize);

    others["/dev/ttyUSB2"];  // the port waits on a device with nothing plugged in; its link then moves on
    others["/dev/ttyUSB1"].unit.reset(), links[kLink] = "/dev/ttyUSB2";
    EXPECT_EQ(steps(4), PortState::Waiting);
    others["/dev/ttyUSB3"].plug({}), links[kLink] = "/dev/ttyUSB3";
    EXPECT_EQ(steps(1), PortState::Passed) << "the line held on the old device was kept";
    EXPECT_EQ(loop.tile().device, "/dev/ttyUSB3");
    EXPECT_EQ(host.records, (std::vector<std::string>{"start", "succeeded", "start", "succeeded", "start", "succeeded"}));
}

TEST_F(PortLoopTest, AReplyBetweenMissedPollsStartsTheCountOfThreeAgain) {
    far.plug({});
    EXPECT_EQ(steps(1), PortState::Passed);
    const vunit::UnitConfig config;
    for (int round = 0; round < 3; ++round) {
        far.unit.reset();
        EXPECT_EQ(steps(2), PortState::Passed) << "round " << round;
        far.plug(config);  // the same unit answers once more: not unplugged, and not flashed again
        EXPECT_EQ(steps(1), PortState::Passed) << "round " << round;
    }
    EXPECT_EQ(host.records, (std::vector<std::string>{"start", "succeeded"}));
}

TEST_F(PortLoopTest, AStoppingStationBeginsNoDownload) {
    far.plug({});
    EXPECT_EQ(steps(1), PortState::Passed);
    vunit::UnitConfig stuck;
    stuck.busyForever = vunit::Phase::Erase;
    far.unit.reset();
    steps(3);
    far.plug(stuck);
    EXPECT_EQ(steps(1), PortState::Failed);
    std::string why;
    std::future<std::optional<DoctorPort>> check = loop.requestCheck(doctor::kMaxPolls, why);
    loop.stopStarting();
    EXPECT_FALSE(loop.requestRetry());
    EXPECT_FALSE(loop.requestCheck(5, why).valid());
    EXPECT_EQ(why, station::kStoppingWords);
    far.unit.reset();
    steps(4);  // the check, then three polls without a reply
    EXPECT_TRUE(check.get()->interrupted) << "a check held the port after the station began to stop";
    far.plug({});
    EXPECT_EQ(steps(2), PortState::Ready);
    EXPECT_EQ(loop.tile().status, station::kStoppingWords);
    EXPECT_FALSE(loop.requestStart());
    EXPECT_EQ(host.records, (std::vector<std::string>{"start", "succeeded", "start", "gave_up"}));
}

TEST_F(PortLoopTest, ACheckSendsStatusRequestsOnlyAndWaitsForNoDownload) {
    far.plug({});  // a unit that answers Disable: the next poll would flash it
    std::string why;
    std::future<std::optional<DoctorPort>> answer = loop.requestCheck(5, why);
    ASSERT_TRUE(answer.valid()) << why;
    EXPECT_FALSE(loop.requestCheck(5, why).valid());
    EXPECT_EQ(why, "a check of this port already runs");
    steps(1);
    const std::optional<DoctorPort> report = answer.get();
    ASSERT_TRUE(report);
    EXPECT_EQ(report->polls.size(), 5u);
    EXPECT_TRUE(everyUnitAnswered({*report}));
    EXPECT_TRUE(host.records.empty()) << "the check began a download";
    EXPECT_EQ(steps(1), PortState::Passed) << "the port is polled again after the check";

    std::string whyWhileFlashing;
    host.whileFlashing = [&] { loop.requestCheck(5, whyWhileFlashing); };
    far.unit.reset(), steps(3), far.plug({}), steps(1);
    EXPECT_EQ(whyWhileFlashing, "a download runs on this port");

    answer = loop.requestCheck(5, why);
    const std::atomic<bool> stopped{true};
    loop.run(stopped, [](std::chrono::milliseconds) {});
    ASSERT_EQ(answer.wait_for(std::chrono::seconds(10)), std::future_status::ready)
        << "a check still asked for when the loop ended was never answered";
    EXPECT_FALSE(answer.get());
}
