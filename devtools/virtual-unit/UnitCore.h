// UnitCore: the virtual unit's frame receiver, download state machine and fault scenarios, free of any I/O.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "UnitFrame.h"

namespace vunit {

constexpr std::int64_t kMicrosPerSecond = 1'000'000;  // transcript times are seconds with six decimals
constexpr std::size_t kDefaultMemoryCapBytes = 16u * 1024u * 1024u;  // writes past this are ignored
constexpr std::int64_t kStallTimeoutUs = 200'000;  // a partial frame silent for longer is dropped (microseconds)

constexpr unsigned kDefaultErasePolls = 3;
constexpr unsigned kDefaultWritePolls = 1;
constexpr unsigned kDefaultVerifyPolls = 3;

enum class Phase { None, Erase, Write, Verify };

// A seeded mix of faults: each a probability per reply written (busy: per busy phase begun); all zero, none.
struct FaultMix {
    double drop = 0;     // the reply is never written
    double corrupt = 0;  // the reply's last check byte is inverted
    double noise = 0;    // 1 to kMaxNoiseFaultBytes noise bytes before the reply
    double split = 0;    // the reply is written in two pieces with a gap of up to kMaxSplitGapUs between them
    double busy = 0;     // a busy phase lasts 1 to kMaxExtraBusyPolls polls longer
    double stall = 0;    // no reply for kMinStallUs to kMaxStallUs
    double vanish = 0;   // the line disappears: the unit closes its side and ends
    std::uint64_t seed = 1;
};
constexpr std::size_t kMaxNoiseFaultBytes = 24;
constexpr std::int64_t kMaxSplitGapUs = 1'300'000;  // past the tool's one-second wait for a byte
constexpr unsigned kMaxExtraBusyPolls = 12;
constexpr std::int64_t kMinStallUs = 1'500'000;
constexpr std::int64_t kMaxStallUs = 4'000'000;

struct UnitConfig {
    unsigned erasePolls = kDefaultErasePolls;    // busy answers after DownloadStart
    unsigned writePolls = kDefaultWritePolls;    // busy answers after each DownloadData
    unsigned verifyPolls = kDefaultVerifyPolls;  // busy answers after DownloadEnd
    bool neverDisable = false;                   // idle status is Reset instead of Disable
    bool silent = false;                         // no reply ever
    bool flagged = false;                        // the download result carries the flagged bit
    Phase busyForever = Phase::None;             // this phase never completes
    std::size_t noiseBytes = 0;                  // line noise written before each reply
    std::uint64_t corruptEvery = 0;              // every Nth reply has its last check byte inverted; 0 = never
    std::uint64_t vanishAfterFrames = 0;         // the line disappears at this good frame, unanswered; 0 = never
    std::size_t memoryCapBytes = kDefaultMemoryCapBytes;
    FaultMix faults;
};

// One thing the core wants the caller to do or record, in order.
struct Event {
    enum class Kind {
        In,          // a frame with a good check code was received
        Bad,         // a complete frame with a bad check code, or an impossible length, was received and ignored
        Drop,        // a partial frame stalled and was dropped
        Noise,       // write these noise bytes (they precede the reply that follows)
        Out,         // write this reply (or this piece of it, `delayUs` after the piece before)
        MemorySaved, // a DownloadEnd arrived: the memory image is worth saving now
        Fault,       // a fault of the mix was injected; `note` says which
        Vanish       // the line disappears: close it and end
    };
    Event(Kind k, std::vector<std::uint8_t> b = {}, std::int64_t delay = 0, std::string text = {})
        : kind(k), bytes(std::move(b)), delayUs(delay), note(std::move(text)) {}
    Kind kind;
    std::vector<std::uint8_t> bytes;
    std::int64_t delayUs;
    std::string note;
};

// A complete frame: sync, length, code, data, check code low then high.
std::vector<std::uint8_t> buildFrame(std::uint8_t code, const std::vector<std::uint8_t>& data = {});
inline std::vector<std::uint8_t> buildFrame(UnitCommand command, const std::vector<std::uint8_t>& data = {}) {
    return buildFrame(static_cast<std::uint8_t>(command), data);
}

// The noise pattern: never contains the sync byte, so it can never start a frame.
std::vector<std::uint8_t> noisePattern(std::size_t count);

// "IN", "BAD", "DROP", "NOISE", "OUT", "FAULT"; empty for MemorySaved and Vanish.
const char* transcriptTag(Event::Kind kind);

// "<seconds>.<6 digits> <TAG> <HEX BYTES>" ("... FAULT <note>" for a fault), no newline.
std::string transcriptLine(std::int64_t microsSinceStart, const Event& event);

class UnitCore {
public:
    explicit UnitCore(const UnitConfig& config);

    // Bytes read from the line at `nowUs` (microseconds, any monotonic origin). Returns what happened, in order.
    std::vector<Event> receive(const std::uint8_t* bytes, std::size_t count, std::int64_t nowUs);

    // Time passing without bytes: drops a stalled partial frame.
    std::vector<Event> tick(std::int64_t nowUs);

    // When tick() next has something to do, if ever.
    std::optional<std::int64_t> nextDeadlineUs() const;

    // The memory image [0, extent).
    const std::vector<std::uint8_t>& memory() const { return memory_; }
    std::size_t extent() const { return memory_.size(); }
    std::uint16_t memoryCrc() const;

    enum class Mode { Idle, Download, Verify };
    Mode mode() const { return mode_; }
    Phase busyPhase() const { return phase_; }
    std::uint64_t validFrames() const { return validFrames_; }
    std::uint64_t repliesWritten() const { return repliesWritten_; }

private:
    void feed(std::uint8_t b, std::vector<Event>& events);
    void dropStalled(std::int64_t nowUs, std::vector<Event>& events);
    void frameComplete(std::vector<Event>& events);
    std::optional<std::vector<std::uint8_t>> act(const std::vector<std::uint8_t>& frame, std::vector<Event>& events);
    std::vector<std::uint8_t> statusReply();
    bool busyNow();
    void startBusy(Phase phase, unsigned polls, std::vector<Event>& events);
    void writeBlock(std::uint32_t offset, const std::uint8_t* bytes, std::size_t count);
    void emitReply(std::vector<std::uint8_t> reply, std::vector<Event>& events);
    bool chance(double probability);
    std::uint64_t below(std::uint64_t bound);
    void fault(std::string note, std::vector<Event>& events);
    void vanish(std::vector<Event>& events);

    UnitConfig config_;

    // Receiver.
    std::vector<std::uint8_t> partial_;  // bytes of the frame being received, starting with the sync byte
    std::int64_t lastByteUs_ = 0;

    // Download state.
    Mode mode_ = Mode::Idle;
    Phase phase_ = Phase::None;
    unsigned busyPollsLeft_ = 0;
    bool resultReported_ = false;
    std::vector<std::uint8_t> memory_;  // size is the extent

    // Fault mix.
    std::uint64_t random_;
    std::int64_t nowUs_ = 0;
    std::int64_t stallUntilUs_ = 0;

    // Scenario counters.
    std::uint64_t validFrames_ = 0;
    std::uint64_t repliesWritten_ = 0;
};

}  // namespace vunit
