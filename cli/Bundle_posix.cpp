// Bundle on Linux: uname for the system's facts; the folder packed as a zip for a name ending in .zip, else by tar (on
// every Debian system), run without a shell, member owners written as 0:0 so that no user name travels with the bundle.
#include "Bundle.h"
#include "ZipArchive.h"

#include <sys/utsname.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <system_error>
#include <vector>

namespace fs = std::filesystem;

std::string bundle::nameProblem(const std::string&) { return ""; }

std::string bundle::systemFacts() {
    utsname names{};
    if (uname(&names) != 0) return "os unknown\n";
    return std::string("os ") + names.sysname + "\nkernel " + names.release + " " + names.version + "\nmachine " +
           names.machine + "\n";
}

std::string bundle::makeFolder() {
    std::string pattern = (fs::temp_directory_path() / "qbv-doctor-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) return "";
    std::error_code ec;
    fs::create_directory(fs::path(pattern) / kTopFolder, ec);
    if (ec) {
        fs::remove_all(pattern, ec);
        return "";
    }
    return pattern;
}

namespace {
std::string packZip(const std::string& folder, const std::string& target) {
    const zip::Archive archive = zip::packFolder(folder, bundle::kTopFolder);
    std::error_code ec;
    fs::remove_all(folder, ec);
    if (!archive.error.empty()) return archive.error;
    std::ofstream out(target, std::ios::binary | std::ios::trunc);
    out.write(archive.bytes.data(), static_cast<std::streamsize>(archive.bytes.size()));
    out.close();
    return out ? "" : "cannot write " + target;
}
}  // namespace

std::string bundle::pack(const std::string& folder, const std::string& target) {
    if (zip::namesZip(target)) return packZip(folder, target);
    std::error_code ec;
    const std::string archive = fs::absolute(target, ec).string();
    std::vector<std::string> args{"tar", "--create", "--gzip", "--file", archive, "--owner=0", "--group=0",
                                  "--numeric-owner", "--directory", folder, kTopFolder};
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        execvp(argv[0], argv.data());
        _exit(127);
    }
    int status = 0;
    const bool packed = pid > 0 && waitpid(pid, &status, 0) == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0;
    fs::remove_all(folder, ec);
    if (packed) return "";
    if (pid > 0 && WIFEXITED(status) && WEXITSTATUS(status) == 127) return "tar is not installed";
    return "tar could not write " + target;
}
