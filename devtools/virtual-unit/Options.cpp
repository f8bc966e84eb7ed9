// Options: strict parsing of the virtual unit's switches ("--name value" or "--name=value").
#include "Options.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <iterator>
#include <utility>

namespace vunit {

namespace {

bool parseNumber(const std::string& text, std::uint64_t min, std::uint64_t max, std::uint64_t& out) {
    if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos || text.size() > 19) {
        return false;
    }
    errno = 0;
    const unsigned long long v = std::strtoull(text.c_str(), nullptr, 10);
    if (errno != 0 || v < min || v > max) {
        return false;
    }
    out = v;
    return true;
}

bool parsePhase(const std::string& text, Phase& out) {
    if (text == "erase") {
        out = Phase::Erase;
    } else if (text == "write") {
        out = Phase::Write;
    } else if (text == "verify") {
        out = Phase::Verify;
    } else {
        return false;
    }
    return true;
}

}  // namespace

// "drop=0.05,split=0.1": every kind named once at most, each probability from 0 to 1.
bool parseFaultMix(const std::string& text, FaultMix& mix, std::string& error) {
    const std::pair<const char*, double FaultMix::*> kinds[] = {
        {"drop", &FaultMix::drop},   {"corrupt", &FaultMix::corrupt}, {"noise", &FaultMix::noise},
        {"split", &FaultMix::split}, {"busy", &FaultMix::busy},       {"stall", &FaultMix::stall},
        {"vanish", &FaultMix::vanish}};
    std::size_t begin = 0;
    while (begin <= text.size()) {
        const std::size_t end = std::min(text.find(',', begin), text.size());
        const std::string item = text.substr(begin, end - begin);
        const std::size_t eq = item.find('=');
        const std::string kind = item.substr(0, eq);
        const auto found = std::find_if(std::begin(kinds), std::end(kinds),
                                        [&](const auto& k) { return kind == k.first; });
        char* rest = nullptr;
        const double p = eq == std::string::npos ? -1 : std::strtod(item.c_str() + eq + 1, &rest);
        if (found == std::end(kinds) || rest == nullptr || *rest != '\0' || eq + 1 == item.size() ||
            !(p >= 0 && p <= 1)) {
            error = "--faults: expected KIND=P (P from 0 to 1; kinds drop, corrupt, noise, split, busy, stall, "
                    "vanish), got '" + item + "'";
            return false;
        }
        mix.*(found->second) = p;
        begin = end + 1;
    }
    return true;
}

namespace {

// One option as given: its name, and its value either inline ("--name=value") or the argument after it.
class GivenOption {
public:
    // `at` is the option's index in `args`; taking a value from the next argument advances it.
    GivenOption(const std::vector<std::string>& args, std::size_t& at, std::string& error)
        : args_(args), at_(at), error_(error), name_(args[at]) {
        const std::size_t eq = name_.find('=');
        if (name_.rfind("--", 0) == 0 && eq != std::string::npos) {
            value_ = name_.substr(eq + 1);
            name_ = name_.substr(0, eq);
            hasInlineValue_ = true;
        }
    }

    const std::string& name() const { return name_; }

    // An option that takes no value: present means true.
    bool flag(bool& out) {
        if (hasInlineValue_) {
            return fail(name_ + " takes no value");
        }
        out = true;
        return true;
    }

    // A whole number from `min` to `max`.
    template <typename Whole>
    bool number(std::uint64_t min, std::uint64_t max, Whole& out) {
        std::uint64_t n = 0;
        if (!takeValue()) {
            return false;
        }
        if (!parseNumber(value_, min, max, n)) {
            return fail(name_ + ": expected a whole number from " + std::to_string(min) + " to " +
                        std::to_string(max) + ", got '" + value_ + "'");
        }
        out = static_cast<Whole>(n);
        return true;
    }

    // A text that must not be empty, such as a path.
    bool text(std::string& out) {
        if (!takeValue()) {
            return false;
        }
        if (value_.empty()) {
            return fail(name_ + " needs a non-empty value");
        }
        out = value_;
        return true;
    }

    // The phase that --busy-forever names.
    bool phase(Phase& out) {
        if (!takeValue()) {
            return false;
        }
        if (!parsePhase(value_, out)) {
            return fail(name_ + ": expected erase, write or verify, got '" + value_ + "'");
        }
        return true;
    }

    // The fault mix, "KIND=P,...".
    bool faults(FaultMix& out) { return takeValue() && parseFaultMix(value_, out, error_); }

private:
    bool takeValue() {
        if (hasInlineValue_) {
            return true;
        }
        if (at_ + 1 >= args_.size()) {
            return fail(name_ + " needs a value");
        }
        value_ = args_[++at_];
        return true;
    }

    bool fail(std::string error) {
        error_ = std::move(error);
        return false;
    }

