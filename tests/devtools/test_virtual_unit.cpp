// Tests of the virtual unit: the frames it builds and takes in, the memory and result CRC of a download, its options.
#include <gtest/gtest.h>

#include "Crc16.h"
#include "Options.h"

using namespace vunit;
using Bytes = std::vector<std::uint8_t>;

namespace {

const Bytes kStatus{0xFC, 0x05, 0x11, 0x27, 0x56}, kAck{0xFC, 0x05, 0x50, 0xAA, 0x05};

// Feeds bytes 1 ms apart and tells what happened, as transcript tags, or the reply alone.
struct Unit {
    UnitCore core;
    std::int64_t clock = 0;
    std::string tags(const Bytes& bytes) {
        std::string out;
        for (const Event& e : core.receive(bytes.data(), bytes.size(), clock += 1000))
            out += transcriptTag(e.kind);
        return out;
    }
    Bytes ask(const Bytes& frame) {
        Bytes reply;
        for (const Event& e : core.receive(frame.data(), frame.size(), clock += 1000))
            if (e.kind == Event::Kind::Out) reply = e.bytes;
        return reply;
    }
};

}  // namespace

TEST(UnitCore, BuildsAndReceivesFrames) {
    EXPECT_EQ(buildFrame(UnitCommand::StatusRequest), kStatus);
    EXPECT_EQ(buildFrame(unit::kStatusDownloadMode, {unit::kFlagSet}), (Bytes{0xFC, 0x06, 0xD4, 0x80, 0x95, 0x8A}));
    Unit u{UnitCore({})};
    EXPECT_EQ(u.tags({0x00, 0x13, 0xFF, 0x11, 0xFC, 0x05}) + "|" + u.tags({0x11, 0x27, 0x56}), "|INOUT");
    EXPECT_EQ(u.tags({0xFC, 0x05, 0x11, 0x27, 0x57, 0xFC, 0x04, 0xFC, 0x05, 0x11, 0x27, 0x56}), "BADBADINOUT");
    EXPECT_EQ(u.tags({0xFC, 0x05}) + std::to_string(u.core.tick(u.clock + kStallTimeoutUs).size()), "0");
    EXPECT_EQ(u.core.tick(u.clock + kStallTimeoutUs + 1).size(), 1u) << "a stalled frame is dropped";
}

TEST(UnitCore, DownloadLeavesTheBlocksInMemoryAndReportsTheirCrc) {
    Unit u{UnitCore({})};
    const Bytes busy = buildFrame(unit::kStatusDownloadMode, {unit::kFlagSet}),
                ready = buildFrame(unit::kStatusDownloadMode, {unit::kFlagClear});
    Bytes data0{0x00, 0x00, 0x00, 0x00};  // the offset, low byte first, then the block
    for (int i = 0; i < 246; ++i) data0.push_back(static_cast<std::uint8_t>(i * 7));
    EXPECT_EQ(u.ask(buildFrame(UnitCommand::DownloadData, {0, 2, 0, 0, 0x11})), kAck) << "erased at start";
    for (auto [frame, polls] : {std::pair{buildFrame(UnitCommand::DownloadStart), kDefaultErasePolls},
                                {buildFrame(UnitCommand::DownloadData, data0), kDefaultWritePolls},
                                {buildFrame(UnitCommand::DownloadData, {0xFA, 0, 0, 0, 0xA0, 0xA1}),
                                 kDefaultWritePolls}}) {
        EXPECT_EQ(u.ask(frame), kAck);
        for (unsigned i = 0; i < polls; ++i) EXPECT_EQ(u.ask(kStatus), busy) << i;
        EXPECT_EQ(u.ask(kStatus), ready);
    }
    Bytes memory(data0.begin() + 4, data0.end());
    memory.insert(memory.end(), {0xFF, 0xFF, 0xFF, 0xFF, 0xA0, 0xA1});
    EXPECT_EQ(u.core.memory(), memory);
    EXPECT_EQ(u.ask(buildFrame(UnitCommand::DownloadEnd, Bytes(8, 0x00))), kAck);
    for (unsigned i = 0; i < kDefaultVerifyPolls; ++i) EXPECT_EQ(u.ask(kStatus), busy) << "verify poll " << i;
    const std::uint16_t crc = Crc16::of(memory.data(), memory.size());
    const Bytes result{unit::kFlagClear, static_cast<std::uint8_t>(crc & 0xFF), static_cast<std::uint8_t>(crc >> 8)};
    EXPECT_EQ(u.ask(kStatus), buildFrame(unit::kStatusDownloadResult, result));
    EXPECT_EQ(u.ask(kStatus), buildFrame(unit::kStatusDownloadResult, result)) << "repeated until acknowledged";
    EXPECT_EQ(u.ask(kAck), kAck);
    EXPECT_EQ(u.ask(kStatus), buildFrame(unit::kStatusDisable));
}

