// Report: outcome words from the outcome's box, exit codes by severity, and the JSON objects of each event.
#include "Report.h"

#include <cstdio>

#include "OutcomeBoxes.h"
#include "TextCodec.h"
#include "UnitCommands.h"

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
bool hasUnitCrc(const UnitResult& r) {
    return finished(r) && r.report.outcome.kind != OutcomeKind::GaveUp;
}
bool crcMatches(const UnitResult& r) { return hasUnitCrc(r) && r.report.outcome.unitCrc() == r.fileCrc; }
}  // namespace

int exitCodeOf(const UnitResult& r) {
    switch (r.report.end) {
        case UnitEnd::PortFailed: return exitcode::kPortFailed;
        case UnitEnd::Interrupted: return exitcode::kInterrupted;
        case UnitEnd::Stalled:
        case UnitEnd::PortGone: return exitcode::kGaveUp;
        case UnitEnd::TimedOut: return exitcode::kTimedOut;
        case UnitEnd::Finished: break;
    }
    switch (r.report.outcome.kind) {
        case OutcomeKind::Succeeded: return crcMatches(r) ? exitcode::kSuccess : exitcode::kGaveUp;
        case OutcomeKind::Flagged: return exitcode::kFlagged;
        case OutcomeKind::GaveUp: break;
    }
    return exitcode::kGaveUp;
}

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

std::string finalLine(const UnitResult& r) {
    char tail[96];
    std::snprintf(tail, sizeof tail, "  %s%s FILE-CRC:%s  %s  %.1f s", kCrcLinePrefix,
                  hasUnitCrc(r) ? hexWord(r.report.outcome.unitCrc()).c_str() : "----", hexWord(r.fileCrc).c_str(),
                  !hasUnitCrc(r) ? "no result" : crcMatches(r) ? "match" : "DIFFER", r.report.seconds);
    return r.port + ": " + outcomeWords(r) + tail;
}

nlohmann::json startEvent(const std::string& port, std::uint32_t baudRate, const std::string& imagePath,
                          const ImageLoad& image) {
    return {{"event", "start"}, {"port", port},           {"baud", baudRate},          {"image", imagePath},
            {"bytes", image.imageSize}, {"blocks", image.blockCount}, {"file_crc", hexWord(image.fileCrc)}};
}

nlohmann::json phaseEvent(const std::string& port, const std::string& phase, double seconds) {
    return {{"event", "phase"}, {"port", port}, {"phase", phase}, {"elapsed", seconds}};
}

nlohmann::json progressEvent(const std::string& port, std::uint32_t blocksDone, std::uint32_t blocksTotal,
                             double seconds) {
    return {{"event", "progress"}, {"port", port},        {"blocks_done", blocksDone},
            {"blocks_total", blocksTotal}, {"elapsed", seconds}};
}

nlohmann::json doneEvent(const UnitResult& r) {
    nlohmann::json retries = nlohmann::json::object();
    for (std::size_t i = 0; i < r.report.retries.size(); ++i) retries[std::to_string(i + 1)] = r.report.retries[i];
    const nlohmann::json state =
        r.report.lastState == DownloadState::Idle ? nlohmann::json() : nlohmann::json(stateNumber(r.report.lastState));
    return {{"event", "done"},
            {"port", r.port},
            {"outcome", outcomeKey(r)},
            {"message", outcomeWords(r)},
            {"state", state},
            {"unit_crc", hasUnitCrc(r) ? nlohmann::json(hexWord(r.report.outcome.unitCrc())) : nlohmann::json()},
            {"file_crc", hexWord(r.fileCrc)},
            {"crc_match", crcMatches(r)},
            {"download_started", r.report.downloadStarted},
            {"elapsed", r.report.seconds},
            {"blocks_done", r.report.blocksDone},
            {"blocks_sent", r.report.blocksSent},
            {"blocks_skipped", r.report.blocksSkipped},
            {"retries", retries},
            {"exit_code", exitCodeOf(r)}};
}

nlohmann::json checkEvent(const std::string& imagePath, const ImageLoad& image) {
    return {{"event", "check"}, {"image", imagePath}, {"bytes", image.imageSize}, {"blocks", image.blockCount},
            {"file_crc", hexWord(image.fileCrc)}};
}
