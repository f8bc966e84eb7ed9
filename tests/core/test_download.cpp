// Host tests of the download: the status line, the outcome boxes, and the state machine against a fake link and window.
#include <gtest/gtest.h>

#include <algorithm>
#include <utility>

#include "Crc16.h"
#include "DownloadProcedure.h"
#include "OutcomeBoxes.h"
#include "StatusText.h"
#include "TextCodec.h"
#include "UnitCommands.h"

namespace {
using Events = std::vector<std::string>;
using S = DownloadState;
Events operator+(Events a, const Events& b) { a.insert(a.end(), b.begin(), b.end()); return a; }
Events operator*(int n, const Events& e) { return n > 1 ? e + (n - 1) * e : e; }

ByteBuffer reply(std::initializer_list<std::uint8_t> codeAndData) {  // sync, length, code, data, check bytes
    ByteBuffer frame{0xFC, static_cast<std::uint8_t>(codeAndData.size() + 4)};
    for (const std::uint8_t b : codeAndData) frame.append(b);
    frame.append16(Crc16::of(frame.data(), frame.size()));
    return frame;
}
ByteBuffer result(std::uint8_t flag, std::uint8_t low = 0x34) { return reply({0xD3, flag, low, 0x12}); }
const ByteBuffer kDisable = reply({0x1A}), kAck = reply({0x50}), kReady = reply({0xD4, 0}), kBusy = reply({0xD4, 0x80}),
                 kOdd = reply({0xD4, 0x01}), kNone;
const std::string kPoll = "poll", kStart = "send FC 05 D0 ", kEnd = "send FC 0B D2 00 00 00 00 00 00 ",
                  kSendAck = "send FC 05 50 ";
const Events kFinish = {"stopOwnPolling", "close", "unlockControls", "status:"};
std::string shown(const OutcomeBox& b) { return "box:" + b.caption + "|" + b.text + "|" + std::to_string(b.type); }

// `size` bytes; the blocks listed in `blank` are all 0xFF, no other block is.
ByteBuffer image(std::size_t size, std::initializer_list<std::size_t> blank = {}) {
    ByteBuffer bytes;
    for (std::size_t i = 0; i < size; ++i)
        bytes.append(std::count(blank.begin(), blank.end(), i / 246) ? 0xFF : static_cast<std::uint8_t>(i * 7 + 3));
    return bytes;
}
std::string data(const ByteBuffer& img, std::uint32_t at, std::size_t n) {
    return "send " + hexDump(buildDataFrame(at, img.data() + at, n));
}
const ByteBuffer kImage = image(246 * 6 + 50, {3, 4});  // blocks 0-2 and 5 with data, 3-4 blank, 6 of 50 bytes

struct Harness : UnitRequests, DownloadView {
    Events log;
    bool opened = false, opens = true;
    DownloadProcedure proc{*this, this};

    Events take() { return std::exchange(log, {}); }
    void note(std::string event) { log.push_back(std::move(event)); }
    bool ensureOpen() override {
        if (!opened) note("open");
        return opened = opened || opens;
    }
    void requestStatus() override { note(kPoll); }
    void resumeAfterBlank() override { note("resumeAfterBlank"); }
    void stopOwnPolling() override { note("stopOwnPolling"); }
    void close() override { note("close"); }
    void lockControls(bool locked) override { note(locked ? "lockControls" : "unlockControls"); }
    void showOutcome(const DownloadOutcome& outcome) override { note(shown(outcomeBox(outcome))); }
    void sendCommand(const ByteBuffer& frame) override { note("send " + hexDump(frame)); }
    void showStatus(const std::string& text) override { note("status:" + text); }
    void showProgress(std::uint32_t blocksDone) override { note("progress:" + std::to_string(blocksDone)); }

