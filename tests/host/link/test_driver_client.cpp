// Host tests of DriverClient: binding, the three request texts byte for byte, the results map and its
// overwrite rules, the 200-only success rule, the "Result = " debug text, and a run over the real dispatch.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "Crc16.h"
#include "DriverClient.h"
#include "FakeDriverLibrary.h"
#include "TextCodec.h"

using namespace answers;

namespace {

const std::string kPath = "C:\\tools\\lk207.dll";

struct Client {
    std::shared_ptr<FakeLibraryState> lib = std::make_shared<FakeLibraryState>();
    std::vector<std::string> debugTexts;
    std::unique_ptr<DriverClient> client = std::make_unique<DriverClient>(
        std::make_unique<FakeDriverLibrary>(lib), [this](const std::string& t) { debugTexts.push_back(t); });

    DriverClient& operator*() { return *client; }
    DriverClient* operator->() { return client.get(); }
    void bound() {
        ASSERT_TRUE(client->bind(kPath));
        lib->calls.clear();
    }
};

ByteBuffer withCheck(ByteBuffer frame) {
    frame.append16(Crc16::of(frame.data(), frame.size()));
    return frame;
}

}  // namespace

TEST(DriverLibraryPath, IsTheExecutablesFolderFollowedByTheLibraryName) {
    EXPECT_EQ(driverLibraryPathFor("C:\\Program Files\\qbv\\qbv_download.exe"), "C:\\Program Files\\qbv\\lk207.dll");
    EXPECT_EQ(driverLibraryPathFor("Z:/work/build/bin/link_win_tests.exe"), "Z:/work/build/bin/lk207.dll");
    EXPECT_EQ(driverLibraryPathFor("C:\\qbv_download.exe"), "C:\\lk207.dll");
    EXPECT_EQ(driverLibraryPathFor("qbv_download.exe"), "lk207.dll");
}

TEST(DriverClientBind, LoadsTheFileFindsTheExportsAndCallsLoad) {
    Client c;
    EXPECT_TRUE(c->bind(kPath));
    EXPECT_TRUE(c->isBound());
    EXPECT_EQ(c.lib->calls, (std::vector<std::string>{"open " + kPath, "load"}));
}

TEST(DriverClientBind, RefusesALibraryWithAMissingExportAndKeepsNothingLoaded) {
    Client c;
    c.lib->hasAllExports = false;
    EXPECT_FALSE(c->bind(kPath));
    EXPECT_FALSE(c->isBound());
    EXPECT_FALSE(c.lib->loaded);
    EXPECT_EQ(c.lib->count("load"), 0);
    c.client.reset();
    EXPECT_EQ(c.lib->count("unload"), 0);  // never bound: nothing to unload
    EXPECT_EQ(c.lib->count("release"), 0);
}

TEST(DriverClientBind, AMissingFileIsRefused) {
    Client c;
    c.lib->fileLoads = false;
    EXPECT_FALSE(c->bind(kPath));
    EXPECT_FALSE(c->unbind());
}

TEST(DriverClientBind, LoadFalseFailsButTheFileStaysUntilTheClientIsDestroyed) {
    Client c;
    c.lib->loadAnswers = false;
    EXPECT_FALSE(c->bind(kPath));
    EXPECT_TRUE(c.lib->loaded);
    c.client.reset();
    EXPECT_EQ(c.lib->calls, (std::vector<std::string>{"open " + kPath, "load", "unload", "release"}));
    EXPECT_FALSE(c.lib->loaded);
}

TEST(DriverClientBind, UnbindCallsUnloadThenReleasesAndAnswersTheRelease) {
    Client c;
    c.bound();
    EXPECT_TRUE(c->unbind());
    EXPECT_EQ(c.lib->calls, (std::vector<std::string>{"unload", "release"}));
    EXPECT_FALSE(c->isBound());
    EXPECT_FALSE(c->unbind());  // nothing bound any more
    c.client.reset();
    EXPECT_EQ(c.lib->count("unload"), 1);  // the destructor does not unload twice
}

TEST(DriverClientBind, UnbindAnswersAFailedRelease) {
    Client c;
    c.bound();
    c.lib->releaseAnswers = false;
    EXPECT_FALSE(c->unbind());
}

TEST(DriverClientBind, DestroyingABoundClientUnloadsThenReleases) {
    Client c;
    c.bound();
    c.client.reset();
    EXPECT_EQ(c.lib->calls, (std::vector<std::string>{"unload", "release"}));
}

