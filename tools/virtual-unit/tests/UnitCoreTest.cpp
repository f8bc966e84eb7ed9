// Tests of the virtual unit's core: framing, resynchronisation, the download sequence and the fault scenarios.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "Crc16.h"
#include "UnitCore.h"

using namespace vunit;
using Bytes = std::vector<std::uint8_t>;

namespace {

const Bytes kStatusRequest = {0xFC, 0x05, 0x11, 0x27, 0x56};
const Bytes kAckFrame = {0xFC, 0x05, 0x50, 0xAA, 0x05};
const Bytes kDownloadStart = {0xFC, 0x05, 0xD0, 0xA2, 0x81};

Bytes dataFrame(std::uint32_t offset, const Bytes& block) {
    Bytes data = {static_cast<std::uint8_t>(offset), static_cast<std::uint8_t>(offset >> 8),
                  static_cast<std::uint8_t>(offset >> 16), static_cast<std::uint8_t>(offset >> 24)};
    data.insert(data.end(), block.begin(), block.end());
    return buildFrame(kCodeDownloadData, data);
}

Bytes endFrame() {
    return buildFrame(kCodeDownloadEnd, Bytes(8, 0x00));
}

// Feeds a frame and returns everything written in reply (noise and replies, concatenated).
struct Harness {
    explicit Harness(UnitConfig config = {}) : core(config) {}

    std::vector<Event> send(const Bytes& bytes, std::int64_t atUs = 0) {
        return core.receive(bytes.data(), bytes.size(), atUs);
    }

    // The single reply to one frame; empty if none.
    Bytes ask(const Bytes& frame) {
        Bytes out;
        for (const Event& e : send(frame, clock)) {
            if (e.kind == Event::Kind::Out) {
                EXPECT_TRUE(out.empty()) << "more than one reply";
                out = e.bytes;
            }
        }
        clock += 1000;
        return out;
    }

    UnitCore core;
    std::int64_t clock = 0;
};

std::vector<Event::Kind> kinds(const std::vector<Event>& events) {
    std::vector<Event::Kind> k;
    for (const Event& e : events) {
        k.push_back(e.kind);
    }
    return k;
}

}  // namespace

TEST(Frames, BuildsTheKnownFrames) {
    EXPECT_EQ(buildFrame(kCodeStatusRequest), kStatusRequest);
    EXPECT_EQ(buildFrame(kCodeAck), kAckFrame);
    EXPECT_EQ(buildFrame(kCodeDownloadStart), kDownloadStart);
    const Bytes mode = buildFrame(kCodeDownloadMode, {kFlagBusy});
    ASSERT_EQ(mode.size(), 6u);
    EXPECT_EQ(mode[1], 0x06);
    EXPECT_EQ(Crc16::of(mode.data(), 4), static_cast<std::uint16_t>(mode[4] | mode[5] << 8));
}

TEST(Frames, IdleStatusIsDisableOrReset) {
    Harness h;
    EXPECT_EQ(h.ask(kStatusRequest), buildFrame(kCodeStatusDisable));
    UnitConfig c;
    c.neverDisable = true;
    Harness r(c);
    EXPECT_EQ(r.ask(kStatusRequest), buildFrame(kCodeStatusReset));
}

TEST(Frames, ResynchronisesAfterNoiseAndSplitsAcrossReads) {
    Harness h;
    const Bytes noise = {0x00, 0x13, 0xFF, 0x11};
    EXPECT_TRUE(h.send(noise).empty());
    EXPECT_TRUE(h.send({0xFC, 0x05}, 10).empty());
    const std::vector<Event> events = h.send({0x11, 0x27, 0x56}, 20);
    ASSERT_EQ(kinds(events), (std::vector<Event::Kind>{Event::Kind::In, Event::Kind::Out}));
    EXPECT_EQ(events[0].bytes, kStatusRequest);
}

TEST(Frames, BadCheckCodeAndShortLengthGetNoAnswer) {
    Harness h;
    std::vector<Event> events = h.send({0xFC, 0x05, 0x11, 0x27, 0x57});
    ASSERT_EQ(kinds(events), std::vector<Event::Kind>{Event::Kind::Bad});
    events = h.send({0xFC, 0x04, 0xFC, 0x05, 0x11, 0x27, 0x56});
    ASSERT_EQ(kinds(events), (std::vector<Event::Kind>{Event::Kind::Bad, Event::Kind::In, Event::Kind::Out}));
    EXPECT_EQ(events[0].bytes, (Bytes{0xFC, 0x04}));
    EXPECT_EQ(h.core.validFrames(), 1u);
}

