// Host tests of a station port's loop against units played in process by the virtual unit's core: waiting, flashing,
// passed and failed, unplugged, not ready, manual start, retry, and a port whose device goes away and comes back.
#include <gtest/gtest.h>

#include <chrono>

#include "Crc16.h"
#include "PortLoop.h"
#include "UnitCore.h"

namespace {
using station::PortState;

// The unit on the port's far end: its core, whether one is plugged in at all, and whether the device exists.
struct Far {
    std::unique_ptr<vunit::UnitCore> unit;  // null: nothing plugged in (silence)
    bool deviceThere = true;
    bool gone = false;
    void plug(const vunit::UnitConfig& config) { unit = std::make_unique<vunit::UnitCore>(config); }
};

std::int64_t nowUs() {
    return std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// A line to the far end: what is written goes to the unit's core, its replies are read back; silence returns at once.
class FarLine : public BytePort {
public:
    explicit FarLine(Far& far) : far_(far) {}
    bool open(const std::string&, std::uint32_t, std::uint8_t) override { return far_.deviceThere && !far_.gone; }
    bool readByte(std::uint8_t& byte) override {
        if (in_.empty()) return false;
        byte = in_.front();
        in_.erase(in_.begin());
        return true;
    }
    bool writeBytes(const std::uint8_t* bytes, std::uint32_t count) override {
        if (far_.gone) return false;
        if (!far_.unit) return true;
        for (const vunit::Event& e : far_.unit->receive(bytes, count, nowUs())) {
            if (e.kind == vunit::Event::Kind::Out) in_.insert(in_.end(), e.bytes.begin(), e.bytes.end());
            if (e.kind == vunit::Event::Kind::Vanish) far_.gone = true, far_.unit.reset();
        }
        return true;
    }
    void close() override {}
    bool gone() const override { return far_.gone; }

private:
    Far& far_;
    std::vector<std::uint8_t> in_;
};

struct Host : station::PortHost {
    std::shared_ptr<ImageLoad> loaded;
    bool manualMode = false;
    std::vector<std::string> records;  // "start" and each end's outcome key
    std::shared_ptr<const ImageLoad> currentImage() const override { return loaded; }
    std::string imageName() const override { return "image.bin"; }
    bool manual() const override { return manualMode; }
    std::int64_t downloadStarted(const station::Tile&, std::string&) override {
        records.push_back("start");
        return static_cast<std::int64_t>(records.size());
    }
    void downloadEnded(std::int64_t, const UnitResult& r, const station::Tile&) override {
        records.push_back(outcomeKey(r));
    }
    void tileChanged(const station::Tile&) override {}
};

// A valid image of a few blocks: a pattern, then its CRC high byte first.
std::shared_ptr<ImageLoad> smallImage() {
    std::vector<std::uint8_t> bytes;
    for (int i = 0; i < 700; ++i) bytes.push_back(static_cast<std::uint8_t>(i * 31 + 7));
    const std::uint16_t crc = Crc16::of(bytes.data(), bytes.size());
    bytes.push_back(static_cast<std::uint8_t>(crc >> 8)), bytes.push_back(static_cast<std::uint8_t>(crc));
    return std::make_shared<ImageLoad>(checkImage(bytes.data(), bytes.size()));
}

struct PortLoopTest : ::testing::Test {
    Far far;
    Host host;
    station::PortLoop loop{portTile(), 38400, [this] { return std::make_unique<FarLine>(far); }, host};
    static station::Tile portTile() {
        station::Tile tile;
        tile.id = "p1", tile.port = "/dev/serial/by-id/usb-X", tile.device = "/dev/ttyUSB0";
        return tile;
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
