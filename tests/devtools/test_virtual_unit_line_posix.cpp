// Tests of the virtual unit as a process on its pty: the adapter's latency timer.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "UnitCore.h"
#include "VirtualUnitProcess_posix.h"

using namespace vunit;
using Bytes = std::vector<std::uint8_t>;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int kReplyWaitMs = 1000;  // longest wait for a reply's bytes
const Bytes kStatus = buildFrame(UnitCommand::StatusRequest);
const std::size_t kReplyBytes = buildFrame(unit::kStatusDisable).size();

double msBetween(Clock::time_point from, Clock::time_point to) {
    return std::chrono::duration<double, std::milli>(to - from).count();
}

// The virtual unit with `options`, its line opened through its link.
struct LineUnit : VirtualUnit {
    int fd = open(link.c_str(), O_RDWR | O_NOCTTY);

    explicit LineUnit(const std::string& options) : VirtualUnit(options) { EXPECT_GE(fd, 0) << options; }
    ~LineUnit() { close(fd); }
    // Writes `frame`, then reads until a reply's worth of bytes came, the line ended or a second passed.
    Bytes ask(const Bytes& frame) {
        EXPECT_EQ(write(fd, frame.data(), frame.size()), static_cast<ssize_t>(frame.size()));
        Bytes got(kReplyBytes);
        std::size_t n = 0;
        for (pollfd p{fd, POLLIN, 0}; n < got.size() && poll(&p, 1, kReplyWaitMs) > 0;) {
            const ssize_t r = read(fd, got.data() + n, got.size() - n);
            if (r <= 0) break;
            n += static_cast<std::size_t>(r);
        }
        got.resize(n);
        return got;
    }
};

}  // namespace

// A reply comes on a tick of the timer; a request sent a gap after it must then be held until the next tick, the
// period less the gap, neither sooner nor a period later.
TEST(VirtualUnitLine, RepliesUnderALatencyTimerComeOnItsNextTick) {
    constexpr int kLatencyMs = 100;
    constexpr double kGapMs = 30, kToleranceMs = 20;  // tolerance: both processes' wake-ups
    LineUnit unit("--latency " + std::to_string(kLatencyMs));
    ASSERT_EQ(unit.ask(kStatus).size(), kReplyBytes);
    for (int i = 0; i < 3; ++i) {
        std::this_thread::sleep_for(std::chrono::duration<double, std::milli>(kGapMs));
        const Clock::time_point sent = Clock::now();
        ASSERT_EQ(unit.ask(kStatus).size(), kReplyBytes);
        EXPECT_NEAR(msBetween(sent, Clock::now()), kLatencyMs - kGapMs, kToleranceMs) << "reply " << i;
    }
}
