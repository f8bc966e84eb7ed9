// Host tests: request dispatch of the driver library over a scripted line, one case per row of its answer table.
#include <gtest/gtest.h>

#include <vector>

#include "CommDriver.h"
#include "FakeBytePort.h"
#include "TextCodec.h"

namespace {

const std::string kOk = "COMM_LK207/1.0 200 OK\r\n\r\n";
const std::string kMemoryFailure = "COMM_LK207/1.0 401 Memory Failure\r\n\r\n";

std::string openText(const std::string& port = "COM1", const std::string& baud = "9600", const std::string& bits = "8") {
    return "COMM_LK207/1.0\r\nArgument0: " + port + "\r\nArgument1: " + baud + "\r\nArgument2: " + bits +
           "\r\nMethod: Open\r\n\r\n";
}
const std::string kCloseText = "COMM_LK207/1.0\r\nMethod: Close\r\n\r\n";
const std::string kStatusCommandText =
    "COMM_LK207/1.0\r\nArgument0: 3\r\nArgument1: /AUR\r\nArgument2: FC 05 11 \r\nMethod: Command\r\n\r\n";

// A driver whose ports are fake lines; every line made is kept for inspection.
struct Driver {
    std::vector<std::shared_ptr<FakeLineState>> lines;
    bool factoryFails = false;
    CommDriver driver{[this]() -> std::unique_ptr<BytePort> {
        if (factoryFails) return nullptr;
        lines.push_back(std::make_shared<FakeLineState>());
        lines.back()->openSucceeds = nextOpenSucceeds;
        return std::make_unique<FakeBytePort>(lines.back());
    }};
    bool nextOpenSucceeds = true;

    std::string send(const std::string& text) { return driver.dispatch(text); }
    FakeLineState& line() { return *lines.back(); }
};

}  // namespace

TEST(CommDriverOpen, OpensWithTheArgumentsAndAnswersOk) {
    Driver d;
    EXPECT_EQ(d.send(openText("COM12", "38400", "8")), kOk);
    ASSERT_EQ(d.lines.size(), 1u);
    EXPECT_EQ(d.line().openedName, "COM12");
    EXPECT_EQ(d.line().openedBaud, 38400u);
    EXPECT_EQ(d.line().openedBits, 8);
    EXPECT_TRUE(d.driver.holdsPort());
}

TEST(CommDriverOpen, DataBitsAreTakenModulo256) {
    Driver d;
    EXPECT_EQ(d.send(openText("COM1", "9600", "263")), kOk);
    EXPECT_EQ(d.line().openedBits, 7);
}

TEST(CommDriverOpen, NonNumericArgumentsAnswer401AndChangeNothing) {
    Driver d;
    ASSERT_EQ(d.send(openText("COM1")), kOk);
    for (const std::string& text :
         {openText("COM2", "96 00"), openText("COM2", "x"), openText("COM2", "9600", "eight"),
          openText("COM2", "-9600"), std::string("COMM_LK207/1.0\r\nArgument0: COM2\r\nArgument2: 8\r\nMethod: Open\r\n\r\n"),
          std::string("COMM_LK207/1.0\r\nArgument0: COM2\r\nArgument1: 9600\r\nMethod: Open\r\n\r\n")}) {
        EXPECT_EQ(d.send(text), kMemoryFailure) << text;
    }
    EXPECT_EQ(d.lines.size(), 1u) << "no new port was made";
    EXPECT_FALSE(d.line().closed) << "the held port is unchanged";
    EXPECT_TRUE(d.driver.holdsPort());
}

TEST(CommDriverOpen, PortThatCannotBeMadeAnswers401) {
    Driver d;
    d.factoryFails = true;
    EXPECT_EQ(d.send(openText()), kMemoryFailure);
    EXPECT_FALSE(d.driver.holdsPort());
    EXPECT_EQ(d.send(kStatusCommandText), kMemoryFailure);
}

TEST(CommDriverOpen, FailedOpenStaysHeldSoCommandFailsToWriteThenCloseReleases) {
    Driver d;
    d.nextOpenSucceeds = false;
    EXPECT_EQ(d.send(openText("COM99")), kMemoryFailure);
    EXPECT_TRUE(d.driver.holdsPort());
    d.line().writeSucceeds = false;  // a device that never opened takes no bytes
    EXPECT_EQ(d.send(kStatusCommandText), "COMM_LK207/1.0 403 Protcol Error\r\nArgument0: 107\r\n\r\n");
    EXPECT_EQ(d.send(kCloseText), kOk);
    EXPECT_FALSE(d.driver.holdsPort());
    EXPECT_TRUE(d.line().closed);
    EXPECT_TRUE(d.line().destroyed);
}

TEST(CommDriverOpen, SecondOpenReleasesTheHeldPortFirst) {
    Driver d;
    ASSERT_EQ(d.send(openText("COM1")), kOk);
    ASSERT_EQ(d.send(openText("COM1")), kOk);
    ASSERT_EQ(d.lines.size(), 2u);
    EXPECT_TRUE(d.lines[0]->closed);
    EXPECT_TRUE(d.lines[0]->destroyed);
    EXPECT_FALSE(d.lines[1]->closed);
}