TEST(DriverClientUnbound, RequestsDoNothingAndLeaveTheResultsAlone) {
    Client c;
    EXPECT_FALSE(c->openPort("COM1", 9600));
    c->closePort();
    ByteBuffer frame{0xFC, 0x05, 0x11};
    EXPECT_FALSE(c->sendCommand(frame));
    EXPECT_EQ(frame, (ByteBuffer{0xFC, 0x05, 0x11}));
    EXPECT_TRUE(c.lib->requests.empty());
    EXPECT_TRUE(c.debugTexts.empty());
    EXPECT_EQ(c->result("ResultCode"), "");
}

TEST(DriverClientOpen, SendsThe80ByteOpenTextAndKeepsTheResults) {
    Client c;
    c.bound();
    c.lib->answers.push_back(kOk);
    EXPECT_TRUE(c->openPort("COM1", 9600));
    ASSERT_EQ(c.lib->requests.size(), 1u);
    EXPECT_EQ(c.lib->requests[0],
              "COMM_LK207/1.0\r\nArgument0: COM1\r\nArgument1: 9600\r\nArgument2: 8\r\nMethod: Open\r\n\r\n");
    EXPECT_EQ(c.lib->requests[0].size(), 80u);
    EXPECT_EQ(c->result("ResultCode"), "200");
    EXPECT_EQ(c->result("ResultMessage"), "OK");
    EXPECT_EQ(c->result("ErrorCode"), "");
    EXPECT_EQ(c->result("NoSuchName"), "");
}

TEST(DriverClientOpen, A401AnswerStillReturnsTrueAndShowsOnlyInTheResults) {
    Client c;
    c.bound();
    c.lib->answers.push_back(kMemoryFailure);
    EXPECT_TRUE(c->openPort("COM19", 38400));
    EXPECT_EQ(c->result("ResultCode"), "401");
    EXPECT_EQ(c->result("ResultMessage"), "Memory Failure");
    EXPECT_EQ(c->result("ErrorCode"), "");
}

TEST(DriverClientOpen, EachOpenWritesOneResultTextEndingInCrLfCrLfLf) {
    Client c;
    c.bound();
    c.lib->answers = {kOk, kMemoryFailure};
    c->openPort("COM1", 9600);
    ASSERT_EQ(c.debugTexts.size(), 1u);
    EXPECT_EQ(c.debugTexts[0], "Result = COMM_LK207/1.0 200 OK\r\nResultCode: 200\r\nResultMessage: OK\r\n\r\n\n");
    c->openPort("COM1", 9600);
    ASSERT_EQ(c.debugTexts.size(), 2u);
    EXPECT_EQ(c.debugTexts[1],
              "Result = COMM_LK207/1.0 401 Memory Failure\r\nResultCode: 401\r\nResultMessage: Memory Failure\r\n\r\n\n");
    // Close and Command write nothing.
    c->closePort();
    ByteBuffer frame{0xFC, 0x05, 0x11};
    c->sendCommand(frame);
    EXPECT_EQ(c.debugTexts.size(), 2u);
}

TEST(DriverClientOpen, AnEmptyAnswerGivesEmptyResultsAndAResultTextOfTheEmptyMessage) {
    Client c;
    c.bound();
    c.lib->answers = {""};
    EXPECT_TRUE(c->openPort("COM1", 9600));
    EXPECT_EQ(c->result("ResultCode"), "");
    ASSERT_EQ(c.debugTexts.size(), 1u);
    EXPECT_EQ(c.debugTexts[0], "Result = \r\n\r\n\n");
}

TEST(DriverClientClose, SendsThe33ByteCloseTextAndSetsTheSameResultsAsOpen) {
    Client c;
    c.bound();
    c.lib->answers = {protocolError("102"), kOk};
    ByteBuffer frame{0xFC, 0x05, 0x11};
    c->sendCommand(frame);
    ASSERT_EQ(c->result("ErrorCode"), "102");
    c->closePort();
    EXPECT_EQ(c.lib->requests.back(), "COMM_LK207/1.0\r\nMethod: Close\r\n\r\n");
    EXPECT_EQ(c.lib->requests.back().size(), 33u);
    EXPECT_EQ(c->result("ResultCode"), "200");
    EXPECT_EQ(c->result("ResultMessage"), "OK");
    EXPECT_EQ(c->result("ErrorCode"), "");  // Close always sets it, here to the empty Argument0
}

