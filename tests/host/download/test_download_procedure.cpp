// Host tests: the download state machine against a fake link and window, frame by frame and box by box.
#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "Crc16.h"
#include "DownloadProcedure.h"

namespace {
using Events = std::vector<std::string>;

std::string hex(const ByteBuffer& bytes) {
    std::string out;
    char two[4];
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        std::snprintf(two, sizeof two, i == 0 ? "%02X" : " %02X", bytes[i]);
        out += two;
    }
    return out;
}

// A reply frame as the unit sends it: sync, length, code, data, check bytes low byte first.
ByteBuffer unitReply(std::initializer_list<std::uint8_t> codeAndData) {
    ByteBuffer frame{0xFC, static_cast<std::uint8_t>(codeAndData.size() + 4)};
    for (std::uint8_t b : codeAndData) frame.append(b);
    Crc16 crc;
    crc.update(frame.data(), frame.size());
    frame.append(crc.low());
    frame.append(crc.high());
    return frame;
}
const ByteBuffer kDisable = unitReply({0x1A});
const ByteBuffer kReset = unitReply({0x40});
const ByteBuffer kAck = unitReply({0x50});
const ByteBuffer kReady = unitReply({0xD4, 0x00});
const ByteBuffer kBusy = unitReply({0xD4, 0x80});
const ByteBuffer kOddMode = unitReply({0xD4, 0x01});
ByteBuffer result(std::uint8_t flag, std::uint8_t low, std::uint8_t high) { return unitReply({0xD3, flag, low, high}); }

const std::string kPoll = "poll";
const std::string kSendStart = "send FC 05 D0";
const std::string kSendEnd = "send FC 0B D2 00 00 00 00 00 00";
const std::string kSendAck = "send FC 05 50";
const Events kFinish = {"disablePolling", "disconnect", "enableControls", "status:"};

// Image bytes with no all-0xFF block unless one is made blank on purpose.
ByteBuffer makeImage(std::size_t size, std::initializer_list<std::size_t> blankBlocks = {}) {
    ByteBuffer image;
    for (std::size_t i = 0; i < size; ++i) {
        bool blank = false;
        for (std::size_t b : blankBlocks) blank = blank || i / 246 == b;
        image.append(blank ? 0xFF : static_cast<std::uint8_t>(i * 7 + 3));
    }
    return image;
}

// "send" of a DownloadData frame: the header as listed, then the image bytes [from, from + n).
std::string dataSend(ByteBuffer header, const ByteBuffer& image, std::size_t from, std::size_t n) {
    header.append(image.data() + from, n);
    return "send " + hex(header);
}

class Harness : public DownloadLink, public DownloadView {
public:
    Events log;
    std::vector<OutcomeBox> boxes;
    bool connected = false;
    bool connectSucceeds = true;
    std::function<void()> duringBox;
    DownloadProcedure proc{*this, this};

    Events take() { Events out; out.swap(log); return out; }

    bool isConnected() const override { return connected; }
    bool connect() override { log.push_back("connect"); return connected = connectSucceeds; }
    void disablePolling() override { log.push_back("disablePolling"); }
    void pollOnce() override { log.push_back(kPoll); }
    void postCommand(const ByteBuffer& frame) override { log.push_back("send " + hex(frame)); }
    void disconnect() override { log.push_back("disconnect"); connected = false; }

    void setStatusText(const std::string& text) override { log.push_back("status:" + text); }
    void setProgress(std::uint32_t position) override { log.push_back("progress:" + std::to_string(position)); }
    void disableControls() override { log.push_back("disableControls"); }
    void enableControls() override { log.push_back("enableControls"); }
    void showBox(const OutcomeBox& box) override {
        log.push_back("box:" + box.caption);
        boxes.push_back(box);
        if (duringBox) duringBox();
    }
    void postSendCancel() override { log.push_back("sendCancel"); }

    // Starts and answers as a healthy unit would until `target` is reached; the log is then cleared.
    void driveTo(DownloadState target, const ByteBuffer& image, bool flagged = false) {
        proc.start(image, 0x5A5A);
        for (int guard = 0; proc.state() != target && guard < 10000; ++guard) {
            switch (proc.state()) {
                case DownloadState::AwaitDisable:
                case DownloadState::AwaitFinalDisable:
                case DownloadState::AwaitFlaggedDisable: proc.onStatusUpdate(kDisable); break;
                case DownloadState::AwaitErased:
                case DownloadState::AwaitReady:
                case DownloadState::AwaitEndReady: proc.onStatusUpdate(kReady); break;
                case DownloadState::AwaitResult: proc.onStatusUpdate(result(flagged ? 0x80 : 0x00, 0x34, 0x12)); break;
                case DownloadState::SkipBlank: proc.onSendCancel(); break;
                default: proc.onResponse(kAck); break;
            }
        }
        ASSERT_EQ(proc.state(), target);
        log.clear();
    }
};

