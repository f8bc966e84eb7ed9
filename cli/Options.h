// Options: qbv-flash's command line, read with CLI11 into a value; usage errors come back as text, never thrown.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace flashopt {
constexpr std::uint32_t kDefaultBaud = 38400;
}  // namespace flashopt

struct FlashOptions {
    enum class Mode { Flash, Check, ListPorts, Doctor };
    Mode mode = Mode::Flash;
    std::vector<std::string> ports;
    std::vector<std::string> matches;  // globs that choose ports by who they are (--match)
    std::uint32_t baud = flashopt::kDefaultBaud;
    std::string image;
    std::string logDir;
    double timeoutSeconds = 0;  // 0: derived from the image and the baud rate
    bool json = false;
    bool quiet = false;
    std::vector<std::string> releaseKeys;  // a signature by one of them is required (--release-key)
    std::string signatureFile;             // --signature; "" for IMAGE.minisig
    std::string expectedSha256;            // --expected-sha256, as given
    int polls = 50;                        // --doctor: status requests per port (--polls)
    std::string bundleFile;                // --doctor: the archive to write (--bundle), "" for none
};

struct ParsedOptions {
    bool proceed = false;  // false: print `message` and exit with `exitCode`
    int exitCode = 0;
    std::string message;   // help text (exit 0, to stdout) or one error line (exit 1, to stderr)
    FlashOptions options;
};

ParsedOptions parseFlashOptions(int argc, const char* const* argv);
