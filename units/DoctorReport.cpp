// DoctorReport: the figures, the advice table and the report's two forms.
#include "DoctorReport.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cmath>
#include <cstdio>

#include "DownloadState.h"
#include "FrameLog.h"
#include "StatusText.h"
#include "UnitRun.h"
#include "UnitFrame.h"

namespace {
constexpr double kPercentile95 = 0.95;

std::string ms(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f ms", value);
    return text;
}

std::string lower(std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

// The value at rank ceil(p * n) of the sorted values (1-based).
double nearestRank(const std::vector<double>& sorted, double p) {
    const auto rank = static_cast<std::size_t>(std::ceil(p * static_cast<double>(sorted.size())));
    return sorted[std::clamp<std::size_t>(rank, 1, sorted.size()) - 1];
}

const char* answerKey(DoctorPoll::Answer answer) {
    switch (answer) {
        case DoctorPoll::Answer::Reply: return "reply";
        case DoctorPoll::Answer::NoAnswer: return "no_answer";
        case DoctorPoll::Answer::BadCheckBytes: return "bad_check_bytes";
    }
    return "";
}

std::string answerText(const DoctorPoll& poll) {
    switch (poll.answer) {
        case DoctorPoll::Answer::Reply: return poll.word;
        case DoctorPoll::Answer::NoAnswer: return "no answer";
        case DoctorPoll::Answer::BadCheckBytes: return "bad check bytes";
    }
    return "";
}

std::size_t countOf(const std::vector<DoctorPoll>& polls, DoctorPoll::Answer answer) {
    return static_cast<std::size_t>(
        std::count_if(polls.begin(), polls.end(), [answer](const DoctorPoll& p) { return p.answer == answer; }));
}

// "9600, 19200 or 38400"
std::string bauds(const std::vector<std::uint32_t>& rates) {
    std::string text;
    for (std::size_t i = 0; i < rates.size(); ++i) {
        if (i > 0) text += i + 1 == rates.size() ? " or " : ", ";
        text += std::to_string(rates[i]);
    }
    return text;
}

std::string noAnswerAdvice(const DoctorPort& port) {
    std::vector<std::uint32_t> tried{port.baud};
    for (const DoctorBaudTry& t : port.otherBauds) {
        if (t.answered) {
            return "no answer at " + std::to_string(port.baud) + " baud; the unit answered at " +
                   std::to_string(t.baud) + ": run with --baud " + std::to_string(t.baud);
        }
        tried.push_back(t.baud);
    }
    std::sort(tried.begin(), tried.end());
    if (countOf(port.polls, DoctorPoll::Answer::BadCheckBytes) > 0) {
        return "answers came with bad check bytes and no baud rate drew a good one (" + bauds(tried) +
               "): noise on the line or a faulty cable";
    }
    return "no answer at " + bauds(tried) + " baud: check that the unit is on this port, powered, and its cable in";
}
}  // namespace

std::string doctorStatusWord(const ByteBuffer& reply) {
    const std::vector<std::uint8_t> bytes(reply.data(), reply.data() + reply.size());
    const std::string name = describeReply(bytes);
    const std::string window = statusTextForReply(reply, DownloadState::Idle).value_or("");
    if (reply.size() > unit::kCodeIndex && reply[unit::kCodeIndex] == unit::kStatusDownloadMode) {
        return window + " (download mode, " + lower(name) + ")";
    }
    return window.empty() ? name : window;
}

std::optional<RoundTrips> roundTrips(const std::vector<DoctorPoll>& polls) {
    std::vector<double> values;
    for (const DoctorPoll& p : polls) {
        if (p.answer == DoctorPoll::Answer::Reply) values.push_back(p.ms);
    }
    if (values.empty()) return std::nullopt;
    std::sort(values.begin(), values.end());
    const std::size_t n = values.size();
    const double median = n % 2 == 1 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
    return RoundTrips{values.front(), median, nearestRank(values, kPercentile95), values.back()};
}

double cycleMs(const RoundTrips& figures) {
    return std::chrono::duration<double, std::milli>(unitrun::kPollWait).count() + figures.median;
}

bool unitAnswered(const DoctorPort& port) { return countOf(port.polls, DoctorPoll::Answer::Reply) > 0; }

double lineTimeMs(std::uint32_t baud) {
    return baud == 0 ? 0 : doctor::kFrameBytes * doctor::kBitsPerByte * 1000.0 / baud;
}

std::string doctorAdvice(const DoctorPort& port) {
    if (!port.opened || port.interrupted) return "";
    if (!unitAnswered(port)) return noAnswerAdvice(port);
    const std::size_t silent = port.polls.size() - countOf(port.polls, DoctorPoll::Answer::Reply);
    if (silent > 0) {
        return std::to_string(silent) + " of " + std::to_string(port.polls.size()) +
               " requests drew no good answer: a loose cable, noise on the line, or another program on it";
    }
    const RoundTrips figures = *roundTrips(port.polls);
    const double beyond = figures.median - lineTimeMs(port.baud);
    const double cycle = cycleMs(figures);
    const double offGrid = std::fabs(cycle - doctor::kAdapterTimerMs * std::round(cycle / doctor::kAdapterTimerMs));
    const bool nearTimer = std::fabs(figures.median - doctor::kAdapterTimerMs) <= doctor::kTimerNearMs;
    if (beyond > doctor::kHeldBeyondLineMs && (nearTimer || offGrid <= doctor::kCycleNearMs)) {
        return "a median of " + ms(figures.median) + ", a request every " + ms(cycle) +
               ": the adapter's latency timer is not lowered (answers wait for its 16 ms tick; set it to 1 ms)";
    }
    if (beyond > doctor::kSlowBeyondLineMs) {
        return "answers take " + ms(beyond) + " more than the line needs at " + std::to_string(port.baud) +
               " baud: an adapter holding bytes (its latency timer) or a slow unit";
    }
    return "";
}

bool everyUnitAnswered(const std::vector<DoctorPort>& ports) {
    return std::all_of(ports.begin(), ports.end(), [](const DoctorPort& p) { return p.opened && unitAnswered(p); });
}

std::string doctorText(const std::vector<DoctorPort>& ports) {
    std::string text;
    for (const DoctorPort& port : ports) {
        text += port.identity + "\n";
        if (!port.opened) {
            text += "  does not open: " + port.whyNotOpened + "\n\n";
            continue;
        }
        text += "  opened at " + std::to_string(port.baud) + " baud" +
                (port.openNote.empty() ? "" : "; " + port.openNote) + "\n";
        for (std::size_t i = 0; i < port.polls.size(); ++i) {
            const DoctorPoll& p = port.polls[i];
            char line[160];
            std::snprintf(line, sizeof line, "  %3zu  %-40s %8.2f ms\n", i + 1, answerText(p).c_str(), p.ms);
            text += line;
        }
        for (const DoctorBaudTry& t : port.otherBauds) {
            text += "  at " + std::to_string(t.baud) + " baud: " + (t.answered ? t.word : "no answer") + "\n";
        }
        const std::optional<RoundTrips> figures = roundTrips(port.polls);
        if (figures) {
            char line[160];
            std::snprintf(line, sizeof line,
                          "  round trip: min %.2f ms  median %.2f ms  95%% %.2f ms  max %.2f ms  (%zu answers of %zu; "
                          "a request every %.2f ms)\n",
                          figures->min, figures->median, figures->p95, figures->max,
                          countOf(port.polls, DoctorPoll::Answer::Reply), port.polls.size(), cycleMs(*figures));
            text += line;
        }
        const std::string advice = doctorAdvice(port);
        if (!advice.empty()) text += "  advice: " + advice + "\n";
        if (port.interrupted) text += "  interrupted\n";
        text += "\n";
    }
    return text;
}

nlohmann::json doctorPortJson(const DoctorPort& port) {
    nlohmann::json polls = nlohmann::json::array();
    for (const DoctorPoll& p : port.polls) polls.push_back({{"answer", answerKey(p.answer)}, {"status", p.word}, {"ms", p.ms}});
    nlohmann::json tries = nlohmann::json::array();
    for (const DoctorBaudTry& t : port.otherBauds) {
        tries.push_back({{"baud", t.baud}, {"answered", t.answered}, {"status", t.word}});
    }
    nlohmann::json figures;  // null when nothing answered
    if (const std::optional<RoundTrips> r = roundTrips(port.polls)) {
        figures = {{"min_ms", r->min}, {"median_ms", r->median}, {"p95_ms", r->p95}, {"max_ms", r->max}, {"cycle_ms", cycleMs(*r)}};
    }
    return {{"port", port.port},
            {"identity", port.identity},
            {"driver", port.driver},
            {"baud", port.baud},
            {"opened", port.opened},
            {"why_not_opened", port.whyNotOpened},
            {"open_note", port.openNote},
            {"answered", port.opened && unitAnswered(port)},
            {"polls", polls},
            {"round_trip", figures},
            {"other_bauds", tries},
            {"advice", doctorAdvice(port)},
            {"interrupted", port.interrupted}};
}
