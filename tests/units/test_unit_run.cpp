// One unit's run against a unit played in process: a line that goes away once the unit has given its last answer
// leaves the outcome as the unit gave it.
#include <gtest/gtest.h>

#include "Crc16.h"
#include "InProcessUnit.h"
#include "UnitOutcome.h"
#include "UnitRun.h"

namespace {
struct NoEvents : UnitEvents {
    void phaseChanged(const std::string&) override {}
    void progressed(std::uint32_t) override {}
};

ImageLoad smallImage() {
    std::vector<std::uint8_t> bytes;
    for (int i = 0; i < 600; ++i) bytes.push_back(static_cast<std::uint8_t>(i * 13 + 5));
    const std::uint16_t crc = Crc16::of(bytes.data(), bytes.size());
    bytes.push_back(static_cast<std::uint8_t>(crc >> 8)), bytes.push_back(static_cast<std::uint8_t>(crc));
    return checkImage(bytes.data(), bytes.size());
}
}  // namespace

// The unit's Disable after its acknowledged result ends the procedure; the poll still queued behind it then meets
// the line that was pulled.
TEST(UnitRun, AUnitPulledTheMomentItPassedOrWasFlaggedKeepsThatOutcome) {
    struct Case {
        bool flagged;
        const char* outcome;
    };
    for (const Case c : {Case{false, "succeeded"}, Case{true, "flagged"}}) {
        FarEnd far;
        vunit::UnitConfig config;
        config.flagged = c.flagged;
        far.plug(config);
        far.vanishOnceDone = true;
        const ImageLoad image = smallImage();
        NoEvents events;
        std::atomic<bool> interrupted{false};
        UnitRun run("/dev/ttyUSB0", 38400, std::make_unique<FarEndLine>(far), events, interrupted, 60);
        const UnitResult result{"/dev/ttyUSB0", run.run(image), "", image.fileCrc};
        ASSERT_TRUE(far.gone) << c.outcome << ": the line was not pulled, so the case proves nothing";
        EXPECT_EQ(outcomeKey(result), c.outcome);
        EXPECT_EQ(result.report.lastState, DownloadState::Idle) << c.outcome;
    }
}
