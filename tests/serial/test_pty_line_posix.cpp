// Host tests: the POSIX serial line under the frame exchange, against the virtual unit on a real pty, and the unit's
// latency timer seen through that line.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

#include "FrameExchange.h"
#include "SerialPort.h"
#include "TempFolder.h"
#include "UnitCommands.h"
#include "VirtualUnitProcess_posix.h"

namespace {

const ByteBuffer kStatus = buildFrame(UnitCommand::StatusRequest);

// A virtual unit and a frame port on its line.
struct Unit : VirtualUnit {
    std::unique_ptr<SerialPort> owned = std::make_unique<SerialPort>();
    SerialPort* line = owned.get();
    FrameExchange port{std::move(owned)};
    ByteBuffer reply;
    double ms = 0;  // how long the last exchange took

    explicit Unit(const std::string& options = "") : VirtualUnit(options) {
        EXPECT_TRUE(port.open(link, 9600, 8)) << options;
    }
    ExchangeResult ask(const ByteBuffer& command) {
        const auto start = std::chrono::steady_clock::now();
        const FrameReply answer = port.exchange(command);
        ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
        reply = answer.frame;
        return answer.result;
    }
    bool answered(const ByteBuffer& frame, bool (*test)(const ByteBuffer&)) {
        return ask(frame) == ExchangeResult::Reply && test(reply);
    }
};

}  // namespace

TEST(PtyLine, StatusRequestWithItsCheckBytesExclusiveUseAndAMissingDevice) {
    Unit unit;
    EXPECT_TRUE(unit.answered(kStatus, isDisable));
    EXPECT_EQ(unit.line->openNote(), "low latency not supported") << "a pty has neither the flag nor a timer";
    const std::string log = readFile(unit.transcript);
    EXPECT_NE(log.find(" LINE 9600 1\n"), std::string::npos) << log;  // the baud rate of the open, one stop bit
    SerialPort second, third;
    EXPECT_FALSE(second.open(unit.link, 9600, 8));
    unit.port.close();
    EXPECT_TRUE(third.open(unit.link, 9600, 8));
    FrameExchange missing{std::make_unique<SerialPort>()};
    EXPECT_FALSE(missing.open("/tmp/qbv-no-such-line", 9600, 8));
    EXPECT_EQ(missing.exchange(kStatus).result, ExchangeResult::SendFailed);
}

TEST(PtyLine, ClosingOrDroppingALinePutsTheAdaptersLatencyTimerBack) {
    namespace fs = std::filesystem;
    const auto timerMs = [](const fs::path& timer) {
        int ms = 0;
        std::ifstream(timer) >> ms;
        return ms;
    };
    for (const bool closed : {true, false}) {
        Unit unit;
        unit.port.close();  // the line is ours now, on a made-up sysfs tree that gives its pty a timer of 16 ms
        const fs::path timer =
            fs::path(unit.folder) / "sys/class/tty" / fs::canonical(unit.link).filename() / "device/latency_timer";
        fs::create_directories(timer.parent_path());
        std::ofstream(timer) << "16\n";
        auto line = std::make_unique<SerialPort>(unit.folder);
        ASSERT_TRUE(line->open(unit.link, 38400, 8));
        EXPECT_EQ(timerMs(timer), 1);
        if (closed) line->close();
        line.reset();
        EXPECT_EQ(timerMs(timer), 16) << (closed ? "closed" : "dropped without closing");
    }
}

TEST(PtyLine, ALineThatVanishesIsGoneAtOnce) {
    Unit unit("--vanish-after 2");
    EXPECT_TRUE(unit.answered(kStatus, isDisable));
    EXPECT_EQ(unit.ask(kStatus), ExchangeResult::LineGone) << "the second frame is not answered: the line vanishes";
    EXPECT_LT(unit.ms, 2000);
    EXPECT_EQ(unit.ask(kStatus), ExchangeResult::LineGone);
}

TEST(PtyLine, SilenceEndsAfterAboutOneSecond) {
    Unit silent("--silent");
    EXPECT_EQ(silent.ask(kStatus), ExchangeResult::NoReply);
    EXPECT_TRUE(silent.ms >= 950 && silent.ms <= 1500) << silent.ms << " ms";
}

// The virtual unit's latency timer: a reply comes on a tick of the timer, so a request sent a gap after one must be
// held until the next tick, the period less the gap, neither sooner nor a period later.
TEST(PtyLine, RepliesUnderALatencyTimerComeOnItsNextTick) {
    constexpr int kLatencyMs = 100;
    constexpr double kGapMs = 30, kToleranceMs = 20;  // tolerance: both processes' wake-ups
    Unit unit("--latency " + std::to_string(kLatencyMs));
    ASSERT_TRUE(unit.answered(kStatus, isDisable));
    for (int i = 0; i < 3; ++i) {
        std::this_thread::sleep_for(std::chrono::duration<double, std::milli>(kGapMs));
        ASSERT_TRUE(unit.answered(kStatus, isDisable));
        EXPECT_NEAR(unit.ms, kLatencyMs - kGapMs, kToleranceMs) << "reply " << i;
    }
}
