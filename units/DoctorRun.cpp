// DoctorRun: one line opened per baud rate tried, polls through the frame exchange, timed on the steady clock.
#include "DoctorRun.h"

#include <algorithm>
#include <chrono>

#include "FrameExchange.h"
#include "UnitFrame.h"
#include "UnitCommands.h"
#include "UnitRun.h"

namespace {
using Clock = std::chrono::steady_clock;

std::unique_ptr<BytePort> logged(std::unique_ptr<BytePort> line, const std::shared_ptr<FrameLog>& transcript) {
    if (!transcript) return line;
    return std::make_unique<LoggingBytePort>(std::move(line), transcript);
}

// Up to `count` status requests on an open exchange, each after the poll wait; with `stopAtFirstReply`, until one
// draws a good reply; with `giveUpSilent`, until the first few have all drawn nothing at all.
std::vector<DoctorPoll> poll(FrameExchange& exchange, int count, bool stopAtFirstReply, bool giveUpSilent,
                             const std::atomic<bool>* interrupted) {
    std::vector<DoctorPoll> polls;
    Clock::time_point lastEnd = Clock::now() - unitrun::kPollWait;
    const ByteBuffer request = buildFrame(UnitCommand::StatusRequest);
    for (int i = 0; i < count && !(interrupted && interrupted->load()); ++i) {
        unitrun::waitUntil(lastEnd + unitrun::kPollWait);
        const Clock::time_point sent = Clock::now();
        const FrameReply reply = exchange.exchange(request);
        lastEnd = Clock::now();
        DoctorPoll p;
        p.ms = std::chrono::duration<double, std::milli>(lastEnd - sent).count();
        if (reply.result == ExchangeResult::Reply) {
            p.answer = DoctorPoll::Answer::Reply;
            p.word = doctorStatusWord(reply.frame);
        } else if (reply.result == ExchangeResult::BadCheckBytes) {
            p.answer = DoctorPoll::Answer::BadCheckBytes;
        }
        polls.push_back(p);
        if (reply.result == ExchangeResult::LineGone) break;
        if (stopAtFirstReply && p.answer == DoctorPoll::Answer::Reply) break;
        const bool allSilent = std::all_of(polls.begin(), polls.end(),
                                           [](const DoctorPoll& q) { return q.answer == DoctorPoll::Answer::NoAnswer; });
        if (giveUpSilent && allSilent && static_cast<int>(polls.size()) >= doctor::kSilentPollsBeforeGivingUp) break;
    }
    return polls;
}
}  // namespace

void runDoctorChecks(const DoctorRequest& request, const LineMaker& makeLine, std::shared_ptr<FrameLog> transcript,
                     const std::function<std::string()>& whyNotOpened, DoctorPort& result) {
    result.baud = request.baud;
    {
        std::unique_ptr<BytePort> line = logged(makeLine(), transcript);
        BytePort& raw = *line;
        FrameExchange exchange(std::move(line));
        result.opened = exchange.open(request.port, request.baud, unit::kDataBits);
        if (!result.opened) {
            result.whyNotOpened = whyNotOpened();
            if (result.whyNotOpened.empty()) result.whyNotOpened = "it would not take its settings";
            return;
        }
        result.openNote = raw.openNote();
        result.polls = poll(exchange, request.polls, false, true, request.interrupted);
        exchange.close();
    }
    result.interrupted = request.interrupted && request.interrupted->load();
    if (unitAnswered(result) || result.interrupted) return;
    for (const std::uint32_t baud : unit::kBaudRates) {
        if (baud == request.baud) continue;
        DoctorBaudTry attempt;
        attempt.baud = baud;
        FrameExchange exchange(logged(makeLine(), transcript));
        if (exchange.open(request.port, baud, unit::kDataBits)) {
            for (const DoctorPoll& p : poll(exchange, doctor::kSilentPollsBeforeGivingUp, true, false, request.interrupted)) {
                if (p.answer != DoctorPoll::Answer::Reply) continue;
                attempt.answered = true;
                attempt.word = p.word;
            }
            exchange.close();
        }
        result.otherBauds.push_back(attempt);
    }
    result.interrupted = request.interrupted && request.interrupted->load();
}
