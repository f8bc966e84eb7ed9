// DoctorReport: what a check of a port's line found (qbv-flash --doctor, the station's check of a tile), its
// round-trip figures, the advice they call for, and the report as text and as JSON. No I/O here: the checks
// themselves are in DoctorRun.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "ByteBuffer.h"

namespace doctor {
constexpr int kDefaultPolls = 50;
constexpr int kMaxPolls = 10000;                // status requests one check may send
constexpr int kSilentPollsBeforeGivingUp = 3;  // no answer to the first this many: the baud rate is given up
constexpr double kAdapterTimerMs = 16;         // an FTDI adapter's latency timer as it leaves the factory
constexpr double kTimerNearMs = 4;             // a median this close to it is the adapter's timer (when held)
constexpr double kCycleNearMs = 1.5;           // a request cycle this close to a multiple of it is the timer too
constexpr double kHeldBeyondLineMs = 2;        // ... when the answers also take this much more than the line needs
constexpr double kSlowBeyondLineMs = 4;        // a median this far above the line's own time is worth a line
constexpr double kBitsPerByte = 11;            // start, 8 data, parity, stop
constexpr int kFrameBytes = 10;                // a status request and its reply, 5 bytes each
}  // namespace doctor

// One status request and what came of it.
struct DoctorPoll {
    enum class Answer { Reply, NoAnswer, BadCheckBytes };
    Answer answer = Answer::NoAnswer;
    std::string word;  // the unit's status as the window names it, for a reply
    double ms = 0;     // round trip: from the request written to the reply whole (or the wait given up)
};

// A baud rate tried after the one asked for drew no answer.
struct DoctorBaudTry {
    std::uint32_t baud = 0;
    bool answered = false;
    std::string word;  // what the unit said there
};

struct RoundTrips {
    double min = 0, median = 0, p95 = 0, max = 0;
};

// All that was found on one port.
struct DoctorPort {
    std::string port;          // the name given (or matched)
    std::string identity;      // the --list-ports line
    std::string driver;        // from the identity, "" when the system tells none
    std::uint32_t baud = 0;
    bool opened = false;
    std::string whyNotOpened;  // "held by another program", "no such port", ...
    std::string openNote;      // "low latency on; latency_timer 16 -> 1 ms", "low latency not supported", ""
    std::vector<DoctorPoll> polls;
    std::vector<DoctorBaudTry> otherBauds;
    bool interrupted = false;  // Ctrl-C ended the checks before they were done: no advice
};

// The status word for a reply frame (check bytes included): the window's word ("Disable", "Reset", "Deleting"), with
// what a download-mode reply says ("Deleting (download mode, busy)"); the frame's own name where the window shows none.
std::string doctorStatusWord(const ByteBuffer& reply);
// Nearest-rank percentiles over the polls that drew a reply; nothing when none did.
std::optional<RoundTrips> roundTrips(const std::vector<DoctorPoll>& polls);
// True when at least one status request at the baud rate asked for drew a good reply.
bool unitAnswered(const DoctorPort& port);
// The line's own share of a round trip: a status request and its reply on the wire at `baud`.
double lineTimeMs(std::uint32_t baud);
// The median time from one request to the next: the wait after each reply plus the median round trip. An adapter
// whose latency timer is free-running pulls it to a multiple of the timer's period.
double cycleMs(const RoundTrips& figures);
// At most one line of what the figures say, "" when there is nothing to say.
std::string doctorAdvice(const DoctorPort& port);
// True when every port has a unit that answered at the baud rate asked for.
bool everyUnitAnswered(const std::vector<DoctorPort>& ports);

// The report as a person reads it: per port its identity, the opening, each request, the figures and the advice.
std::string doctorText(const std::vector<DoctorPort>& ports);
// One port's part of the report as JSON: its opening, polls, figures (null when nothing answered), other baud rates
// and advice.
nlohmann::json doctorPortJson(const DoctorPort& port);
