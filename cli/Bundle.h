// Bundle: the doctor's files packed into one archive for a support case (a zip or a tar.gz), and the facts of the
// system it ran on; the build picks the Linux or the Windows file.
#pragma once

#include <string>

namespace bundle {
constexpr const char* kTopFolder = "qbv-doctor";  // every file of the archive lies in this folder

// False where this build cannot make a bundle (Windows).
bool supported();
// "os Linux\nkernel 6.1.0-18-amd64 #1 SMP ...\nmachine x86_64\n": the system's name, its kernel and the machine
// type, nothing that names the computer or its users.
std::string systemFacts();
// A new private folder for the bundle's files; "" when none can be made.
std::string makeFolder();
// Packs the folder made by makeFolder into `target`, its files in kTopFolder/ (Linux: a zip when `target` ends in .zip,
// else a tar.gz whose members are owned by 0:0), then removes the folder. "" when it was written, else why not.
std::string pack(const std::string& folder, const std::string& target);
}  // namespace bundle