    // Answers as a healthy unit until `target`; returns what the last answer did.
    Events run(S target) {
        for (int guard = 0; proc.state() != target && guard < 10000; ++guard) {
            take();
            switch (proc.state()) {
                case S::AwaitDisable: case S::AwaitFinalDisable: case S::AwaitFlaggedDisable:
                    proc.onStatusUpdate(kDisable); break;
                case S::AwaitErased: case S::AwaitReady: case S::AwaitEndReady: proc.onStatusUpdate(kReady); break;
                case S::AwaitResult: proc.onStatusUpdate(result(target == S::AwaitFlaggedDisable ? 0x80 : 0)); break;
                case S::SkipBlank: proc.onBlankPassed(); break;
                default: proc.onResponse(kAck); break;
            }
        }
        EXPECT_EQ(proc.state(), target);
        return take();
    }
    Events driveTo(S target, const ByteBuffer& img = kImage) { proc.start(img, 0x5A5A); return run(target); }
};
}  // namespace

TEST(StatusLine, NamedByCodeFlagAndState) {
    const std::optional<std::string> D = "Deleting", W = "Downloading", V = "Verifying", _;  // code D4, states 0 to 13:
    const std::optional<std::string> ready[] = {D, D, D, D, _, W, W, W, W, W, _, _, _, _};
    const std::optional<std::string> busy[] = {D, D, D, D, D, D, _, _, _, _, V, V, V, V};
    for (std::uint32_t s = 0; s < 14; ++s) {
        for (const std::uint8_t flag : {0x00, 0x80, 0x01, 0xFF}) {
            SCOPED_TRACE(testing::Message() << "state " << s << " flag " << int(flag));
            EXPECT_EQ(statusTextFor(0x1A, flag, S(s)), "Disable");
            EXPECT_EQ(statusTextFor(0x40, flag, S(s)), "Reset");
            EXPECT_EQ(statusTextFor(0x50, flag, S(s)), "");
            EXPECT_EQ(statusTextFor(0xD4, flag, S(s)), (flag ? busy : ready)[s]);
            for (const std::uint8_t code : {0xD3, 0x11, 0x00, 0xFF, 0xD0, 0xD1, 0xD2, 0xFC})
                EXPECT_EQ(statusTextFor(code, flag, S(s)), std::nullopt) << int(code);
        }
    }
    EXPECT_EQ(statusTextForReply(ByteBuffer{0xFC, 0x06, 0xD4, 0x80}, S::AwaitResult), "Verifying");
    for (const ByteBuffer& cut : {ByteBuffer{}, ByteBuffer{0xFC, 0x05}, ByteBuffer{0xFC, 0x05, 0x1A}})
        EXPECT_EQ(statusTextForReply(cut, S::AwaitDisable), std::nullopt) << cut.size();
}

