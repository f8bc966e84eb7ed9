// Host tests of the driver library's dispatch: request texts in, answers out, over scripted lines, row by row.
#include <gtest/gtest.h>

#include "CommDriver.h"
#include "FakeBytePort.h"
#include "TextCodec.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
const Bytes kAck{0xFC, 0x05, 0x50, 0xAA, 0x05};

// A driver whose ports are fake lines, every one kept; answers read "code arg0 arg1".
struct Driver {
    std::vector<std::shared_ptr<FakeLineState>> lines;
    bool makes = true, opens = true;
    CommDriver driver{[this]() -> std::unique_ptr<BytePort> {
        if (!makes) return nullptr;
        lines.push_back(std::make_shared<FakeLineState>());
        lines.back()->openSucceeds = opens;
        return std::make_unique<FakeBytePort>(lines.back());
    }};
    std::string said(const std::string& text) {
        CommMessage m;
        m.parse(driver.dispatch(text));
        const std::string s = m.header("ResultCode") + " " + m.header("Argument0") + " " + m.header("Argument1");
        return s.substr(0, s.find_last_not_of(' ') + 1);
    }
    std::string send(std::string method, std::string a0 = "", std::string a1 = "", std::string a2 = "") {
        return said("COMM_LK207/1.0\r\nArgument0: " + a0 + "\r\nArgument1: " + a1 + "\r\nArgument2: " + a2 +
                    "\r\nMethod: " + method + "\r\n\r\n");
    }
    std::string open(std::string baud = "9600", std::string bits = "8") { return send("Open", "COM1", baud, bits); }
    std::string command(std::string count = "3") { return send("Command", count, "/AUR"); }
    FakeLineState& line() { return *lines.back(); }
};

}  // namespace

TEST(CommDriver, OpenReleasesTheHeldPortFirstAndUnreadableNumbersAre401) {
    Driver d;
    EXPECT_EQ(d.send("Open", "COM12", "38400", "8"), "200");
    EXPECT_EQ(d.line().openedName + " " + std::to_string(d.line().openedBaud), "COM12 38400");
    EXPECT_EQ(d.line().openedBits, 8);
    for (auto [baud, bits] : {std::pair{"96 00", "8"}, {"x", "8"}, {"1", "eight"}, {"-1", "8"}, {"", "8"}, {"1", ""}})
        EXPECT_EQ(d.open(baud, bits), "401") << baud << " / " << bits;
    EXPECT_TRUE(d.lines.size() == 1 && !d.line().closed) << "a refused Open leaves the held port alone";
    EXPECT_EQ(d.open("9600", "263"), "200");
    EXPECT_EQ(d.line().openedBits, 7);
    EXPECT_TRUE(d.lines[0]->closed && d.lines[0]->destroyed) << "a second Open releases the held port first";
    d.makes = false;
    EXPECT_EQ(d.open() + " " + d.command(), "401 401");
    EXPECT_TRUE(d.lines[1]->closed && d.lines[1]->destroyed);
    d.makes = true, d.opens = false;
    EXPECT_EQ(d.open(), "401");
    d.line().writeSucceeds = false;  // a line that failed to open stays held and takes no bytes
    EXPECT_EQ(d.command(), "403 107");
    EXPECT_EQ(d.send("Close"), "200");
    EXPECT_TRUE(d.line().closed && d.line().destroyed);
    EXPECT_EQ(d.send("Close") + " " + d.command(), "200 401");
}

TEST(CommDriver, CommandAnswersTheReplyOrItsReasonCodeAndOnlyChecksTheCountIsANumber) {
    Driver d;
    ASSERT_EQ(d.open(), "200");
    for (const char* count : {"", "three", "3 3", "3x", "-3"}) EXPECT_EQ(d.command(count), "401") << count;
    for (const char* count : {"2", "99"}) {  // the count is not compared with the bytes
        d.line().queue(kAck);
        EXPECT_EQ(d.send("Command", count, "/AVQ"), "200 5 /AVQqgU=") << count;
    }
    EXPECT_EQ(d.line().written, (Bytes{0xFC, 0x05, 0x50, 0xAA, 0x05, 0xFC, 0x05, 0x50, 0xAA, 0x05}));
    d.line().queue({0xFC, 0x08});  // cut short by silence; its rest arrives before the next reply
    EXPECT_EQ(d.command(), "403 102");
    d.line().queue({0xD3, 0x00, 0x34, 0x12, 0xFC, 0x06, 0xD4, 0x00, 0x9D, 0x0E});
    EXPECT_EQ(d.command(), "200 6 /AbUAJ0O");
    d.line().queue({0xFC, 0x05, 0x50, 0xAA, 0x06});
    EXPECT_EQ(d.command(), "403 105");
    EXPECT_TRUE(d.lines.size() == 1 && !d.line().closed);
}

TEST(CommDriver, FirstMethodLineDecidesAndDestroyingReleases) {
    auto d = std::make_unique<Driver>();
    for (const char* text : {"", "A/1\r\nMethod: open\r\n\r\n", "A/1\r\nMethod: Opens\r\n", "A/1\r\nArgument0: 1\r\n",
                             "A/1\r\nArgument1: 9600\r\nArgument2: 8\r\nMethod : Open\r\n\r\n", "x\x01\xFF"})
        EXPECT_EQ(d->driver.dispatch(text), "") << text;
    EXPECT_EQ(d->said("ANYTHING\r\nMethod: Close\r\nMethod: Open\r\n\r\n"), "200");
    ASSERT_EQ(d->open(), "200");
    const auto line = d->lines.back();
    d.reset();
    EXPECT_TRUE(line->destroyed);
}