    const std::vector<std::string>& args_;
    std::size_t& at_;
    std::string& error_;
    std::string name_;
    std::string value_;
    bool hasInlineValue_ = false;
};

// Every option and how it takes its value into Options.
struct OptionRule {
    const char* name;
    bool (*read)(GivenOption& given, Options& o);
};

const OptionRule kOptionRules[] = {
    {"--help", [](GivenOption& g, Options& o) { return g.flag(o.help); }},
    {"-h", [](GivenOption& g, Options& o) { return g.flag(o.help); }},
    {"--never-disable", [](GivenOption& g, Options& o) { return g.flag(o.unit.neverDisable); }},
    {"--silent", [](GivenOption& g, Options& o) { return g.flag(o.unit.silent); }},
    {"--flagged", [](GivenOption& g, Options& o) { return g.flag(o.unit.flagged); }},
    {"--erase-polls", [](GivenOption& g, Options& o) { return g.number(0, kMaxPolls, o.unit.erasePolls); }},
    {"--write-polls", [](GivenOption& g, Options& o) { return g.number(0, kMaxPolls, o.unit.writePolls); }},
    {"--verify-polls", [](GivenOption& g, Options& o) { return g.number(0, kMaxPolls, o.unit.verifyPolls); }},
    {"--busy-forever", [](GivenOption& g, Options& o) { return g.phase(o.unit.busyForever); }},
    {"--noise", [](GivenOption& g, Options& o) { return g.number(0, kMaxNoiseBytes, o.unit.noiseBytes); }},
    {"--corrupt-every", [](GivenOption& g, Options& o) { return g.number(1, UINT32_MAX, o.unit.corruptEvery); }},
    {"--vanish-after", [](GivenOption& g, Options& o) { return g.number(1, UINT32_MAX, o.unit.vanishAfterFrames); }},
    {"--faults", [](GivenOption& g, Options& o) { return g.faults(o.unit.faults); }},
    {"--seed", [](GivenOption& g, Options& o) { return g.number(0, UINT64_MAX, o.unit.faults.seed); }},
    {"--pace-received", [](GivenOption& g, Options& o) { return g.flag(o.paceReceived); }},
    {"--strict-baud", [](GivenOption& g, Options& o) { return g.flag(o.strictBaud); }},
    {"--delay-ms", [](GivenOption& g, Options& o) { return g.number(0, kMaxDelayMs, o.delayMs); }},
    {"--baud", [](GivenOption& g, Options& o) { return g.number(1, kMaxBaud, o.baud); }},
    {"--latency", [](GivenOption& g, Options& o) { return g.number(0, kMaxLatencyMs, o.latencyMs); }},
    {"--link", [](GivenOption& g, Options& o) { return g.text(o.linkPath); }},
    {"--transcript", [](GivenOption& g, Options& o) { return g.text(o.transcriptPath); }},
    {"--memory-out", [](GivenOption& g, Options& o) { return g.text(o.memoryOutPath); }},
};

const OptionRule* findRule(const std::string& name) {
    const auto found = std::find_if(std::begin(kOptionRules), std::end(kOptionRules),
                                    [&](const OptionRule& rule) { return name == rule.name; });
    return found == std::end(kOptionRules) ? nullptr : found;
}

}  // namespace

ParseResult parseOptions(const std::vector<std::string>& args) {
    ParseResult result;
    for (std::size_t i = 0; i < args.size(); ++i) {
        GivenOption given(args, i, result.error);
        const OptionRule* rule = findRule(given.name());
        if (rule == nullptr) {
            result.error = "unknown option '" + args[i] + "'";
            return result;
        }
        if (!rule->read(given, result.options)) {
            return result;
        }
    }
    result.ok = true;
    return result;
}

std::string usageText(const std::string& programName) {
    return "Usage: " + programName + R"( [options]

Plays a banknote acceptor in download mode on a pseudo-terminal. Prints the slave
path on the first line of stdout, then READY once the link (if any) exists.
Stops cleanly on SIGINT or SIGTERM.

Timing of the download phases (status polls answered busy):
  --erase-polls N        after DownloadStart (default 3)
  --write-polls N        after each DownloadData (default 1)
  --verify-polls N       after DownloadEnd (default 3)

Scenarios (combinable):
  --never-disable        idle status is Reset (0x40) instead of Disable (0x1A)
  --silent               never answer; still log what arrives
  --flagged              the download result carries flag 0x80
  --busy-forever PHASE   erase, write or verify never completes
  --noise N              write N noise bytes (never 0xFC) before each reply
  --corrupt-every N      invert the last check byte of every Nth reply written
  --faults KIND=P,...    a seeded mix of faults, each P from 0 to 1: drop, corrupt, noise, split, stall
                         and vanish per reply written, busy per busy phase; each one injected is logged
                         as a FAULT line
  --seed N               the mix's seed (default 1): the same seed gives the same faults
  --delay-ms N           wait N ms before each reply
  --baud N               pace written bytes at 11 bit times each at N bit/s
  --pace-received        with --baud: a reply also waits the time its frame took to arrive
  --strict-baud          with --baud: bytes from a client whose line is set to another baud rate are not
                         understood (logged as GARBLED), as a UART at the wrong rate sees only framing errors
  --latency MS           hold reply bytes until the next tick of a timer of period MS ms running from
                         the start, as a USB-serial adapter's latency timer does (0, the default: none)
  --vanish-after N       the line disappears when the Nth frame with a good check code arrives: that
                         frame is acted on but not answered, the link is removed, the pty closed

Files:
  --link PATH            symlink PATH to the slave (replaced if present, removed on exit)
  --transcript FILE      log frames: "<seconds.micros> IN|BAD|OUT|NOISE|DROP <hex bytes>", faults:
                         "<seconds.micros> FAULT <what>"
  --memory-out FILE      write memory [0, extent) on every DownloadEnd and on exit
  --help                 this text
)";
}

}  // namespace vunit