TEST(CommDriverClose, AlwaysAnswersOk) {
    Driver d;
    EXPECT_EQ(d.send(kCloseText), kOk);
    ASSERT_EQ(d.send(openText()), kOk);
    EXPECT_EQ(d.send(kCloseText), kOk);
    EXPECT_TRUE(d.line().closed);
    EXPECT_EQ(d.send(kCloseText), kOk);
}

TEST(CommDriverCommand, WithoutAPortAnswers401) {
    Driver d;
    EXPECT_EQ(d.send(kStatusCommandText), kMemoryFailure);
    ASSERT_EQ(d.send(openText()), kOk);
    ASSERT_EQ(d.send(kCloseText), kOk);
    EXPECT_EQ(d.send(kStatusCommandText), kMemoryFailure);
}

TEST(CommDriverCommand, NonNumericCountAnswers401AndSendsNothing) {
    Driver d;
    ASSERT_EQ(d.send(openText()), kOk);
    for (const char* count : {"", "three", "3 3", "3x", "-3"}) {
        const std::string text =
            std::string("COMM_LK207/1.0\r\nArgument0: ") + count + "\r\nArgument1: /AUR\r\nMethod: Command\r\n\r\n";
        EXPECT_EQ(d.send(text), kMemoryFailure) << count;
    }
    EXPECT_TRUE(d.line().written.empty());
}

TEST(CommDriverCommand, ReplyComesBackInBase64) {
    Driver d;
    ASSERT_EQ(d.send(openText()), kOk);
    d.line().queue({0xFC, 0x05, 0x50, 0xAA, 0x05});
    const std::string answer = d.send(kStatusCommandText);
    EXPECT_EQ(answer, "COMM_LK207/1.0 200 OK\r\nArgument0: 5\r\nArgument1: /AVQqgU=\r\n\r\n");
    EXPECT_EQ(answer.size(), 60u);
    EXPECT_EQ(d.line().written, (std::vector<std::uint8_t>{0xFC, 0x05, 0x11, 0x27, 0x56}));
}

TEST(CommDriverCommand, CountIsNotComparedWithTheBytes) {
    Driver d;
    ASSERT_EQ(d.send(openText()), kOk);
    d.line().queue({0xFC, 0x05, 0x50, 0xAA, 0x05});
    EXPECT_EQ(d.send("COMM_LK207/1.0\r\nArgument0: 99\r\nArgument1: /AVQ\r\nMethod: Command\r\n\r\n"),
              "COMM_LK207/1.0 200 OK\r\nArgument0: 5\r\nArgument1: /AVQqgU=\r\n\r\n");
    EXPECT_EQ(d.line().written, (std::vector<std::uint8_t>{0xFC, 0x05, 0x50, 0xAA, 0x05}));
}

TEST(CommDriverCommand, ExchangeFailuresAnswer403WithTheirCode) {
    Driver d;
    ASSERT_EQ(d.send(openText()), kOk);
    // Silence.
    EXPECT_EQ(d.send(kStatusCommandText), "COMM_LK207/1.0 403 Protcol Error\r\nArgument0: 102\r\n\r\n");
    // Wrong check byte.
    d.line().queue({0xFC, 0x05, 0x50, 0xAA, 0x06});
    EXPECT_EQ(d.send(kStatusCommandText), "COMM_LK207/1.0 403 Protcol Error\r\nArgument0: 105\r\n\r\n");
    // The port stays held and open: the next exchange works.
    d.line().queue({0xFC, 0x05, 0x50, 0xAA, 0x05});
    EXPECT_EQ(d.send(kStatusCommandText).substr(0, 23), "COMM_LK207/1.0 200 OK\r\n");
    EXPECT_FALSE(d.line().closed);
    EXPECT_EQ(d.lines.size(), 1u);
}

TEST(CommDriverDispatch, UnrecognisedMethodsAnswerNothing) {
    Driver d;
    for (const std::string& text :
         {std::string(""), std::string("COMM_LK207/1.0\r\nMethod: open\r\n\r\n"),
          std::string("COMM_LK207/1.0\r\nMethod: Opens\r\n\r\n"), std::string("COMM_LK207/1.0\r\nArgument0: COM1\r\n\r\n"),
          std::string("COMM_LK207/1.0\r\nArgument0: COM1\r\nArgument1: 9600\r\nArgument2: 8\r\nMethod : Open\r\n\r\n"),
          std::string("garbage\x01\xFF")}) {
        EXPECT_EQ(d.send(text), "") << text;
    }
    EXPECT_TRUE(d.lines.empty());
}

TEST(CommDriverDispatch, FirstMethodLineDecidesAndFirstLineIsNotChecked) {
    Driver d;
    EXPECT_EQ(d.send("ANYTHING\r\nMethod: Close\r\nMethod: Open\r\n\r\n"), kOk);
    EXPECT_TRUE(d.lines.empty());
}

TEST(CommDriverLifetime, DestroyingTheDriverReleasesAHeldPort) {
    std::shared_ptr<FakeLineState> state;
    {
        Driver d;
        ASSERT_EQ(d.send(openText()), kOk);
        state = d.lines.back();
    }
    EXPECT_TRUE(state->destroyed);
}
