// The window's list contents, the baud rate of a list text, the value stored at shutdown, and window centring.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "DialogRules.h"

namespace {

using namespace dialogrules;

TEST(PortList, ComOneToComTwentyInAscendingOrder) {
    const std::vector<std::string> expected = {"COM1",  "COM2",  "COM3",  "COM4",  "COM5",  "COM6",  "COM7",
                                               "COM8",  "COM9",  "COM10", "COM11", "COM12", "COM13", "COM14",
                                               "COM15", "COM16", "COM17", "COM18", "COM19", "COM20"};
    EXPECT_EQ(portEntries(), expected);
}

TEST(BaudRateList, ThreeRatesInOrder) {
    EXPECT_EQ(baudRateEntries(), (std::vector<std::string>{"9600", "19200", "38400"}));
}

TEST(BaudRateText, PlainNumbersConvert) {
    EXPECT_EQ(baudRateFromText("19200"), 19200u);
    EXPECT_EQ(baudRateFromText("38400"), 38400u);
}

TEST(BaudRateText, AnythingElseFallsBackTo9600) {
    EXPECT_EQ(baudRateFromText(""), 9600u);
    EXPECT_EQ(baudRateFromText("fast"), 9600u);
    EXPECT_EQ(baudRateFromText("19200 "), 9600u);
    EXPECT_EQ(baudRateFromText("-38400"), 9600u);
    EXPECT_EQ(baudRateFromText("99999999999"), 9600u);
}

TEST(ShutdownValue, SelectionWins) {
    EXPECT_EQ(valueToStore(std::string("COM3"), "COM9", "COM1"), "COM3");
}

TEST(ShutdownValue, WithoutSelectionTheStoredValueStays) {
    EXPECT_EQ(valueToStore(std::nullopt, "57600", "9600"), "57600");
}

TEST(ShutdownValue, WithoutSelectionOrStoredValueTheDefault) {
    EXPECT_EQ(valueToStore(std::nullopt, "", "9600"), "9600");
    EXPECT_EQ(valueToStore(std::string(), "", "COM1"), "COM1");
}

TEST(Centring, CentredInTheWorkArea) {
    const Box area{0, 0, 1024, 768};
    const Position p = centredOver(Box{0, 0, 501, 300}, area, area);
    EXPECT_EQ(p.x, 262);  // 512 - 250
    EXPECT_EQ(p.y, 234);  // 384 - 150
}

TEST(Centring, WorkAreaOffsetIsHonoured) {
    const Box area{100, 40, 900, 640};
    const Position p = centredOver(Box{0, 0, 200, 100}, area, area);
    EXPECT_EQ(p.x, 400);
    EXPECT_EQ(p.y, 290);
}

TEST(Centring, WindowLargerThanTheAreaKeepsItsTopLeftInside) {
    const Box area{0, 0, 640, 480};
    const Position p = centredOver(Box{0, 0, 800, 600}, area, area);
    EXPECT_EQ(p.x, 0);
    EXPECT_EQ(p.y, 0);
}

TEST(Centring, OverAnOwnerNearTheRightEdgeIsPulledBackInside) {
    const Box area{0, 0, 1000, 700};
    const Position p = centredOver(Box{0, 0, 300, 200}, Box{850, 600, 1000, 700}, area);
    EXPECT_EQ(p.x, 700);  // 925 - 150 would reach past 1000
    EXPECT_EQ(p.y, 500);
}

TEST(Centring, OverAnOwnerNearTheLeftEdgeStartsAtTheArea) {
    const Box area{0, 0, 1000, 700};
    const Position p = centredOver(Box{0, 0, 300, 200}, Box{-50, -20, 50, 40}, area);
    EXPECT_EQ(p.x, 0);
    EXPECT_EQ(p.y, 0);
}

}  // namespace