TEST(Frames, StalledPartialFrameIsDroppedAfterTheTimeout) {
    Harness h;
    EXPECT_TRUE(h.send({0xFC, 0x05, 0x11}, 1'000'000).empty());
    ASSERT_TRUE(h.core.nextDeadlineUs().has_value());
    EXPECT_TRUE(h.core.tick(1'000'000 + kStallTimeoutUs).empty());  // exactly the limit: still waiting
    const std::vector<Event> dropped = h.core.tick(*h.core.nextDeadlineUs());
    ASSERT_EQ(kinds(dropped), std::vector<Event::Kind>{Event::Kind::Drop});
    EXPECT_EQ(dropped[0].bytes, (Bytes{0xFC, 0x05, 0x11}));
    EXPECT_FALSE(h.core.nextDeadlineUs().has_value());
    // The rest of the old frame arriving late is noise; a fresh frame is answered.
    const std::vector<Event> late = h.send({0x27, 0x56, 0xFC, 0x05, 0x11, 0x27, 0x56}, 2'000'000);
    EXPECT_EQ(kinds(late), (std::vector<Event::Kind>{Event::Kind::In, Event::Kind::Out}));
}

TEST(Frames, StallIsDetectedWhenTheNextBytesArrive) {
    Harness h;
    h.send({0xFC, 0x05, 0x11}, 0);
    const std::vector<Event> events = h.send(kStatusRequest, kStallTimeoutUs + 5);
    EXPECT_EQ(kinds(events), (std::vector<Event::Kind>{Event::Kind::Drop, Event::Kind::In, Event::Kind::Out}));
}

TEST(Download, FullSequenceReportsTheCrcOfTheMemory) {
    Harness h;
    const Bytes busy = buildFrame(kCodeDownloadMode, {kFlagBusy});
    const Bytes ready = buildFrame(kCodeDownloadMode, {kFlagReady});

    EXPECT_EQ(h.ask(kDownloadStart), kAckFrame);
    for (unsigned i = 0; i < kDefaultErasePolls; ++i) {
        EXPECT_EQ(h.ask(kStatusRequest), busy) << "erase poll " << i;
    }
    EXPECT_EQ(h.ask(kStatusRequest), ready);

    Bytes block0(246), block1(10);
    for (std::size_t i = 0; i < block0.size(); ++i) block0[i] = static_cast<std::uint8_t>(i * 7);
    for (std::size_t i = 0; i < block1.size(); ++i) block1[i] = static_cast<std::uint8_t>(0xA0 + i);
    const Bytes frame0 = dataFrame(0, block0);
    EXPECT_EQ(frame0[1], 0xFF);
    EXPECT_EQ(h.ask(frame0), kAckFrame);
    EXPECT_EQ(h.ask(kStatusRequest), busy);
    EXPECT_EQ(h.ask(kStatusRequest), ready);
    // A gap of 4 erased bytes between the blocks.
    EXPECT_EQ(h.ask(dataFrame(250, block1)), kAckFrame);
    EXPECT_EQ(h.ask(kStatusRequest), busy);
    EXPECT_EQ(h.ask(kStatusRequest), ready);

    Bytes expected = block0;
    expected.insert(expected.end(), 4, kErasedByte);
    expected.insert(expected.end(), block1.begin(), block1.end());
    EXPECT_EQ(h.core.memory(), expected);

    bool saved = false;
    for (const Event& e : h.send(endFrame())) {
        saved = saved || e.kind == Event::Kind::MemorySaved;
    }
    EXPECT_TRUE(saved);
    for (unsigned i = 0; i < kDefaultVerifyPolls; ++i) {
        EXPECT_EQ(h.ask(kStatusRequest), busy) << "verify poll " << i;
    }
    const std::uint16_t crc = Crc16::of(expected.data(), expected.size());
    const Bytes result = buildFrame(kCodeDownloadResult, {kFlagResultGood, static_cast<std::uint8_t>(crc & 0xFF),
                                                          static_cast<std::uint8_t>(crc >> 8)});
    EXPECT_EQ(h.ask(kStatusRequest), result);
    EXPECT_EQ(h.ask(kStatusRequest), result);  // repeated until acknowledged
    EXPECT_EQ(h.ask(kAckFrame), kAckFrame);
    EXPECT_EQ(h.core.mode(), UnitCore::Mode::Idle);
    EXPECT_EQ(h.ask(kStatusRequest), buildFrame(kCodeStatusDisable));
}

TEST(Download, AckBeforeTheResultDoesNotLeaveVerification) {
    UnitConfig c;
    c.verifyPolls = 1;
    Harness h(c);
    h.ask(kDownloadStart);
    h.ask(endFrame());
    EXPECT_EQ(h.ask(kAckFrame), kAckFrame);
    EXPECT_EQ(h.core.mode(), UnitCore::Mode::Verify);
    EXPECT_EQ(h.ask(kStatusRequest), buildFrame(kCodeDownloadMode, {kFlagBusy}));
    EXPECT_EQ(h.ask(kStatusRequest)[2], kCodeDownloadResult);
}