const ByteBuffer kImage600 = makeImage(600);
}  // namespace

TEST(DownloadStart, WithoutImageOnlyTheBox) {
    Harness h;
    h.proc.start(ByteBuffer{}, 0x1234);
    EXPECT_EQ(h.take(), (Events{"box:ERROR: Download file is not selected"}));
    EXPECT_EQ(h.boxes.at(0), noImageBox());
    EXPECT_EQ(h.proc.state(), DownloadState::Idle);
}

TEST(DownloadStart, WithoutLinkNothingHappens) {
    Harness h;
    DownloadProcedure noLink(h, nullptr);
    noLink.start(kImage600, 0x1234);
    EXPECT_EQ(h.take(), Events{});
    EXPECT_EQ(noLink.state(), DownloadState::Idle);
}

TEST(DownloadStart, ConnectsWhenNeededAndStaysIdleWhenThatFails) {
    Harness h;
    h.connectSucceeds = false;
    h.proc.start(kImage600, 0x1234);
    EXPECT_EQ(h.take(), Events{"connect"});
    EXPECT_EQ(h.proc.state(), DownloadState::Idle);

    h.connectSucceeds = true;
    h.proc.start(kImage600, 0x1234);
    EXPECT_EQ(h.take(), (Events{"connect", "disablePolling", kPoll, "disableControls", "progress:0"}));
    EXPECT_EQ(h.proc.state(), DownloadState::AwaitDisable);

    Harness open;
    open.connected = true;
    open.proc.start(kImage600, 0x1234);
    EXPECT_EQ(open.take(), (Events{"disablePolling", kPoll, "disableControls", "progress:0"}));
}

TEST(DownloadWalkThrough, Image600MessageByMessage) {
    Harness h;
    const ByteBuffer& img = kImage600;
    h.proc.start(img, 0x5A5A);
    EXPECT_EQ(h.take(), (Events{"connect", "disablePolling", kPoll, "disableControls", "progress:0"}));
    h.proc.onStatusUpdate(kDisable);
    EXPECT_EQ(h.take(), (Events{"status:Disable", kSendStart}));
    h.proc.onResponse(kAck);
    EXPECT_EQ(h.take(), (Events{"status:", kPoll}));
    h.proc.onStatusUpdate(kBusy);
    EXPECT_EQ(h.take(), (Events{"status:Deleting", kPoll}));
    EXPECT_EQ(h.proc.retryCount(DownloadState::AwaitErased), 1u);
    h.proc.onStatusUpdate(kReady);  // named by the state before the step
    EXPECT_EQ(h.take(), (Events{"status:Deleting", dataSend({0xFC, 0xFF, 0xD1, 0x00, 0x00, 0x00, 0x00}, img, 0, 246)}));
    EXPECT_EQ(h.proc.state(), DownloadState::AwaitFirstBlockAck);
    h.proc.onResponse(kAck);
    EXPECT_EQ(h.take(), (Events{"status:", kPoll}));
    h.proc.onStatusUpdate(kReady);
    EXPECT_EQ(h.take(), (Events{"status:Downloading", "progress:1",
                                dataSend({0xFC, 0xFF, 0xD1, 0xF6, 0x00, 0x00, 0x00}, img, 246, 246)}));
    EXPECT_EQ(h.proc.state(), DownloadState::AwaitBlockAck);
    h.proc.onResponse(kAck);
    EXPECT_EQ(h.take(), (Events{"status:", kPoll}));
    h.proc.onStatusUpdate(kReady);
    EXPECT_EQ(h.take(), (Events{"status:Downloading", "progress:2",
                                dataSend({0xFC, 0x75, 0xD1, 0xEC, 0x01, 0x00, 0x00}, img, 492, 108)}));
    EXPECT_EQ(h.proc.state(), DownloadState::AwaitLastBlockAck);
    EXPECT_EQ(h.proc.blockOffset(), 492u);
    EXPECT_EQ(h.proc.blocksDone(), 2u);
    h.proc.onResponse(kAck);
    EXPECT_EQ(h.take(), (Events{"status:", kPoll}));
    h.proc.onStatusUpdate(kReady);
    EXPECT_EQ(h.take(), (Events{"status:Downloading", kSendEnd}));
    h.proc.onResponse(kAck);
    EXPECT_EQ(h.take(), (Events{"status:", kPoll}));
    EXPECT_EQ(h.proc.state(), DownloadState::AwaitResult);
    h.proc.onStatusUpdate(kBusy);
    EXPECT_EQ(h.take(), (Events{"status:Verifying", kPoll}));
    h.proc.onStatusUpdate(result(0x00, 0x34, 0x12));
    EXPECT_EQ(h.take(), (Events{kSendAck, kPoll}));
    EXPECT_EQ(h.proc.state(), DownloadState::AwaitFinalDisable);
    h.proc.onResponse(kAck);
    EXPECT_EQ(h.take(), (Events{"status:", kPoll}));
    h.proc.onStatusUpdate(kDisable);
    Events end = {"status:Disable"};
    end.insert(end.end(), kFinish.begin(), kFinish.end());
    end.insert(end.end(), {"box:DOWNLOAD PROGRAM Ver.1.20", "progress:0"});
    EXPECT_EQ(h.take(), end);
    EXPECT_EQ(h.boxes.at(0), (OutcomeBox{BoxKind::Information, "DOWNLOAD PROGRAM Ver.1.20",
                                         "The target file was downloaded successfully\nCRC:1234\nFILE-CRC:5A5A", 0x40}));
    EXPECT_EQ(h.proc.state(), DownloadState::Idle);
    EXPECT_FALSE(h.connected);

    // A second download opens the link again and starts from scratch.
    h.proc.start(img, 0x5A5A);
    EXPECT_EQ(h.take(), (Events{"connect", "disablePolling", kPoll, "disableControls", "progress:0"}));
    EXPECT_EQ(h.proc.state(), DownloadState::AwaitDisable);
}

