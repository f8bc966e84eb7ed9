// UnitCore: frame reception with resynchronisation, the download state machine and the fault scenarios.
#include "UnitCore.h"

#include <algorithm>
#include <cstdio>
#include <stdexcept>

#include "Crc16.h"

namespace vunit {

namespace {

constexpr std::uint8_t kCorruptMask = 0xFF;  // XORed into the last check byte of a corrupted reply

// Noise bytes cycle through this; none of them is the sync byte.
constexpr std::uint8_t kNoiseCycle[] = {0x00, 0x13, 0xFF, 0x55, 0xAA, 0x7E, 0x11, 0xFD, 0x05, 0x50, 0xD4, 0x01};

std::uint32_t readLe32(const std::uint8_t* p) {
    return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
           static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

}  // namespace

std::vector<std::uint8_t> buildFrame(std::uint8_t code, const std::vector<std::uint8_t>& data) {
    const std::size_t length = unit::kPlainFrameLength + data.size();
    if (length > unit::kMaxFrameLength) {
        throw std::length_error("frame data too long");
    }
    std::vector<std::uint8_t> frame;
    frame.reserve(length);
    frame.push_back(unit::kSync);
    frame.push_back(static_cast<std::uint8_t>(length));
    frame.push_back(code);
    frame.insert(frame.end(), data.begin(), data.end());
    Crc16 crc;
    crc.update(frame.data(), frame.size());
    frame.push_back(crc.low());
    frame.push_back(crc.high());
    return frame;
}

std::vector<std::uint8_t> noisePattern(std::size_t count) {
    std::vector<std::uint8_t> noise(count);
    for (std::size_t i = 0; i < count; ++i) {
        noise[i] = kNoiseCycle[i % sizeof kNoiseCycle];
    }
    return noise;
}

const char* transcriptTag(Event::Kind kind) {
    switch (kind) {
        case Event::Kind::In: return "IN";
        case Event::Kind::Bad: return "BAD";
        case Event::Kind::Drop: return "DROP";
        case Event::Kind::Noise: return "NOISE";
        case Event::Kind::Out: return "OUT";
        case Event::Kind::Fault: return "FAULT";
        case Event::Kind::MemorySaved:
        case Event::Kind::Vanish: return "";
    }
    return "";
}

std::string transcriptLine(std::int64_t microsSinceStart, const Event& event) {
    const std::int64_t us = std::max<std::int64_t>(microsSinceStart, 0);
    char head[48];
    std::snprintf(head, sizeof head, "%lld.%06lld %s", static_cast<long long>(us / kMicrosPerSecond),
                  static_cast<long long>(us % kMicrosPerSecond), transcriptTag(event.kind));
    std::string line(head);
    if (event.kind == Event::Kind::Fault) return line + " " + event.note;
    line.reserve(line.size() + event.bytes.size() * 3);
    static const char kHex[] = "0123456789ABCDEF";
    for (std::uint8_t b : event.bytes) {
        line.push_back(' ');
        line.push_back(kHex[b >> 4]);
        line.push_back(kHex[b & 0x0F]);
    }
    return line;
}

UnitCore::UnitCore(const UnitConfig& config) : config_(config), random_(config.faults.seed) {}

std::vector<Event> UnitCore::receive(const std::uint8_t* bytes, std::size_t count, std::int64_t nowUs) {
    std::vector<Event> events;
    nowUs_ = nowUs;
    dropStalled(nowUs, events);
    for (std::size_t i = 0; i < count; ++i) {
        feed(bytes[i], events);
    }
    if (count > 0) {
        lastByteUs_ = nowUs;
    }
    return events;
}

std::vector<Event> UnitCore::tick(std::int64_t nowUs) {
    std::vector<Event> events;
    dropStalled(nowUs, events);
    return events;
}

std::optional<std::int64_t> UnitCore::nextDeadlineUs() const {
    if (partial_.empty()) {
        return std::nullopt;
    }
    return lastByteUs_ + kStallTimeoutUs + 1;
}

std::uint16_t UnitCore::memoryCrc() const {
    return Crc16::of(memory_.data(), memory_.size());
}

void UnitCore::dropStalled(std::int64_t nowUs, std::vector<Event>& events) {
    if (!partial_.empty() && nowUs - lastByteUs_ > kStallTimeoutUs) {
        events.push_back({Event::Kind::Drop, std::move(partial_)});
        partial_.clear();
    }
}

void UnitCore::feed(std::uint8_t b, std::vector<Event>& events) {
    if (partial_.empty()) {
        if (b == unit::kSync) {
            partial_.push_back(b);
        }
        return;  // anything before a sync byte is line noise
    }
    partial_.push_back(b);
    if (partial_.size() == 2 && b < unit::kPlainFrameLength) {
        // An impossible length: discard the sync and length, hunt for the next sync byte.
        events.push_back({Event::Kind::Bad, std::move(partial_)});
        partial_.clear();
        return;
    }
    if (partial_.size() >= unit::kPlainFrameLength && partial_.size() == partial_[1]) {
        frameComplete(events);
    }
}

void UnitCore::frameComplete(std::vector<Event>& events) {
    std::vector<std::uint8_t> frame = std::move(partial_);
    partial_.clear();
    const std::size_t body = frame.size() - unit::kCheckBytes;
    Crc16 crc;
    crc.update(frame.data(), body);
    if (crc.low() != frame[body] || crc.high() != frame[body + 1]) {
        events.push_back({Event::Kind::Bad, std::move(frame)});
        return;
    }
    ++validFrames_;
    events.push_back({Event::Kind::In, frame});
    std::optional<std::vector<std::uint8_t>> reply = act(frame, events);
    if (validFrames_ == config_.vanishAfterFrames) {  // never for 0: the count is at least 1 here
        return vanish(events);
    }
    if (!reply || config_.silent) {
        return;
    }
    emitReply(std::move(*reply), events);
}

void UnitCore::emitReply(std::vector<std::uint8_t> reply, std::vector<Event>& events) {
    const FaultMix& mix = config_.faults;
    if (nowUs_ < stallUntilUs_) return fault("stalled", events);
    if (chance(mix.vanish)) return vanish(events);
    if (chance(mix.stall)) {
        const std::int64_t us = kMinStallUs + static_cast<std::int64_t>(below(kMaxStallUs - kMinStallUs));
        stallUntilUs_ = nowUs_ + us;
        return fault("stall " + std::to_string(us / 1000) + " ms", events);
    }
    if (chance(mix.drop)) return fault("drop", events);
    ++repliesWritten_;
    if ((config_.corruptEvery != 0 && repliesWritten_ % config_.corruptEvery == 0)) {
        reply.back() ^= kCorruptMask;
    } else if (chance(mix.corrupt)) {
        reply.back() ^= kCorruptMask;
        fault("corrupt", events);
    }
    std::size_t noise = config_.noiseBytes;
    if (chance(mix.noise)) {
        noise += 1 + below(kMaxNoiseFaultBytes);
        fault("noise " + std::to_string(noise), events);
    }
    if (noise > 0) {
        events.push_back({Event::Kind::Noise, noisePattern(noise)});
    }
    if (chance(mix.split)) {
        const std::size_t cut = 1 + below(reply.size() - 1);
        const std::int64_t gapUs = static_cast<std::int64_t>(below(kMaxSplitGapUs));
        fault("split " + std::to_string(cut) + " gap " + std::to_string(gapUs / 1000) + " ms", events);
        events.push_back({Event::Kind::Out, std::vector<std::uint8_t>(reply.begin(), reply.begin() + cut)});
        events.push_back({Event::Kind::Out, std::vector<std::uint8_t>(reply.begin() + cut, reply.end()), gapUs});
        return;
    }
    events.push_back({Event::Kind::Out, std::move(reply)});
}

bool UnitCore::chance(double probability) {
    constexpr double kUnit = 1.0 / 9007199254740992.0;  // 2^-53: 53 random bits as a fraction
    return probability > 0 && static_cast<double>(below(std::uint64_t{1} << 53)) * kUnit < probability;
}

// splitmix64: a small generator whose sequence depends on the seed alone.
std::uint64_t UnitCore::below(std::uint64_t bound) {
    std::uint64_t z = (random_ += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    z ^= z >> 31;
    return bound == 0 ? 0 : z % bound;
}

void UnitCore::fault(std::string note, std::vector<Event>& events) {
    events.push_back(Event(Event::Kind::Fault, {}, 0, std::move(note)));
}

// The line disappears, as an adapter pulled out: logged as a fault, then the caller closes the line.
void UnitCore::vanish(std::vector<Event>& events) {
    fault("vanish", events);
    events.push_back({Event::Kind::Vanish, {}});
}

std::optional<std::vector<std::uint8_t>> UnitCore::act(const std::vector<std::uint8_t>& frame,
                                                       std::vector<Event>& events) {
    const auto command = static_cast<UnitCommand>(frame[unit::kCodeIndex]);
    const std::uint8_t* data = frame.data() + unit::kDataIndex;
    const std::size_t dataBytes = frame.size() - unit::kDataIndex - unit::kCheckBytes;
    const std::vector<std::uint8_t> ack = buildFrame(unit::kStatusAck);

    switch (command) {
        case UnitCommand::StatusRequest:
            return statusReply();

        case UnitCommand::DownloadStart:
            memory_.clear();
            memory_.shrink_to_fit();
            mode_ = Mode::Download;
            resultReported_ = false;
            startBusy(Phase::Erase, config_.erasePolls, events);
            return ack;

        case UnitCommand::DownloadData:
            if (dataBytes > unit::kOffsetBytes) {
                writeBlock(readLe32(data), data + unit::kOffsetBytes, dataBytes - unit::kOffsetBytes);
            }
            if (mode_ == Mode::Download) {
                startBusy(Phase::Write, config_.writePolls, events);
            }
            return ack;

        case UnitCommand::DownloadEnd:
            mode_ = Mode::Verify;
            resultReported_ = false;
            startBusy(Phase::Verify, config_.verifyPolls, events);
            events.push_back({Event::Kind::MemorySaved, {}});
            return ack;

        case UnitCommand::Ack:
            if (mode_ == Mode::Verify && resultReported_) {
                mode_ = Mode::Idle;
                phase_ = Phase::None;
                busyPollsLeft_ = 0;
                resultReported_ = false;
            }
            return ack;

        default:
            return ack;
    }
}

std::vector<std::uint8_t> UnitCore::statusReply() {
    switch (mode_) {
        case Mode::Idle:
            return buildFrame(config_.neverDisable ? unit::kStatusReset : unit::kStatusDisable);
        case Mode::Download:
            return buildFrame(unit::kStatusDownloadMode, {busyNow() ? unit::kFlagSet : unit::kFlagClear});
        case Mode::Verify:
            if (busyNow()) {
                return buildFrame(unit::kStatusDownloadMode, {unit::kFlagSet});
            }
            resultReported_ = true;
            {
                const std::uint16_t crc = memoryCrc();
                return buildFrame(unit::kStatusDownloadResult,
                                  {config_.flagged ? unit::kFlagSet : unit::kFlagClear,
                                   static_cast<std::uint8_t>(crc & 0xFF), static_cast<std::uint8_t>(crc >> 8)});
            }
    }
    return buildFrame(unit::kStatusDisable);
}

bool UnitCore::busyNow() {
    if (phase_ == Phase::None) {
        return false;
    }
    if (config_.busyForever == phase_) {
        return true;
    }
    if (busyPollsLeft_ > 0) {
        --busyPollsLeft_;
        return true;
    }
    phase_ = Phase::None;
    return false;
}

void UnitCore::startBusy(Phase phase, unsigned polls, std::vector<Event>& events) {
    phase_ = phase;
    busyPollsLeft_ = polls;
    if (chance(config_.faults.busy)) {
        const unsigned extra = 1 + static_cast<unsigned>(below(kMaxExtraBusyPolls));
        busyPollsLeft_ += extra;
        fault("busy +" + std::to_string(extra), events);
    }
}

void UnitCore::writeBlock(std::uint32_t offset, const std::uint8_t* bytes, std::size_t count) {
    const std::uint64_t cap = config_.memoryCapBytes;
    if (offset >= cap) {
        return;
    }
    const std::uint64_t end = std::min<std::uint64_t>(std::uint64_t{offset} + count, cap);
    if (end > memory_.size()) {
        memory_.resize(static_cast<std::size_t>(end), unit::kBlankByte);
    }
    std::copy(bytes, bytes + static_cast<std::size_t>(end - offset), memory_.begin() + offset);
}

}  // namespace vunit
