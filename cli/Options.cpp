// Options: the three forms of the command line and their rules.
#include "Options.h"

#include <CLI/CLI.hpp>

#include "Bundle.h"
#include "DoctorReport.h"
#include "ReleaseCheck.h"
#include "Report.h"
#include "UnitFrame.h"

namespace {
constexpr const char* kProgram = "qbv-flash";
constexpr const char* kDescription =
    "Downloads a firmware image into one or more units over serial lines, all at the same time.\n"
    "  qbv-flash [--baud 9600|19200|38400] (--port PORT | --match PATTERN)... [RELEASE CHECKS] IMAGE\n"
    "  qbv-flash --check [RELEASE CHECKS] IMAGE\n"
    "  qbv-flash --list-ports [--match PATTERN]...\n"
    "  qbv-flash --doctor (--port PORT | --match PATTERN)... [--baud B] [--polls N] [--bundle FILE] [--json]\n"
    "--doctor checks each port and its unit and changes nothing in the unit: it sends status requests only.";
constexpr const char* kExitCodes =
    "Exit codes (with several units, the highest of theirs):\n"
    "  0    every unit succeeded\n"
    "  1    usage error\n"
    "  2    the image is unreadable or invalid, or fails a release check (nothing was sent, no port opened)\n"
    "  3    a port could not be opened, or no port matches --match\n"
    "  4    a unit gave up or its port went away (the outcome line names the state), or its CRC differs from\n"
    "       FILE-CRC\n"
    "  5    a unit ended with a flagged result (\"Premature Termination\")\n"
    "  6    a unit did not finish within the time-out\n"
    "  130  interrupted";

ParsedOptions stop(int exitCode, std::string message) {
    ParsedOptions parsed;
    parsed.exitCode = exitCode;
    parsed.message = std::move(message);
    return parsed;
}
}  // namespace

ParsedOptions parseFlashOptions(int argc, const char* const* argv) {
    FlashOptions o;
    bool check = false;
    CLI::App app(kDescription, kProgram);
    app.footer(kExitCodes);
    app.allow_windows_style_options(false);  // an image path may begin with a slash
    app.set_version_flag("--version", std::string(kProgram) + " " + QBV_FLASH_VERSION);
    app.add_option("--port,-p", o.ports,
                   "Serial port of one unit; repeat for more units (Linux: a device path, Windows: COMn)")
        ->expected(1)
        ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll)
        ->allow_extra_args(false);
    app.add_option("--match,-m", o.matches,
                   "Every listed port whose by-id name, device or identity (vendor:product, serial number, product; "
                   "on Windows also friendly name and hardware id) matches this glob (*, ?, [...], any case); "
                   "repeatable")
        ->expected(1)
        ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll)
        ->allow_extra_args(false);
    app.add_option("--baud,-b", o.baud, "Baud rate (default 38400)")
        ->check(CLI::IsMember({unit::kBaudRates[0], unit::kBaudRates[1], unit::kBaudRates[2]}));
    app.add_flag("--check", check, "Check the image only: print its FILE-CRC");
    auto* listFlag = app.add_flag("--list-ports", "List the serial ports of this machine");
    auto* doctorFlag = app.add_flag(
        "--doctor", "Check each port and its unit: who is on it, whether it opens, N status requests with their round "
                    "trips and what the figures say; sends status requests only, so nothing in the unit changes");
    auto* pollsOption = app.add_option("--polls", o.polls, "--doctor: status requests per port (default 50)")
                            ->check(CLI::Range(1, doctor::kMaxPolls));
    auto* bundleOption = app.add_option(
        "--bundle", o.bundleFile,
        "--doctor: also write FILE (a zip when it ends in .zip, which Windows requires; else a tar.gz): the report as "
        "text and JSON, the port list, the frames of every request, and the system's facts");
    app.add_flag("--json", o.json, "JSON Lines on stdout instead of the human lines");
    app.add_flag("--quiet,-q", o.quiet, "Only the final lines");
    app.add_option("--timeout", o.timeoutSeconds,
                   "Give a unit up after this many seconds (default: from the image size and baud rate)")
        ->check(CLI::PositiveNumber);
    app.add_option("--log", o.logDir, "Write a frame transcript per unit into this folder");
    app.add_option("--release-key", o.releaseKeys,
                   trust::signaturesChecked()
                       ? "A release manager's minisign public key: the image must carry a valid signature by it (or "
                         "by another --release-key); repeatable"
                       : "Not in this Windows build, which cannot check signatures: use --expected-sha256")
        ->expected(1)
        ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll)
        ->allow_extra_args(false);
    app.add_option("--signature", o.signatureFile, "The image's signature (default: IMAGE.minisig)");
    app.add_option("--expected-sha256", o.expectedSha256, "Refuse the image unless its SHA-256 is this (64 hex digits)");
    app.add_option("IMAGE", o.image, "The firmware image file");

    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp&) {
        return stop(exitcode::kSuccess, app.help());
    } catch (const CLI::CallForVersion& e) {
        return stop(exitcode::kSuccess, std::string(e.what()) + "\n");
    } catch (const CLI::ParseError& e) {
        return stop(exitcode::kUsage, e.what());
    }

    if (!o.signatureFile.empty() && o.releaseKeys.empty()) {
        return stop(exitcode::kUsage, "--signature needs a --release-key to check it against");
    }
    const bool doctorOnly = pollsOption->count() > 0 || bundleOption->count() > 0;
    if (doctorFlag->count() > 0) {
        if (!o.image.empty() || check || listFlag->count() > 0 || !o.releaseKeys.empty() || !o.expectedSha256.empty() ||
            !o.logDir.empty() || o.timeoutSeconds > 0 || o.quiet) {
            return stop(exitcode::kUsage, "--doctor takes only --port, --match, --baud, --polls, --bundle and --json");
        }
        if (o.ports.empty() && o.matches.empty()) return stop(exitcode::kUsage, "--doctor needs a --port or --match");
        const std::string bundleProblem = o.bundleFile.empty() ? "" : bundle::nameProblem(o.bundleFile);
        if (!bundleProblem.empty()) return stop(exitcode::kUsage, bundleProblem);
        o.mode = FlashOptions::Mode::Doctor;
    } else if (doctorOnly) {
        return stop(exitcode::kUsage, "--polls and --bundle belong to --doctor");
    } else if (listFlag->count() > 0) {
        if (!o.ports.empty() || !o.image.empty() || check || !o.releaseKeys.empty() || !o.expectedSha256.empty()) {
            return stop(exitcode::kUsage, "--list-ports takes only --match and --json");
        }
        o.mode = FlashOptions::Mode::ListPorts;
    } else if (check) {
        if (!o.ports.empty() || !o.matches.empty()) return stop(exitcode::kUsage, "--check takes no --port or --match");
        if (o.image.empty()) return stop(exitcode::kUsage, "--check needs an IMAGE");
        o.mode = FlashOptions::Mode::Check;
    } else {
        if (o.image.empty()) return stop(exitcode::kUsage, "an IMAGE is required");
        if (o.ports.empty() && o.matches.empty()) return stop(exitcode::kUsage, "at least one --port or --match is required");
    }
    ParsedOptions parsed;
    parsed.proceed = true;
    parsed.options = std::move(o);
    return parsed;
}