struct RetryCase {
    DownloadState state;
    std::uint32_t limit;
    std::string repeated;
    const char* caption;
};

TEST(DownloadRetries, EachLimitGivesUpOnTheFailureAfterItsLastRepetition) {
    const ByteBuffer& img = kImage600;
    const RetryCase cases[] = {
        {DownloadState::AwaitDisable, 10, kPoll, "ERROR:Unit is not disabled/connected"},
        {DownloadState::AwaitStartAck, 10, kSendStart, "ERROR:Premature Termination"},
        {DownloadState::AwaitErased, 50, kPoll, "ERROR:Unit is not disabled/connected"},
        {DownloadState::AwaitFirstBlockAck, 10, dataSend({0xFC, 0xFF, 0xD1, 0, 0, 0, 0}, img, 0, 246),
         "ERROR:Communication Error."},
        {DownloadState::AwaitReady, 10, kPoll, "ERROR:Premature Termination"},
        {DownloadState::AwaitBlockAck, 10, dataSend({0xFC, 0xFF, 0xD1, 0xF6, 0, 0, 0}, img, 246, 246),
         "ERROR:Premature Termination"},
        {DownloadState::AwaitLastBlockAck, 10, dataSend({0xFC, 0x75, 0xD1, 0xEC, 0x01, 0, 0}, img, 492, 108),
         "ERROR:Premature Termination"},
        {DownloadState::AwaitEndReady, 10, kPoll, "ERROR:Communication Error"},
        {DownloadState::AwaitEndAck, 10, kSendEnd, "ERROR:No Ack from Acceptor"},
    };
    for (const RetryCase& c : cases) {
        SCOPED_TRACE(stateNumber(c.state));
        Harness h;
        h.driveTo(c.state, img);
        const std::uint32_t progress = h.proc.blocksDone();
        for (std::uint32_t i = 1; i <= c.limit; ++i) {
            // An Alarm is empty after a failed poll and holds the frame after a failed command.
            const ByteBuffer posted = i % 2 == 0 ? ByteBuffer{0xFC, 0x05, 0xD0} : ByteBuffer{};
            h.proc.onAlarm(posted);
            ASSERT_EQ(h.take(), Events{c.repeated}) << i;
            ASSERT_EQ(h.proc.retryCount(c.state), i);
            ASSERT_EQ(h.proc.state(), c.state);
        }
        h.proc.onAlarm(ByteBuffer{});
        Events giveUp = kFinish;
        giveUp.push_back(std::string("box:") + c.caption);
        EXPECT_EQ(h.take(), giveUp);  // and no progress change: the bar keeps its position
        EXPECT_EQ(h.boxes.at(0), giveUpBox(c.state));
        EXPECT_EQ(h.proc.state(), DownloadState::Idle);
        EXPECT_EQ(h.proc.blocksDone(), progress);
    }
}