TEST(UnitCore, CorruptionAndNoiseThatTheLineTestsRelyOn) {
    const ParseResult parsed = parseOptions({"--corrupt-every", "2", "--noise=13"});
    ASSERT_TRUE(parsed.ok) << parsed.error;
    Unit u{UnitCore(parsed.options.unit)};
    Bytes good = buildFrame(unit::kStatusDisable), bad = good;
    bad.back() ^= 0xFF;
    for (const Bytes& reply : {good, bad, good, bad}) EXPECT_EQ(u.ask(kStatus), reply);
    const std::vector<Event> events = u.core.receive(kStatus.data(), kStatus.size(), u.clock += 1000);
    ASSERT_EQ(events.size(), 3u);
    EXPECT_EQ(events[1].bytes.size(), 13u);
    EXPECT_EQ(std::count(events[1].bytes.begin(), events[1].bytes.end(), unit::kSync), 0);
}

TEST(UnitCore, EachFaultOfTheMixIsInjectedAndLogged) {
    const struct { double FaultMix::*kind; const char *tags, *note; } rows[] = {  // tags: after one StatusRequest
        {&FaultMix::drop, "INFAULT", "drop"},
        {&FaultMix::corrupt, "INFAULTOUT", "corrupt"},
        {&FaultMix::noise, "INFAULTNOISEOUT", "noise "},
        {&FaultMix::split, "INFAULTOUTOUT", "split "},
        {&FaultMix::stall, "INFAULT", "stall "},
        {&FaultMix::vanish, "INFAULT", "vanish"},
    };
    for (const auto& row : rows) {
        UnitConfig config;
        config.faults.*(row.kind) = 1;
        UnitCore core(config);
        std::string tags, note;
        Bytes written;
        for (const Event& e : core.receive(kStatus.data(), kStatus.size(), 1000)) {
            tags += transcriptTag(e.kind);
            if (e.kind == Event::Kind::Fault) note = e.note;
            if (e.kind == Event::Kind::Out) written.insert(written.end(), e.bytes.begin(), e.bytes.end());
        }
        EXPECT_EQ(tags, row.tags) << row.note;
        EXPECT_EQ(note.rfind(row.note, 0), 0u) << note;
        if (row.kind == &FaultMix::corrupt) EXPECT_EQ(written, (Bytes{0xFC, 0x05, 0x1A, 0xF4, 0x17}));
        if (row.kind == &FaultMix::split) EXPECT_EQ(written, (Bytes{0xFC, 0x05, 0x1A, 0xF4, 0xE8})) << "whole";
        if (row.kind == &FaultMix::stall)  // no reply until the stall is over
            EXPECT_EQ(core.receive(kStatus.data(), kStatus.size(), 1000 + kMinStallUs - 1).back().note, "stalled");
    }
    UnitConfig busy;
    busy.faults.busy = 1;
    Unit u{UnitCore(busy)};
    const Bytes start = buildFrame(UnitCommand::DownloadStart);
    std::string note;
    for (const Event& e : u.core.receive(start.data(), start.size(), 0)) note += e.note;
    unsigned busyPolls = 0;
    while (u.ask(kStatus) == buildFrame(unit::kStatusDownloadMode, {unit::kFlagSet})) ++busyPolls;
    EXPECT_EQ("busy +" + std::to_string(busyPolls - kDefaultErasePolls), note) << "the erase lasts that much longer";
    const std::vector<std::string> bad = {"--faults", "drop=1.5"};
    EXPECT_FALSE(parseOptions(bad).ok);
    const auto parsed = parseOptions({"--faults", "split=0.25,vanish=0", "--seed", "9"});
    EXPECT_TRUE(parsed.ok && parsed.options.unit.faults.split == 0.25 && parsed.options.unit.faults.seed == 9);
}