TEST(Download, FlaggedResultAndEmptyMemory) {
    UnitConfig c;
    c.flagged = true;
    c.erasePolls = 0;
    c.verifyPolls = 0;
    Harness h(c);
    h.ask(kDownloadStart);
    h.ask(endFrame());
    EXPECT_EQ(h.ask(kStatusRequest), buildFrame(kCodeDownloadResult, {kFlagResultFlagged, 0x00, 0x00}));
}

TEST(Download, DownloadStartErasesAndWritesBeyondTheCapAreIgnored) {
    UnitConfig c;
    c.memoryCapBytes = 16;
    Harness h(c);
    h.ask(dataFrame(0, Bytes(4, 0x11)));  // written even while idle
    EXPECT_EQ(h.core.extent(), 4u);
    EXPECT_EQ(h.core.mode(), UnitCore::Mode::Idle);
    h.ask(kDownloadStart);
    EXPECT_EQ(h.core.extent(), 0u);
    h.ask(dataFrame(12, Bytes(8, 0x22)));
    EXPECT_EQ(h.core.extent(), 16u);
    h.ask(dataFrame(0xFFFFFFF0u, Bytes(8, 0x33)));
    EXPECT_EQ(h.core.extent(), 16u);
    EXPECT_EQ(h.core.memory()[11], kErasedByte);
    EXPECT_EQ(h.core.memory()[15], 0x22);
}

TEST(Download, BusyForeverNeverFinishes) {
    UnitConfig c;
    c.busyForever = Phase::Erase;
    Harness h(c);
    h.ask(kDownloadStart);
    for (int i = 0; i < 50; ++i) {
        ASSERT_EQ(h.ask(kStatusRequest), buildFrame(kCodeDownloadMode, {kFlagBusy}));
    }
}

TEST(Scenarios, SilentLogsButNeverAnswers) {
    UnitConfig c;
    c.silent = true;
    Harness h(c);
    EXPECT_EQ(kinds(h.send(kStatusRequest)), std::vector<Event::Kind>{Event::Kind::In});
}

TEST(Scenarios, CorruptEveryCountsRepliesAndInvertsTheLastCheckByte) {
    UnitConfig c;
    c.corruptEvery = 2;
    Harness h(c);
    const Bytes good = buildFrame(kCodeStatusDisable);
    Bytes bad = good;
    bad.back() ^= 0xFF;
    EXPECT_EQ(h.ask(kStatusRequest), good);
    EXPECT_EQ(h.ask(kStatusRequest), bad);
    EXPECT_EQ(h.ask(kStatusRequest), good);
    EXPECT_EQ(h.ask(kStatusRequest), bad);
}

TEST(Scenarios, DropNthSkipsOnlyThatReplyButActsOnTheFrame) {
    UnitConfig c;
    c.dropNth = 2;
    Harness h(c);
    EXPECT_FALSE(h.ask(kStatusRequest).empty());
    EXPECT_TRUE(h.ask(kDownloadStart).empty());
    EXPECT_EQ(h.core.mode(), UnitCore::Mode::Download);
    EXPECT_FALSE(h.ask(kStatusRequest).empty());
}

TEST(Scenarios, IgnoreCodeActsOnThatCodeButNeverAnswersIt) {
    UnitConfig c;
    c.ignoreCode = kCodeDownloadEnd;
    Harness h(c);
    EXPECT_EQ(h.ask(kDownloadStart), kAckFrame);
    EXPECT_EQ(h.ask(dataFrame(0, Bytes{0x01, 0x02})), kAckFrame);
    EXPECT_TRUE(h.ask(endFrame()).empty());
    EXPECT_EQ(h.core.mode(), UnitCore::Mode::Verify);
    EXPECT_TRUE(h.ask(endFrame()).empty());
    EXPECT_FALSE(h.ask(kStatusRequest).empty());
    EXPECT_EQ(h.ask(kAckFrame), kAckFrame);
}

TEST(Scenarios, NoisePrecedesEachReplyAndHoldsNoSync) {
    UnitConfig c;
    c.noiseBytes = 40;
    Harness h(c);
    const std::vector<Event> events = h.send(kStatusRequest);
    ASSERT_EQ(kinds(events), (std::vector<Event::Kind>{Event::Kind::In, Event::Kind::Noise, Event::Kind::Out}));
    EXPECT_EQ(events[1].bytes.size(), 40u);
    for (std::uint8_t b : events[1].bytes) {
        EXPECT_NE(b, kSync);
    }
}

TEST(Transcript, FormatsTimeTagAndBytes) {
    EXPECT_EQ(transcriptLine(512345, Event::Kind::In, kStatusRequest), "0.512345 IN FC 05 11 27 56");
    EXPECT_EQ(transcriptLine(12'000'007, Event::Kind::Drop, {0xFC, 0x0a}), "12.000007 DROP FC 0A");
}