TEST(DownloadRetries, WrongRepliesCountBusyOnlyOutsideState5) {
    Harness h;
    h.driveTo(DownloadState::AwaitDisable, kImage600);
    h.proc.onStatusUpdate(kReset);
    EXPECT_EQ(h.take(), (Events{"status:Reset", kPoll}));
    h.proc.onStatusUpdate(kOddMode);  // neither ready nor busy
    EXPECT_EQ(h.take(), (Events{"status:Deleting", kPoll}));
    EXPECT_EQ(h.proc.retryCount(DownloadState::AwaitDisable), 2u);

    Harness erase;
    erase.driveTo(DownloadState::AwaitErased, kImage600);
    for (int i = 0; i < 50; ++i) erase.proc.onStatusUpdate(kBusy);
    erase.take();
    erase.proc.onStatusUpdate(kBusy);
    EXPECT_EQ(erase.boxes.at(0).caption, "ERROR:Unit is not disabled/connected");

    Harness end;
    end.driveTo(DownloadState::AwaitEndReady, kImage600);
    for (int i = 0; i < 10; ++i) end.proc.onStatusUpdate(kBusy);
    EXPECT_EQ(end.proc.retryCount(DownloadState::AwaitEndReady), 10u);
    EXPECT_TRUE(end.boxes.empty());
    end.proc.onStatusUpdate(kBusy);
    EXPECT_EQ(end.boxes.at(0).caption, "ERROR:Communication Error");

    Harness data;
    data.driveTo(DownloadState::AwaitReady, kImage600);
    for (int i = 0; i < 500; ++i) {
        data.proc.onStatusUpdate(kBusy);  // the unit is writing: waited out without limit
        ASSERT_EQ(data.take(), (Events{"status:Deleting", kPoll})) << i;
    }
    EXPECT_EQ(data.proc.retryCount(DownloadState::AwaitReady), 0u);
    EXPECT_EQ(data.proc.state(), DownloadState::AwaitReady);
}

TEST(DownloadRetries, State5CountStartsAgainAfterEachBlockAck) {
    Harness h;
    h.driveTo(DownloadState::AwaitReady, kImage600);
    for (int i = 0; i < 10; ++i) h.proc.onAlarm(ByteBuffer{});
    h.proc.onStatusUpdate(kReady);
    h.proc.onResponse(kAck);
    EXPECT_EQ(h.proc.retryCount(DownloadState::AwaitReady), 0u);
    for (int i = 0; i < 10; ++i) h.proc.onAlarm(ByteBuffer{});
    EXPECT_TRUE(h.boxes.empty());
    h.proc.onAlarm(ByteBuffer{});
    EXPECT_EQ(h.boxes.at(0).caption, "ERROR:Premature Termination");
}

