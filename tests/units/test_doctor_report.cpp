// Host tests of the doctor's portable part: the round-trip figures, the advice each kind of port gets, the status
// words, whether every unit answered, and the report's text.
#include <gtest/gtest.h>

#include "DoctorReport.h"
#include "UnitCommands.h"

namespace {

std::vector<DoctorPoll> replies(const std::vector<double>& ms) {
    std::vector<DoctorPoll> polls;
    for (const double m : ms) polls.push_back({DoctorPoll::Answer::Reply, "Disable", m});
    return polls;
}

DoctorPort portWith(std::vector<DoctorPoll> polls, std::uint32_t baud = 38400) {
    DoctorPort port;
    port.port = "/dev/ttyUSB0";
    port.opened = true;
    port.baud = baud;
    port.polls = std::move(polls);
    return port;
}

ByteBuffer frameOf(std::initializer_list<std::uint8_t> bytes) {
    ByteBuffer frame;
    for (const std::uint8_t b : bytes) frame.append(b);
    return frame;
}

}  // namespace

TEST(DoctorFigures, NearestRankPercentilesOverTheRepliesOnly) {
    struct Row {
        std::vector<double> ms;
        double min, median, p95, max;
    };
    const std::vector<Row> rows = {
        {{5}, 5, 5, 5, 5},
        {{3, 1, 2}, 1, 2, 3, 3},
        {{4, 1, 3, 2}, 1, 2.5, 4, 4},
        // twenty values 1..20: the 95th percentile is the 19th, one slow outlier does not move the median
        {{20, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19}, 1, 10.5, 19, 20},
        {{1, 1, 1, 1, 1, 1, 1, 1, 1, 900}, 1, 1, 900, 900},
    };
    for (const Row& row : rows) {
        std::vector<DoctorPoll> polls = replies(row.ms);
        polls.push_back({DoctorPoll::Answer::NoAnswer, "", 1000});  // a silent request counts in no figure
        polls.push_back({DoctorPoll::Answer::BadCheckBytes, "", 700});
        const std::optional<RoundTrips> r = roundTrips(polls);
        ASSERT_TRUE(r.has_value());
        EXPECT_DOUBLE_EQ(r->min, row.min);
        EXPECT_DOUBLE_EQ(r->median, row.median);
        EXPECT_DOUBLE_EQ(r->p95, row.p95);
        EXPECT_DOUBLE_EQ(r->max, row.max);
    }
    EXPECT_FALSE(roundTrips({{DoctorPoll::Answer::NoAnswer, "", 1000}}).has_value());
    EXPECT_FALSE(roundTrips({}).has_value());
}

