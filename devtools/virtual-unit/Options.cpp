// Options: strict parsing of the virtual unit's switches ("--name value" or "--name=value").
#include "Options.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <iterator>

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
        if (found == std::end(kinds) || rest == nullptr || *rest != '\0' || eq + 1 == item.size() || !(p >= 0 && p <= 1)) {
            error = "--faults: expected KIND=P (P from 0 to 1; kinds drop, corrupt, noise, split, busy, stall, vanish), "
                    "got '" + item + "'";
            return false;
        }
        mix.*(found->second) = p;
        begin = end + 1;
    }
    return true;
}

ParseResult parseOptions(const std::vector<std::string>& args) {
    ParseResult result;
    Options& o = result.options;

    for (std::size_t i = 0; i < args.size(); ++i) {
        std::string name = args[i];
        std::string value;
        bool hasInlineValue = false;
        const std::size_t eq = name.find('=');
        if (name.rfind("--", 0) == 0 && eq != std::string::npos) {
            value = name.substr(eq + 1);
            name = name.substr(0, eq);
            hasInlineValue = true;
        }

        auto flag = [&](bool& target) {
            if (hasInlineValue) {
                result.error = name + " takes no value";
                return false;
            }
            target = true;
            return true;
        };
        auto takeValue = [&]() {
            if (hasInlineValue) {
                return true;
            }
            if (i + 1 >= args.size()) {
                result.error = name + " needs a value";
                return false;
            }
            value = args[++i];
            return true;
        };
        auto number = [&](std::uint64_t min, std::uint64_t max, std::uint64_t& out) {
            if (!takeValue()) {
                return false;
            }
            if (!parseNumber(value, min, max, out)) {
                result.error = name + ": expected a whole number from " + std::to_string(min) + " to " +
                               std::to_string(max) + ", got '" + value + "'";
                return false;
            }
            return true;
        };
        auto text = [&](std::string& out) {
            if (!takeValue()) {
                return false;
            }
            if (value.empty()) {
                result.error = name + " needs a non-empty value";
                return false;
            }
            out = value;
            return true;
        };

        std::uint64_t n = 0;
        bool good = true;
        if (name == "--help" || name == "-h") {
            good = flag(o.help);
        } else if (name == "--never-disable") {
            good = flag(o.unit.neverDisable);
        } else if (name == "--silent") {
            good = flag(o.unit.silent);
        } else if (name == "--flagged") {
            good = flag(o.unit.flagged);
        } else if (name == "--erase-polls") {
            good = number(0, kMaxPolls, n);
            o.unit.erasePolls = static_cast<unsigned>(n);
        } else if (name == "--write-polls") {
            good = number(0, kMaxPolls, n);
            o.unit.writePolls = static_cast<unsigned>(n);
        } else if (name == "--verify-polls") {
            good = number(0, kMaxPolls, n);
            o.unit.verifyPolls = static_cast<unsigned>(n);
        } else if (name == "--busy-forever") {
            good = takeValue();
            if (good && !parsePhase(value, o.unit.busyForever)) {
                result.error = name + ": expected erase, write or verify, got '" + value + "'";
                good = false;
            }
        } else if (name == "--noise") {
            good = number(0, kMaxNoiseBytes, n);
            o.unit.noiseBytes = static_cast<std::size_t>(n);
        } else if (name == "--corrupt-every") {
            good = number(1, UINT32_MAX, o.unit.corruptEvery);
        } else if (name == "--faults") {
            good = takeValue() && parseFaultMix(value, o.unit.faults, result.error);
        } else if (name == "--seed") {
            good = number(0, UINT64_MAX, o.unit.faults.seed);
        } else if (name == "--pace-received") {
            good = flag(o.paceReceived);
        } else if (name == "--delay-ms") {
            good = number(0, kMaxDelayMs, o.delayMs);
        } else if (name == "--baud") {
            good = number(1, kMaxBaud, o.baud);
        } else if (name == "--link") {
            good = text(o.linkPath);
        } else if (name == "--transcript") {
            good = text(o.transcriptPath);
        } else if (name == "--memory-out") {
            good = text(o.memoryOutPath);
        } else {
            result.error = "unknown option '" + args[i] + "'";
            good = false;
        }
        if (!good) {
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

Files:
  --link PATH            symlink PATH to the slave (replaced if present, removed on exit)
  --transcript FILE      log frames: "<seconds.micros> IN|BAD|OUT|NOISE|DROP <hex bytes>", faults:
                         "<seconds.micros> FAULT <what>"
  --memory-out FILE      write memory [0, extent) on every DownloadEnd and on exit
  --help                 this text
)";
}

}  // namespace vunit