TEST(DownloadBlocks, BlankMiddleBlocksAreSkippedThroughSendCancelWithProgress) {
    // Seven blocks: 0 and 1 with data, 2 to 4 blank, 5 with data, 6 the last (50 bytes).
    const ByteBuffer img = makeImage(246 * 6 + 50, {2, 3, 4});
    Harness h;
    h.driveTo(DownloadState::AwaitReady, img);
    h.proc.onStatusUpdate(kReady);
    EXPECT_EQ(h.take(), (Events{"status:Downloading", "progress:1",
                                dataSend({0xFC, 0xFF, 0xD1, 0xF6, 0, 0, 0}, img, 246, 246)}));
    h.proc.onResponse(kAck);
    h.take();
    h.proc.onStatusUpdate(kReady);
    EXPECT_EQ(h.take(), (Events{"status:Downloading", "progress:2", "sendCancel"}));
    EXPECT_EQ(h.proc.state(), DownloadState::SkipBlank);

    // Answers that arrive meanwhile are not judged, only shown (state 13 counts as "10 or more" for busy).
    h.proc.onStatusUpdate(kBusy);
    h.proc.onResponse(kAck);
    h.proc.onAlarm(ByteBuffer{});
    EXPECT_EQ(h.take(), (Events{"status:Verifying", "status:"}));
    EXPECT_EQ(h.proc.state(), DownloadState::SkipBlank);

    h.proc.onSendCancel();
    EXPECT_EQ(h.take(), (Events{"progress:3", "sendCancel"}));
    h.proc.onSendCancel();
    EXPECT_EQ(h.take(), (Events{"progress:4", "sendCancel"}));
    h.proc.onSendCancel();
    EXPECT_EQ(h.take(), (Events{"progress:5", dataSend({0xFC, 0xFF, 0xD1, 0xCE, 0x04, 0, 0}, img, 1230, 246)}));
    EXPECT_EQ(h.proc.state(), DownloadState::AwaitBlockAck);
    EXPECT_EQ(h.proc.blockOffset(), 1230u);
    h.proc.onResponse(kAck);
    h.proc.onStatusUpdate(kReady);
    EXPECT_EQ(h.take(), (Events{"status:", kPoll, "status:Downloading", "progress:6",
                                dataSend({0xFC, 0x3B, 0xD1, 0xC4, 0x05, 0, 0}, img, 1476, 50)}));
    EXPECT_EQ(h.proc.state(), DownloadState::AwaitLastBlockAck);
}

TEST(DownloadBlocks, BlockSentFromReadyCountsAfreshAndAfterABlankRunContinues) {
    // Blocks 0 to 2 with data, 3 blank, 4 with data, 5 the last.
    const ByteBuffer img = makeImage(246 * 5 + 100, {3});
    Harness h;
    h.driveTo(DownloadState::AwaitReady, img);
    h.proc.onStatusUpdate(kReady);  // block 1
    for (int i = 0; i < 3; ++i) h.proc.onAlarm(ByteBuffer{});
    h.proc.onResponse(kAck);
    h.proc.onStatusUpdate(kReady);  // block 2, sent from state 5: its count starts at 0
    EXPECT_EQ(h.proc.retryCount(DownloadState::AwaitBlockAck), 0u);
    for (int i = 0; i < 2; ++i) h.proc.onAlarm(ByteBuffer{});
    h.proc.onResponse(kAck);
    h.proc.onStatusUpdate(kReady);  // block 3 is blank
    h.proc.onSendCancel();          // block 4, sent from the skip: the count goes on from 2
    h.take();
    EXPECT_EQ(h.proc.retryCount(DownloadState::AwaitBlockAck), 2u);
    const std::string block4 = dataSend({0xFC, 0xFF, 0xD1, 0xD8, 0x03, 0, 0}, img, 984, 246);
    for (int i = 0; i < 8; ++i) {
        h.proc.onAlarm(ByteBuffer{});
        ASSERT_EQ(h.take(), Events{block4}) << i;
    }
    h.proc.onAlarm(ByteBuffer{});
    EXPECT_EQ(h.boxes.at(0).caption, "ERROR:Premature Termination");
}

TEST(DownloadBlocks, BlankFirstAndLastBlocksAreSent) {
    const ByteBuffer img = makeImage(246 * 3, {0, 2});
    Harness h;
    h.driveTo(DownloadState::AwaitErased, img);
    h.proc.onStatusUpdate(kReady);
    EXPECT_EQ(h.take(), (Events{"status:Deleting", dataSend({0xFC, 0xFF, 0xD1, 0, 0, 0, 0}, img, 0, 246)}));
    h.proc.onResponse(kAck);
    h.proc.onStatusUpdate(kReady);
    h.proc.onResponse(kAck);
    h.take();
    h.proc.onStatusUpdate(kReady);
    EXPECT_EQ(h.take(), (Events{"status:Downloading", "progress:2",
                                dataSend({0xFC, 0xFF, 0xD1, 0xEC, 0x01, 0, 0}, img, 492, 246)}));
    EXPECT_EQ(h.proc.state(), DownloadState::AwaitLastBlockAck);
}

