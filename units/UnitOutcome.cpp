// UnitOutcome: a unit's end named as a key and in the window's words, from its outcome box.
#include "UnitOutcome.h"

#include "OutcomeBoxes.h"

namespace {
constexpr const char* kInterruptedWords = "interrupted";
constexpr const char* kStalledWords = "the link gave no further answer";
constexpr const char* kTimedOutWords = "no end within the time-out";
constexpr const char* kPortGoneWords = "the port went away";
constexpr const char* kCrcDiffersWords = ", but its CRC differs from FILE-CRC";
constexpr const char* kLineJoint = " / ";
constexpr const char* kCrcLinePrefix = "CRC:";
constexpr const char* kFileCrcLinePrefix = "FILE-CRC:";

bool startsWith(const std::string& text, const char* prefix) { return text.rfind(prefix, 0) == 0; }

// The box's caption (unless it is the program's own) and its non-empty lines, the CRC lines left out.
std::string boxWords(const OutcomeBox& box) {
    std::string words = box.caption == box::kProgramCaption ? "" : box.caption;
    std::string joint = ": ";
    std::size_t begin = 0;
    while (begin <= box.text.size()) {
        std::size_t end = box.text.find('\n', begin);
        if (end == std::string::npos) end = box.text.size();
        const std::string line = box.text.substr(begin, end - begin);
        if (!line.empty() && !startsWith(line, kCrcLinePrefix) && !startsWith(line, kFileCrcLinePrefix)) {
            words += words.empty() ? line : joint + line;
            joint = kLineJoint;
        }
        begin = end + 1;
    }
    return words;
}

bool finished(const UnitResult& r) { return r.report.end == UnitEnd::Finished; }
}  // namespace

bool hasUnitCrc(const UnitResult& r) { return finished(r) && r.report.outcome.kind != OutcomeKind::GaveUp; }

bool crcMatches(const UnitResult& r) { return hasUnitCrc(r) && r.report.outcome.unitCrc() == r.fileCrc; }

std::string outcomeKey(const UnitResult& r) {
    switch (r.report.end) {
        case UnitEnd::PortFailed: return "port_failed";
        case UnitEnd::Interrupted: return "interrupted";
        case UnitEnd::Stalled: return "stalled";
        case UnitEnd::TimedOut: return "timed_out";
        case UnitEnd::PortGone: return "port_gone";
        case UnitEnd::Finished: break;
    }
    switch (r.report.outcome.kind) {
        case OutcomeKind::Succeeded: return crcMatches(r) ? "succeeded" : "crc_mismatch";
        case OutcomeKind::Flagged: return "flagged";
        case OutcomeKind::GaveUp: break;
    }
    return "gave_up";
}

std::string outcomeWords(const UnitResult& r) {
    std::string words;
    switch (r.report.end) {
        case UnitEnd::PortFailed:
            words = box::kPortInitFailed;
            if (!r.portProblem.empty()) words += " (" + r.portProblem + ")";
            return words;
        case UnitEnd::Interrupted: words = kInterruptedWords; break;
        case UnitEnd::Stalled: words = kStalledWords; break;
        case UnitEnd::TimedOut: words = kTimedOutWords; break;
        case UnitEnd::PortGone: words = kPortGoneWords; break;
        case UnitEnd::Finished:
            words = boxWords(outcomeBox(r.report.outcome));
            if (r.report.outcome.kind == OutcomeKind::Succeeded && !crcMatches(r)) words += kCrcDiffersWords;
            break;
    }
    if (r.report.lastState != DownloadState::Idle) {
        words += " (state " + std::to_string(stateNumber(r.report.lastState)) + ")";
    }
    return words;
}
