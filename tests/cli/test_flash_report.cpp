// Host tests of qbv-flash's portable pieces: the command line's rules, outcome words and exit codes, the final line,
// the transcript's decoding, the live line and the port list.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "FrameLog.h"
#include "LiveView.h"
#include "Options.h"
#include "PortList.h"
#include "Report.h"

namespace {

ParsedOptions parse(std::vector<const char*> args) {
    args.insert(args.begin(), "qbv-flash");
    return parseFlashOptions(static_cast<int>(args.size()), args.data());
}

UnitResult result(UnitEnd end, OutcomeKind kind = OutcomeKind::Succeeded, DownloadState state = DownloadState::Idle,
                  std::uint16_t unitCrc = 0x402C) {
    UnitResult r;
    r.port = "/dev/ttyUSB0";
    r.fileCrc = 0x402C;
    r.report.end = end;
    r.report.outcome = {kind, state, static_cast<std::uint8_t>(unitCrc >> 8), static_cast<std::uint8_t>(unitCrc), 0x402C};
    r.report.lastState = kind == OutcomeKind::GaveUp || end != UnitEnd::Finished ? state : DownloadState::Idle;
    r.report.seconds = 12.34;
    return r;
}

}  // namespace

TEST(FlashOptions, FormsAndUsageErrors) {
    struct Row {
        std::vector<const char*> args;
        bool proceed;
        int exitCode;
        std::size_t ports;
        std::uint32_t baud;
    };
    const Row rows[] = {
        {{"-p", "/dev/ttyUSB0", "/tmp/image.bin"}, true, 0, 1, 38400},  // an image path starting with a slash
        {{"--port", "a", "--port", "b", "--baud", "9600", "img"}, true, 0, 2, 9600},
        {{"--baud=19200", "-p", "COM3", "img"}, true, 0, 1, 19200},
        {{"--baud", "57600", "-p", "a", "img"}, false, 1, 0, 0},
        {{"img"}, false, 1, 0, 0},
        {{"-p", "a"}, false, 1, 0, 0},
        {{"--check", "-p", "a", "img"}, false, 1, 0, 0},
        {{"--check"}, false, 1, 0, 0},
        {{"--list-ports", "img"}, false, 1, 0, 0},
        {{"--bogus", "-p", "a", "img"}, false, 1, 0, 0},
        {{"--timeout", "0", "-p", "a", "img"}, false, 1, 0, 0},
        {{"--help"}, false, 0, 0, 0},
        {{"--doctor", "-m", "0403:*", "--polls", "5", "--bundle", "b.tar.gz", "-b", "9600"}, true, 0, 0, 9600},
        {{"--doctor"}, false, 1, 0, 0},
        {{"--doctor", "-p", "a", "img"}, false, 1, 0, 0},
        {{"--doctor", "-p", "a", "--log", "logs"}, false, 1, 0, 0},
        {{"--doctor", "-p", "a", "--polls", "0"}, false, 1, 0, 0},
        {{"-p", "a", "--polls", "5", "img"}, false, 1, 0, 0},
    };
    for (const Row& row : rows) {
        const ParsedOptions p = parse(row.args);
        const std::string line = row.args.front();
        EXPECT_EQ(p.proceed, row.proceed) << line << ": " << p.message;
        EXPECT_EQ(p.exitCode, row.exitCode) << line;
        if (!row.proceed) continue;
        EXPECT_EQ(p.options.ports.size(), row.ports) << line;
        EXPECT_EQ(p.options.baud, row.baud) << line;
    }
    EXPECT_EQ(parse({"--check", "img"}).options.mode, FlashOptions::Mode::Check);
    EXPECT_EQ(parse({"--list-ports"}).options.mode, FlashOptions::Mode::ListPorts);
    EXPECT_EQ(parse({"--doctor", "-p", "a"}).options.mode, FlashOptions::Mode::Doctor);
    EXPECT_NE(parse({"--help"}).message.find("sends status requests only"), std::string::npos);
    EXPECT_NE(parse({"--help"}).message.find("  130  interrupted"), std::string::npos);
}