TEST(DriverClientCommand, SendsThe88ByteCommandTextAndReplacesTheFrameWithTheReply) {
    Client c;
    c.bound();
    c.lib->answers.push_back(reply("5", "/AVQqgU="));
    ByteBuffer frame{0xFC, 0x05, 0xD0};
    EXPECT_TRUE(c->sendCommand(frame));
    EXPECT_EQ(c.lib->requests[0],
              "COMM_LK207/1.0\r\nArgument0: 3\r\nArgument1: /AXQ\r\nArgument2: FC 05 D0 \r\nMethod: Command\r\n\r\n");
    EXPECT_EQ(c.lib->requests[0].size(), 88u);
    EXPECT_EQ(frame, (ByteBuffer{0xFC, 0x05, 0x50, 0xAA, 0x05}));
    EXPECT_EQ(c->result("ResultCode"), "200");
    EXPECT_EQ(c->result("ResultMessage"), "OK");
    EXPECT_EQ(c->result("ResponseLength"), "5");
    EXPECT_EQ(c->result("ResponseText"), "/AVQqgU=");
}

TEST(DriverClientCommand, AFailureLeavesTheFrameAndKeepsTheReasonCode) {
    Client c;
    c.bound();
    c.lib->answers.push_back(protocolError("102"));
    ByteBuffer frame{0xFC, 0x05, 0xD0};
    EXPECT_FALSE(c->sendCommand(frame));
    EXPECT_EQ(frame, (ByteBuffer{0xFC, 0x05, 0xD0}));
    EXPECT_EQ(c->result("ResultCode"), "403");
    EXPECT_EQ(c->result("ResultMessage"), "Protcol Error");
    EXPECT_EQ(c->result("ErrorCode"), "102");
    EXPECT_EQ(c->result("ResponseLength"), "");
}

TEST(DriverClientCommand, ErrorCodeOutlivesALaterSuccess) {
    Client c;
    c.bound();
    c.lib->answers = {protocolError("105"), reply("5", "/AVQqgU=")};
    ByteBuffer frame{0xFC, 0x05, 0x11};
    EXPECT_FALSE(c->sendCommand(frame));
    EXPECT_TRUE(c->sendCommand(frame));
    EXPECT_EQ(c->result("ResultCode"), "200");
    EXPECT_EQ(c->result("ErrorCode"), "105");
}

TEST(DriverClientCommand, ResponseLengthOutlivesALaterFailure) {
    Client c;
    c.bound();
    c.lib->answers = {reply("5", "/AVQqgU="), protocolError("102")};
    ByteBuffer frame{0xFC, 0x05, 0x11};
    EXPECT_TRUE(c->sendCommand(frame));
    frame = ByteBuffer{0xFC, 0x05, 0x11};
    EXPECT_FALSE(c->sendCommand(frame));
    EXPECT_EQ(c->result("ResultCode"), "403");
    EXPECT_EQ(c->result("ResponseLength"), "5");
    EXPECT_EQ(c->result("ResponseText"), "/AVQqgU=");
}

TEST(DriverClientCommand, A401AnswerEmptiesTheErrorCode) {
    Client c;
    c.bound();
    c.lib->answers = {protocolError("107"), kMemoryFailure};
    ByteBuffer frame{0xFC, 0x05, 0x11};
    EXPECT_FALSE(c->sendCommand(frame));
    EXPECT_EQ(c->result("ErrorCode"), "107");
    EXPECT_FALSE(c->sendCommand(frame));
    EXPECT_EQ(c->result("ResultCode"), "401");
    EXPECT_EQ(c->result("ErrorCode"), "");
}

TEST(DriverClientCommand, OnlyExactly200IsSuccess) {
    for (const std::string& answer :
         {std::string("COMM_LK207/1.0 2000 OK\r\nArgument0: 5\r\nArgument1: /AVQqgU=\r\n\r\n"),
          std::string("COMM_LK207/1.0 201 OK\r\nArgument0: 5\r\nArgument1: /AVQqgU=\r\n\r\n"),
          std::string("COMM_LK207/1.0 200\r\nArgument0: 5\r\nArgument1: /AVQqgU=\r\n\r\n"),  // no ResultCode
          std::string("COMM_LK207/1.0  200 OK\r\n\r\n"),
          std::string("COMM_LK207/1.0 403 Protcol Error\r\nResultCode: 200\r\n\r\n"),
          std::string(""),  // an unrecognised request
          std::string("garbage")}) {
        Client c;
        c.bound();
        c.lib->answers.push_back(answer);
        ByteBuffer frame{0xFC, 0x05, 0x11};
        EXPECT_FALSE(c->sendCommand(frame)) << answer;
        EXPECT_EQ(frame, (ByteBuffer{0xFC, 0x05, 0x11})) << answer;
    }
}