TEST(OutcomeBoxes, EachBoxByteForByte) {
    const std::string caption = "DOWNLOAD PROGRAM Ver.1.20", premature = "ERROR:Premature Termination",
                      notDisabled = "ERROR:Unit is not disabled/connected", enabled = "Make sure unit is not enabled.",
                      connected = "Make sure unit is connected and turned on.", verify = "Verify unit connection to "
                      "PC\n", restart = "Download process may need to be restarted\n(Forced download method)",
                      noAck = "No Ack message from Acceptor\n\n" + verify + restart, success = "The target file was "
                      "downloaded successfully\nCRC:0ABC\nFILE-CRC:0B87";
    const std::pair<OutcomeBox, OutcomeBox> cases[] = {
        {noImageBox(), {"ERROR: Download file is not selected", "Select a valid software.", 0x40}},
        {portInitFailedBox(), {caption, "Failed in the initialization of the communication port.", 0}},
        {successBox(0x0A, 0xBC, 0x0B87), {caption, success, 0x40}},
        {flaggedResultBox(0xAB, 0x0C, 0x00F0), {"Premature Termination", "Following download status did not returned "
         "to disable\n\nFile may have been completely loaded, check the unit.\nIf unit does not function, download "
         "again.\n\nCRC:AB0C\nFILE-CRC:00F0", 0x40}},
        {giveUpBox(S::AwaitDisable), {notDisabled, connected + "\n" + enabled, 0x40}},
        {giveUpBox(S::AwaitStartAck), {premature, noAck, 0x40}},
        {giveUpBox(S::AwaitErased), {notDisabled, enabled + "\n" + connected, 0x40}},
        {giveUpBox(S::AwaitFirstBlockAck), {"ERROR:Communication Error.", restart, 0x40}},
        {giveUpBox(S::AwaitReady), {premature, "No Ready/Busy message from Acceptor\n\nVerify a valid software is "
         "selected\nVerify the unit has Flash ROM\n" + verify + "Download process need to be restarted\n(Forced "
         "download method)", 0x40}},
        {giveUpBox(S::AwaitBlockAck), {premature, noAck, 0x40}},
        {giveUpBox(S::AwaitLastBlockAck), {premature, noAck, 0x40}},
        {giveUpBox(S::AwaitEndReady), {"ERROR:Communication Error", restart, 0x40}},
        {giveUpBox(S::AwaitEndAck), {"ERROR:No Ack from Acceptor", verify + restart, 0x40}},
        {giveUpBox(S::Idle), {"", "", 0x40}},
    };
    for (const auto& [actual, expected] : cases) EXPECT_EQ(shown(actual), shown(expected));
}

TEST(DownloadStart, RefusedWithoutAnImageOrALineThenOpensTheLineOnceAndCountsAfresh) {
    Harness h;
    EXPECT_EQ(h.proc.start(ByteBuffer{}, 0x1234), StartResult::NoImage);
    EXPECT_EQ(DownloadProcedure(h, nullptr).start(kImage, 0x1234), StartResult::NoLine);
    EXPECT_EQ(h.take(), Events{});
    h.opens = false;
    EXPECT_EQ(h.proc.start(kImage, 0x1234), StartResult::NotOpened);
    EXPECT_EQ(h.take(), Events{"open"});
    const Events started = {"stopOwnPolling", kPoll, "lockControls", "progress:0"};
    h.opens = true;
    EXPECT_EQ(h.driveTo(S::AwaitDisable), Events{"open"} + started);
    EXPECT_EQ(h.driveTo(S::AwaitDisable), started);  // open already
    h.proc.onAlarm(kNone);
    h.driveTo(S::AwaitDisable);
    EXPECT_EQ(h.proc.retryCount(S::AwaitDisable), 0u) << "each start counts afresh";
}