TEST(DownloadBlocks, ExactMultipleOf246EndsWithAFullLastBlockAndTheEndPhase) {
    const ByteBuffer img = makeImage(492);
    Harness h;
    h.driveTo(DownloadState::AwaitReady, img);
    h.proc.onStatusUpdate(kReady);
    EXPECT_EQ(h.take(), (Events{"status:Downloading", "progress:1",
                                dataSend({0xFC, 0xFF, 0xD1, 0xF6, 0, 0, 0}, img, 246, 246)}));
    EXPECT_EQ(h.proc.state(), DownloadState::AwaitLastBlockAck);
    h.proc.onResponse(kAck);
    h.proc.onStatusUpdate(kReady);
    EXPECT_EQ(h.take(), (Events{"status:", kPoll, "status:Downloading", kSendEnd}));
    EXPECT_EQ(h.proc.state(), DownloadState::AwaitEndAck);
}

TEST(DownloadBlocks, ImageOfOneBlockOrLessIsSentWholeAsTheLastBlock) {
    for (std::size_t size : {1, 14, 245, 246}) {
        SCOPED_TRACE(size);
        const ByteBuffer img = makeImage(size);
        ByteBuffer header{0xFC, static_cast<std::uint8_t>(size + 9), 0xD1, 0, 0, 0, 0};
        const std::string whole = dataSend(header, img, 0, size);
        Harness h;
        h.driveTo(DownloadState::AwaitErased, img);
        h.proc.onStatusUpdate(kReady);
        EXPECT_EQ(h.take(), (Events{"status:Deleting", whole}));
        EXPECT_EQ(h.proc.state(), DownloadState::AwaitLastBlockAck);
        h.proc.onAlarm(ByteBuffer{});
        EXPECT_EQ(h.take(), Events{whole});
        h.proc.onResponse(kAck);
        h.proc.onStatusUpdate(kReady);
        EXPECT_EQ(h.take(), (Events{"status:", kPoll, "status:Downloading", kSendEnd}));
    }
    const ByteBuffer img247 = makeImage(247);
    Harness h;
    h.driveTo(DownloadState::AwaitReady, img247);
    h.proc.onStatusUpdate(kReady);
    EXPECT_EQ(h.take(), (Events{"status:Downloading", "progress:1",
                                dataSend({0xFC, 0x0A, 0xD1, 0xF6, 0, 0, 0}, img247, 246, 1)}));
}

TEST(DownloadBlocks, AFileLoadedDuringTheDownloadChangesNothing) {
    ByteBuffer loaded = kImage600;
    Harness h;
    h.proc.start(loaded, 0x5A5A);
    loaded = makeImage(20);  // the window loads another file
    h.proc.onStatusUpdate(kDisable);
    h.proc.onResponse(kAck);
    h.proc.onStatusUpdate(kReady);
    h.proc.onResponse(kAck);
    h.take();
    h.proc.onStatusUpdate(kReady);
    EXPECT_EQ(h.take(), (Events{"status:Downloading", "progress:1",
                                dataSend({0xFC, 0xFF, 0xD1, 0xF6, 0, 0, 0}, kImage600, 246, 246)}));
    h.proc.onResponse(kAck);
    h.proc.onStatusUpdate(kReady);
    EXPECT_EQ(h.take(), (Events{"status:", kPoll, "status:Downloading", "progress:2",
                                dataSend({0xFC, 0x75, 0xD1, 0xEC, 0x01, 0, 0}, kImage600, 492, 108)}));
}

TEST(DownloadEnd, ResultNeedsItsCrcBytesAndOtherRepliesArePolledWithoutLimit) {
    Harness h;
    h.driveTo(DownloadState::AwaitResult, kImage600);
    for (int i = 0; i < 300; ++i) h.proc.onAlarm(ByteBuffer{});
    h.proc.onStatusUpdate(unitReply({0xD3, 0x40, 0x34, 0x12}));
    h.proc.onStatusUpdate(ByteBuffer{0xFC, 0x06, 0xD3, 0x00, 0x34});  // cut short before the high byte
    EXPECT_EQ(h.take(), Events(302, kPoll));
    EXPECT_EQ(h.proc.state(), DownloadState::AwaitResult);
    h.proc.onStatusUpdate(result(0x80, 0x0A, 0x00));
    EXPECT_EQ(h.take(), (Events{kSendAck, kPoll}));
    EXPECT_EQ(h.proc.state(), DownloadState::AwaitFlaggedDisable);
    EXPECT_EQ(h.proc.unitCrcHigh(), 0x00);
    EXPECT_EQ(h.proc.unitCrcLow(), 0x0A);
}