TEST(FlashReport, OutcomeKeysExitCodesAndWords) {
    using S = DownloadState;
    UnitResult portFailed = result(UnitEnd::PortFailed);
    portFailed.portProblem = "no such port";
    const struct {
        UnitResult r;
        const char* key;
        int exitCode;
        std::string words;
    } rows[] = {
        {result(UnitEnd::Finished), "succeeded", 0, "The target file was downloaded successfully"},
        {result(UnitEnd::Finished, OutcomeKind::Succeeded, S::Idle, 0x402D), "crc_mismatch", 4,
         "The target file was downloaded successfully, but its CRC differs from FILE-CRC"},
        {result(UnitEnd::Finished, OutcomeKind::Flagged), "flagged", 5,
         "Premature Termination: Following download status did not returned to disable / File may have been "
         "completely loaded, check the unit. / If unit does not function, download again."},
        {result(UnitEnd::Finished, OutcomeKind::GaveUp, S::AwaitEndAck), "gave_up", 4,
         "ERROR:No Ack from Acceptor: Verify unit connection to PC / Download process may need to be restarted / "
         "(Forced download method) (state 9)"},
        {result(UnitEnd::Stalled, OutcomeKind::GaveUp, S::AwaitResult), "stalled", 4,
         "the link gave no further answer (state 10)"},
        {portFailed, "port_failed", 3, "Failed in the initialization of the communication port. (no such port)"},
        {result(UnitEnd::Interrupted, OutcomeKind::GaveUp, S::AwaitReady), "interrupted", 130, "interrupted (state 5)"},
        {result(UnitEnd::TimedOut, OutcomeKind::GaveUp, S::AwaitResult), "timed_out", 6,
         "no end within the time-out (state 10)"},
        {result(UnitEnd::PortGone, OutcomeKind::GaveUp, S::AwaitFinalDisable), "port_gone", 4,
         "the port went away (state 11)"},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(outcomeKey(row.r), row.key);
        EXPECT_EQ(exitCodeOf(row.r), row.exitCode) << row.key;
        EXPECT_EQ(outcomeWords(row.r), row.words) << row.key;
    }
    EXPECT_EQ(finalLine(rows[0].r), "/dev/ttyUSB0: The target file was downloaded successfully  CRC:402C "
                                    "FILE-CRC:402C  match  12.3 s");
    const auto tail = [](const UnitResult& r) { return finalLine(r).substr(finalLine(r).find("  CRC:")); };
    EXPECT_EQ(tail(rows[1].r), "  CRC:402D FILE-CRC:402C  DIFFER  12.3 s");
    EXPECT_EQ(tail(rows[3].r), "  CRC:---- FILE-CRC:402C  no result  12.3 s");
}

TEST(FlashReport, DoneEventHoldsTheCountsAndCrcs) {
    UnitResult r = result(UnitEnd::Finished, OutcomeKind::Succeeded, DownloadState::Idle, 0x0A0B);
    r.report.retries[7] = 2;  // state 8
    r.report.blocksSent = 80;
    r.report.blocksSkipped = 2;
    r.report.downloadStarted = true;
    const nlohmann::json done = doneEvent(r);
    EXPECT_EQ(done["unit_crc"], "0A0B");
    EXPECT_EQ(done["file_crc"], "402C");
    EXPECT_EQ(done["crc_match"], false);
    EXPECT_EQ(done["retries"]["8"], 2);
    EXPECT_EQ(done["blocks_sent"], 80);
    EXPECT_EQ(done["blocks_skipped"], 2);
    EXPECT_EQ(done["download_started"], true);
    EXPECT_TRUE(done["state"].is_null());
    EXPECT_TRUE(doneEvent(result(UnitEnd::PortFailed))["unit_crc"].is_null());
}

TEST(FrameLog, CommandsAndRepliesDecoded) {
    using Bytes = std::vector<std::uint8_t>;
    EXPECT_EQ(describeCommand(Bytes{0xFC, 0x0D, 0xD1, 0xEC, 0x01, 0x00, 0x00, 1, 2, 3, 4, 0x11, 0x22}),
              "DownloadData offset 492, 4 bytes");
    EXPECT_EQ(describeCommand(Bytes{0xFC, 0x05, 0xD0, 0xA2, 0x81}), "DownloadStart");
    const struct {
        Bytes bytes;
        const char* meaning;
    } replies[] = {
        {{0xFC, 0x05, 0x1A, 0xF4, 0xE8}, "Disable"},
        {{0x00, 0x13, 0xFC, 0x05, 0x1A, 0xF4, 0xE8}, "Disable, after 2 other bytes"},
        {{0xFC, 0x05, 0x1A, 0xF4, 0x17}, "Disable, wrong check bytes"},
        {{0xFC, 0x06, 0xD4, 0x80}, "incomplete"},
        {{}, "nothing"},
    };
    for (const auto& row : replies) EXPECT_EQ(describeReply(row.bytes), row.meaning);
    std::vector<std::uint8_t> busy{0xFC, 0x06, 0xD4, 0x80}, result{0xFC, 0x08, 0xD3, 0x80, 0x2C, 0x40};
    EXPECT_EQ(describeReply(busy).substr(0, 4), "inco");
    busy.insert(busy.end(), {0x00, 0x00});
    EXPECT_EQ(describeReply(busy).substr(0, 4), "Busy");
    result.insert(result.end(), {0x00, 0x00});
    EXPECT_EQ(describeReply(result).substr(0, 28), "Result flagged CRC:402C, wro");
}

TEST(LiveView, BarRateAndTimeLeft) {
    UnitLine line;
    line.port = "COM3";
    line.phase = "Downloading";
    line.blocksTotal = 40;
    line.blocksDone = 20;
    EXPECT_EQ(liveLine(line, 6, 5.0), "COM3    Downloading  [##########----------]  20/40 blk");
    line.firstBlockSeconds = 1.0;
    line.firstBlockCount = 10;  // 10 blocks of 246 bytes in 2 s: 1230 bytes/s, 20 blocks left: 4 s
    EXPECT_EQ(liveLine(line, 4, 3.0), "COM3  Downloading  [##########----------]  20/40 blk  1.2 kB/s  ETA 0:04");
    line.blocksDone = 40;
    EXPECT_EQ(liveLine(line, 4, 3.0).substr(19, 22), "[####################]");
}
