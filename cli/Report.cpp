// Report: exit codes by severity, the final line of each unit, and the JSON objects of each event.
#include "Report.h"

#include <cstdio>

#include "TextCodec.h"
#include "UnitCommands.h"

namespace {
constexpr const char* kCrcLinePrefix = "CRC:";
}  // namespace

const char* flashVersion() { return QBV_FLASH_VERSION; }

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

std::string finalLine(const UnitResult& r) {
    char tail[96];
    std::snprintf(tail, sizeof tail, "  %s%s FILE-CRC:%s  %s  %.1f s", kCrcLinePrefix,
                  hasUnitCrc(r) ? hexWord(r.report.outcome.unitCrc()).c_str() : "----", hexWord(r.fileCrc).c_str(),
                  !hasUnitCrc(r) ? "no result" : crcMatches(r) ? "match" : "DIFFER", r.report.seconds);
    return r.port + ": " + outcomeWords(r) + tail;
}

namespace {
nlohmann::json withRelease(nlohmann::json event, const trust::ReleaseFacts& release) {
    event["sha256"] = release.sha256;
    if (release.signer) {
        event["key_id"] = release.signer->keyId;
        event["trusted_comment"] = release.signer->trustedComment;
    }
    return event;
}
}  // namespace

nlohmann::json startEvent(const std::string& port, std::uint32_t baudRate, const std::string& imagePath,
                          const ImageLoad& image, const trust::ReleaseFacts& release) {
    return withRelease({{"event", "start"}, {"port", port}, {"baud", baudRate}, {"image", imagePath},
                        {"bytes", image.imageSize}, {"blocks", image.blockCount}, {"file_crc", hexWord(image.fileCrc)}},
                       release);
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

nlohmann::json checkEvent(const std::string& imagePath, const ImageLoad& image, const trust::ReleaseFacts& release) {
    return withRelease({{"event", "check"}, {"image", imagePath}, {"bytes", image.imageSize},
                        {"blocks", image.blockCount}, {"file_crc", hexWord(image.fileCrc)}},
                       release);
}

std::string checkLines(const ImageLoad& image, const trust::ReleaseFacts& release) {
    std::string lines = "FILE-CRC:" + hexWord(image.fileCrc) + "\nSHA-256:" + release.sha256 + "\n";
    if (release.signer) {
        lines += "KEY-ID:" + release.signer->keyId + "\nTRUSTED-COMMENT:" + release.signer->trustedComment + "\n";
    }
    return lines;
}