TEST(DoctorAdvice, WhatTheFiguresSay) {
    DoctorPort notOpened = portWith({});
    notOpened.opened = false;
    notOpened.whyNotOpened = "held by another program";
    DoctorPort silent = portWith({{DoctorPoll::Answer::NoAnswer, "", 1000}, {DoctorPoll::Answer::NoAnswer, "", 1000}});
    silent.otherBauds = {{9600, false, ""}, {19200, false, ""}};
    DoctorPort foundElsewhere = silent;
    foundElsewhere.otherBauds = {{9600, false, ""}, {19200, true, "Disable"}};
    DoctorPort garbled = portWith({{DoctorPoll::Answer::BadCheckBytes, "", 3}});
    garbled.otherBauds = {{9600, false, ""}, {19200, false, ""}};
    std::vector<DoctorPoll> someLost = replies({1, 1, 1});
    someLost.push_back({DoctorPoll::Answer::NoAnswer, "", 1000});

    struct Row {
        const char* what;
        DoctorPort port;
        std::string says;  // "" for no advice
    };
    const std::vector<Row> rows = {
        {"a port that does not open says why elsewhere", notOpened, ""},
        {"a quick unit behind a pty or a lowered timer", portWith(replies({0.4, 0.5, 0.3, 3.2})), ""},
        {"a quick unit at 9600 (its 11.5 ms are the line's)", portWith(replies({11.9, 12.1, 12.0}), 9600), ""},
        {"round trips at the adapter's 16 ms", portWith(replies({15.2, 16.1, 16.0, 17.3})),
         "the adapter's latency timer is not lowered"},
        {"a free-running 16 ms timer: 10 ms wait + 6 ms", portWith(replies({6.0, 5.9, 6.1, 2.4, 6.4})),
         "a request every 16.0 ms: the adapter's latency timer is not lowered"},
        {"held longer than the line, off the timer's grid", portWith(replies({9.0, 9.2, 8.8})),
         "answers take 6.1 ms more than the line needs at 38400 baud"},
        {"some requests lost", portWith(someLost), "1 of 4 requests drew no good answer"},
        {"nothing at any baud rate", silent,
         "no answer at 9600, 19200 or 38400 baud: check that the unit is on this port"},
        {"the unit at another baud rate", foundElsewhere,
         "no answer at 38400 baud; the unit answered at 19200: run with --baud 19200"},
        {"only garbled answers", garbled, "bad check bytes and no baud rate drew a good one"},
    };
    for (const Row& row : rows) {
        const std::string advice = doctorAdvice(row.port);
        if (row.says.empty()) {
            EXPECT_EQ(advice, "") << row.what;
        } else {
            EXPECT_NE(advice.find(row.says), std::string::npos) << row.what << ": " << advice;
        }
        const std::string text = doctorText({row.port});
        EXPECT_EQ(text.find("advice: ") != std::string::npos, !row.says.empty()) << row.what << "\n" << text;
    }
}

TEST(DoctorReport, EveryUnitAnsweredAndText) {
    DoctorPort answered = portWith(replies({1, 2, 3}));
    answered.identity = "/dev/ttyUSB0  usb 0403:6001  driver ftdi_sio";
    answered.openNote = "low latency on; latency_timer 16 -> 1 ms";
    DoctorPort held = portWith({});
    held.port = held.identity = "/dev/ttyUSB1";
    held.opened = false;
    held.whyNotOpened = "held by another program";
    DoctorPort foundElsewhere = portWith({{DoctorPoll::Answer::NoAnswer, "", 1000}});
    foundElsewhere.otherBauds = {{19200, true, "Disable"}};

    EXPECT_TRUE(everyUnitAnswered({answered}));
    EXPECT_FALSE(everyUnitAnswered({answered, held}));
    EXPECT_FALSE(everyUnitAnswered({foundElsewhere})) << "a unit that answers only at another baud rate fails as asked";

    const std::string text = doctorText({answered, held});
    EXPECT_NE(text.find("/dev/ttyUSB0  usb 0403:6001  driver ftdi_sio\n  opened at 38400 baud; low latency on; "
                        "latency_timer 16 -> 1 ms\n    1  Disable"), std::string::npos) << text;
    EXPECT_NE(text.find("min 1.00 ms  median 2.00 ms  95% 3.00 ms  max 3.00 ms  (3 answers of 3"), std::string::npos);
    EXPECT_NE(text.find("/dev/ttyUSB1\n  does not open: held by another program\n"), std::string::npos) << text;
}

TEST(DoctorReport, StatusWordsAsTheWindowNamesThem) {
    struct Row {
        ByteBuffer reply;
        std::string word;
    };
    const std::vector<Row> rows = {
        {frameOf({0xFC, 0x05, 0x1A, 0xF4, 0xE8}), "Disable"},
        {frameOf({0xFC, 0x05, 0x50, 0xAA, 0x05}), "Ack"},
        {frameOf({0xFC, 0x06, 0xD4, 0x80, 0x00, 0x00}), "Deleting (download mode, busy"},
        {frameOf({0xFC, 0x06, 0xD4, 0x00, 0x00, 0x00}), "Deleting (download mode, ready"},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(doctorStatusWord(row.reply).rfind(row.word, 0), 0u) << doctorStatusWord(row.reply);
    }
}