TEST(DriverClientCommand, AnEmptyFrameSendsCountZeroAndNoDataLines) {
    Client c;
    c.bound();
    c.lib->answers.push_back(protocolError("102"));
    ByteBuffer frame;
    EXPECT_FALSE(c->sendCommand(frame));
    EXPECT_EQ(c.lib->requests[0], "COMM_LK207/1.0\r\nArgument0: 0\r\nMethod: Command\r\n\r\n");
}

TEST(DriverClientCommand, TheReplyReplacesTheOldBytesAndIsNotAppended) {
    Client c;
    c.bound();
    c.lib->answers.push_back(reply("5", "/AVQqgU="));
    ByteBuffer frame = ByteBuffer{0xFC, 0x0A, 0xD1, 0x00, 0x00, 0x00, 0x00, 0x42};
    EXPECT_TRUE(c->sendCommand(frame));
    EXPECT_EQ(frame.size(), 5u);
    EXPECT_EQ(frame, (ByteBuffer{0xFC, 0x05, 0x50, 0xAA, 0x05}));
}

TEST(DriverClientCommand, A200WithoutReplyBytesGivesAnEmptyFrame) {
    Client c;
    c.bound();
    c.lib->answers.push_back(kOk);
    ByteBuffer frame{0xFC, 0x05, 0x11};
    EXPECT_TRUE(c->sendCommand(frame));
    EXPECT_TRUE(frame.empty());
    EXPECT_EQ(c->result("ResponseLength"), "");
}

// The whole path over the driver library's own dispatch and frame exchange, with a scripted line.
TEST(DriverClientOverDispatch, OpenCommandCloseAgainstTheRealDispatch) {
    Client c;
    c.lib->attachDriver();
    c.bound();
    EXPECT_TRUE(c->openPort("COM7", 19200));
    EXPECT_EQ(c->result("ResultCode"), "200");
    EXPECT_EQ(c.lib->line->openedName, "COM7");
    EXPECT_EQ(c.lib->line->openedBaud, 19200u);
    EXPECT_EQ(c.lib->line->openedBits, 8);

    const ByteBuffer disable = withCheck(ByteBuffer{0xFC, 0x05, 0x1A});
    c.lib->line->queue(std::vector<std::uint8_t>(disable.data(), disable.data() + disable.size()));
    ByteBuffer frame{0xFC, 0x05, 0x11};
    EXPECT_TRUE(c->sendCommand(frame));
    EXPECT_EQ(frame, disable);
    EXPECT_EQ(c.lib->line->written, (std::vector<std::uint8_t>{0xFC, 0x05, 0x11, 0x27, 0x56}));
    EXPECT_EQ(c->result("ResponseLength"), "5");

    // Silence: 403 with 102; a corrupt reply: 105.
    frame = ByteBuffer{0xFC, 0x05, 0x11};
    EXPECT_FALSE(c->sendCommand(frame));
    EXPECT_EQ(c->result("ErrorCode"), "102");
    ByteBuffer bad = disable;
    bad.truncate(4);
    bad.append(static_cast<std::uint8_t>(disable[4] ^ 0xFF));
    c.lib->line->queue(std::vector<std::uint8_t>(bad.data(), bad.data() + bad.size()));
    EXPECT_FALSE(c->sendCommand(frame));
    EXPECT_EQ(c->result("ErrorCode"), "105");

    c->closePort();
    EXPECT_TRUE(c.lib->line->closed);
    EXPECT_EQ(c->result("ErrorCode"), "");
    // A Command after Close: 401, no reason code.
    EXPECT_FALSE(c->sendCommand(frame));
    EXPECT_EQ(c->result("ResultCode"), "401");
    EXPECT_EQ(c->result("ErrorCode"), "");
}

TEST(DriverClientOverDispatch, AnOpenThatFailsAnswers401) {
    Client c;
    c.lib->attachDriver();
    c.bound();
    c.lib->line->openSucceeds = false;
    EXPECT_TRUE(c->openPort("COM19", 9600));
    EXPECT_EQ(c->result("ResultCode"), "401");
}