TEST(DownloadEnd, FinalDisableStateAcksRepeatedResultsAndPollsOtherwise) {
    Harness h;
    h.driveTo(DownloadState::AwaitFinalDisable, kImage600);
    h.proc.onStatusUpdate(result(0x00, 0x99, 0x99));  // acknowledged again, CRC kept from the first
    EXPECT_EQ(h.take(), Events{kSendAck});
    h.proc.onResponse(kAck);                           // the answer to the Ack
    h.proc.onAlarm(ByteBuffer{0xFC, 0x05, 0x50});      // or its failure
    h.proc.onStatusUpdate(result(0x80, 0x99, 0x99));
    h.proc.onStatusUpdate(kBusy);
    EXPECT_EQ(h.take(), (Events{"status:", kPoll, kPoll, kPoll, "status:Verifying", kPoll}));
    EXPECT_EQ(h.proc.unitCrcHigh(), 0x12);
    EXPECT_EQ(h.proc.unitCrcLow(), 0x34);
}

TEST(DownloadEnd, FlaggedResultEndsWithPrematureTerminationAndKeepsProgress) {
    Harness h;
    h.driveTo(DownloadState::AwaitFlaggedDisable, kImage600, true);
    h.proc.onStatusUpdate(result(0x80, 0x34, 0x12));
    h.proc.onAlarm(ByteBuffer{0xFC, 0x05, 0x50});
    h.proc.onStatusUpdate(result(0x00, 0x34, 0x12));
    EXPECT_EQ(h.take(), (Events{kSendAck, kPoll, kPoll}));
    h.proc.onStatusUpdate(kDisable);
    Events end = {"status:Disable"};
    end.insert(end.end(), kFinish.begin(), kFinish.end());
    end.push_back("box:Premature Termination");
    EXPECT_EQ(h.take(), end);
    EXPECT_EQ(h.boxes.at(0), flaggedResultBox(0x12, 0x34, 0x5A5A));
    EXPECT_NE(h.boxes.at(0).text.find("\n\nCRC:1234\nFILE-CRC:5A5A"), std::string::npos);
}

TEST(DownloadEnd, AfterTheEndRepliesOnlyTouchTheStatusLine) {
    Harness h;
    h.driveTo(DownloadState::AwaitFinalDisable, kImage600);
    h.duringBox = [&h] {  // the box is modal: queued messages are handled while it is open
        h.proc.onStatusUpdate(kBusy);
        h.proc.onSendCancel();
    };
    h.proc.onStatusUpdate(kDisable);
    const Events seen = h.take();
    ASSERT_GE(seen.size(), 3u);
    EXPECT_EQ(Events(seen.end() - 3, seen.end()), (Events{"box:DOWNLOAD PROGRAM Ver.1.20", "status:Deleting", "progress:0"}));
    h.proc.onResponse(kAck);
    h.proc.onStatusUpdate(kReady);
    h.proc.onAlarm(ByteBuffer{});
    h.proc.onResponse(result(0x00, 1, 2));
    EXPECT_EQ(h.take(), (Events{"status:", "status:Deleting"}));
    EXPECT_EQ(h.proc.state(), DownloadState::Idle);
}

TEST(DownloadStates, SendCancelOutsideSkipBlankChangesNothing) {
    for (std::uint32_t s = 0; s <= 12; ++s) {
        SCOPED_TRACE(s);
        Harness h;
        const auto target = static_cast<DownloadState>(s);
        if (s != 0) h.driveTo(target, kImage600, s == 12);
        const std::uint32_t offset = h.proc.blockOffset(), done = h.proc.blocksDone();
        h.proc.onSendCancel();
        EXPECT_EQ(h.take(), Events{});
        EXPECT_EQ(h.proc.state(), target);
        EXPECT_EQ(h.proc.blockOffset(), offset);
        EXPECT_EQ(h.proc.blocksDone(), done);
    }
}

TEST(DownloadStates, ReplyTooShortForAFlagLeavesTheLineButIsStillJudged) {
    Harness h;
    h.driveTo(DownloadState::AwaitDisable, kImage600);
    h.proc.onStatusUpdate(ByteBuffer{0xFC, 0x05, 0x1A});
    EXPECT_EQ(h.take(), Events{kSendStart});
    h.proc.onResponse(ByteBuffer{0xFC, 0x05});
    h.proc.onResponse(ByteBuffer{});
    EXPECT_EQ(h.take(), (Events{kSendStart, kSendStart}));
}