TEST(DownloadStates, EachAnswerInEachStateDoesOneStep) {
    enum Via { Status, Response, Alarm };
    const Events success = kFinish + Events{shown(successBox(0x12, 0x34, 0x5A5A)), "progress:0"},
                 flagged = kFinish + Events{shown(flaggedResultBox(0x12, 0x34, 0x5A5A))},
                 deleting = {"status:Deleting"}, disable = {kSendAck, "status:Disable"};
    const auto times = [](int n, const ByteBuffer& answer) { return std::vector<ByteBuffer>(n, answer); };
    const auto giveUp = [](S state) { return kFinish + Events{shown(giveUpBox(state))}; };
    const struct Row { S state; Via via; std::vector<ByteBuffer> answers; Events events; S next; std::uint32_t count; }
        rows[] = {
        {S::AwaitDisable, Status, {kDisable}, {"status:Disable", kStart}, S::AwaitStartAck, 0},
        {S::AwaitDisable, Status, {{0xFC, 0x05, 0x1A}}, {kStart}, S::AwaitStartAck, 0},  // too short to be shown
        {S::AwaitStartAck, Response, {kAck}, {"status:", kPoll}, S::AwaitErased, 0},
        {S::AwaitErased, Status, {kReady}, {"status:Deleting", data(kImage, 0, 246)}, S::AwaitFirstBlockAck, 0},
        {S::AwaitFirstBlockAck, Response, {kAck}, {"status:", kPoll}, S::AwaitReady, 0},
        {S::AwaitReady, Status, {kReady}, {"status:Downloading", "progress:1", data(kImage, 246, 246)}, S(6), 0},
        {S::AwaitReady, Status, times(300, kBusy), 300 * Events{"status:Deleting", kPoll}, S::AwaitReady, 0},
        {S::AwaitReady, Status, {kOdd}, {"status:Deleting", kPoll}, S::AwaitReady, 1},
        {S::AwaitBlockAck, Response, {kAck}, {"status:", kPoll}, S::AwaitReady, 0},
        {S::SkipBlank, Status, {kBusy}, {"status:Verifying"}, S::SkipBlank, 0},
        {S::SkipBlank, Response, {kAck}, {"status:"}, S::SkipBlank, 0},
        {S::SkipBlank, Alarm, {kNone}, {}, S::SkipBlank, 0},
        {S::AwaitLastBlockAck, Response, {kAck}, {"status:", kPoll}, S::AwaitEndReady, 0},
        {S::AwaitEndReady, Status, {kReady}, {"status:Downloading", kEnd}, S::AwaitEndAck, 0},
        {S::AwaitEndAck, Response, {kAck}, {"status:", kPoll}, S::AwaitResult, 0},
        {S::AwaitResult, Alarm, times(300, kNone), 300 * Events{kPoll}, S::AwaitResult, 0},
        {S::AwaitResult, Status, {result(0x40)}, {kPoll}, S::AwaitResult, 0},
        {S::AwaitResult, Status, {{0xFC, 0x08, 0xD3, 0x00, 0x34}}, {kPoll}, S::AwaitResult, 0},  // no CRC high byte
        {S::AwaitResult, Status, {result(0x00)}, {kSendAck, kPoll}, S::AwaitFinalDisable, 0},
        {S::AwaitResult, Status, {result(0x80)}, {kSendAck, kPoll}, S::AwaitFlaggedDisable, 0},
        {S::AwaitFinalDisable, Status, {result(0x80), kAck}, {kPoll, "status:", kPoll}, S::AwaitFinalDisable, 0},
        {S::AwaitFlaggedDisable, Status, {result(0x00), kAck}, {kPoll, "status:", kPoll}, S::AwaitFlaggedDisable, 0},
        // A repeated result is acknowledged again; the box shows the first result's CRC.
        {S::AwaitFinalDisable, Status, {result(0, 0x99), kDisable}, disable + success, S::Idle, 0},
        {S::AwaitFlaggedDisable, Status, {result(0x80, 0x99), kDisable}, disable + flagged, S::Idle, 0},
        {S::Idle, Response, {kAck, kReady, result(0)}, {"status:", "status:Deleting"}, S::Idle, 0},  // after the end
        // Each limit: the repetitions, then the give-up on the next failure; busy counts in states 1, 3 and 8.
        {S::AwaitDisable, Status, times(11, kBusy), 10 * (deleting + Events{kPoll}) + deleting + giveUp(S(1)), S(0), 0},
        {S::AwaitStartAck, Response, times(11, {0xFC, 0x05}), 10 * Events{kStart} + giveUp(S(2)), S::Idle, 0},
        {S::AwaitErased, Status, times(51, kBusy), 50 * (deleting + Events{kPoll}) + deleting + giveUp(S(3)), S(0), 0},
        {S::AwaitFirstBlockAck, Alarm, times(11, kNone), 10 * Events{data(kImage, 0, 246)} + giveUp(S(4)), S(0), 0},
        {S::AwaitReady, Alarm, times(11, kNone), 10 * Events{kPoll} + giveUp(S(5)), S::Idle, 0},
        {S::AwaitBlockAck, Alarm, times(11, kNone), 10 * Events{data(kImage, 246, 246)} + giveUp(S(6)), S::Idle, 0},
        {S::AwaitLastBlockAck, Alarm, times(11, kNone), 10 * Events{data(kImage, 1476, 50)} + giveUp(S(7)), S(0), 0},
        {S::AwaitEndReady, Status, times(11, kBusy), 10 * Events{kPoll} + giveUp(S(8)), S::Idle, 0},
        {S::AwaitEndAck, Alarm, times(11, kNone), 10 * Events{kEnd} + giveUp(S(9)), S::Idle, 0},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(testing::Message() << "state " << stateNumber(r.state) << " answer " << hexDump(r.answers[0]));
        Harness h;
        h.driveTo(r.state);
        if (r.state != S::SkipBlank) h.proc.onBlankPassed();  // outside state 13 it changes nothing
        for (const ByteBuffer& a : r.answers)
            r.via == Alarm ? h.proc.onAlarm(a) : r.via == Status ? h.proc.onStatusUpdate(a) : h.proc.onResponse(a);
        EXPECT_EQ(h.take(), r.events);
        EXPECT_EQ(h.proc.state(), r.next);
        EXPECT_EQ(h.proc.retryCount(r.next), r.count);
    }
}

TEST(DownloadBlocks, BlankBlocksAreSkippedAndCountsRestartOrGoOn) {
    Harness h;
    h.driveTo(S::AwaitBlockAck);  // block 1, sent from state 5
    const auto fail = [&h](int n) { for (int i = 0; i < n; ++i) h.proc.onAlarm(kNone); return h.take().back(); };
    fail(10);  h.proc.onResponse(kAck);  fail(10);
    h.proc.onStatusUpdate(kReady);  // block 2, sent from state 5: its count starts at 0
    EXPECT_EQ(h.proc.retryCount(S::AwaitBlockAck), 0u);
    fail(2);  h.proc.onResponse(kAck);
    EXPECT_EQ(h.proc.retryCount(S::AwaitReady), 0u);  // starts again after each block ack
    h.take();  h.proc.onStatusUpdate(kReady);  h.proc.onBlankPassed();
    EXPECT_EQ(h.take(), (Events{"status:Downloading", "progress:3", "resumeAfterBlank", "progress:4", "resumeAfterBlank"}));
    h.proc.onBlankPassed();  // block 5 at its own offset; the count of state 6 goes on from 2
    EXPECT_EQ(h.take(), (Events{"progress:5", data(kImage, 1230, 246)}));
    EXPECT_EQ(fail(8), data(kImage, 1230, 246));
    EXPECT_EQ(fail(1), shown(giveUpBox(S::AwaitBlockAck)));
}

TEST(DownloadBlocks, FirstLastAndOnlyBlocksAreSentWhole) {
    const ByteBuffer blanks = image(246 * 3, {0, 2});  // an exact multiple of 246, its first and last blocks blank
    Harness h;
    EXPECT_EQ(h.driveTo(S::AwaitFirstBlockAck, blanks), (Events{"status:Deleting", data(blanks, 0, 246)}));
    EXPECT_EQ(h.run(S::AwaitLastBlockAck), (Events{"status:Downloading", "progress:2", data(blanks, 492, 246)}));
    EXPECT_EQ(h.run(S::AwaitEndAck), (Events{"status:Downloading", kEnd}));
    for (const std::size_t size : {1, 14, 245, 246, 247}) {
        const ByteBuffer img = image(size);
        const std::string last = Harness().driveTo(S::AwaitLastBlockAck, img).back();
        EXPECT_EQ(last, size > 246 ? data(img, 246, 1) : data(img, 0, size)) << size;
    }
    ByteBuffer loaded = kImage;  // the procedure keeps its own copy: a file loaded meanwhile changes nothing
    Harness copy;
    copy.proc.start(loaded, 0x5A5A);
    loaded = image(kImage.size(), {0, 1, 2, 3, 4, 5, 6});
    EXPECT_EQ(copy.run(S::AwaitLastBlockAck).back(), data(kImage, 1476, 50));
}
