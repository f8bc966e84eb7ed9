// Bundle: the doctor's files packed into one archive for a support case (a zip, or on Linux a tar.gz), and the facts
// of the system it ran on; the build picks the Linux or the Windows file.
#pragma once

#include <string>

namespace bundle {
constexpr const char* kTopFolder = "qbv-doctor";  // every file of the archive lies in this folder

// Why this build will not write a bundle named `target` (Windows: a name not ending in .zip), "" when it will.
std::string nameProblem(const std::string& target);
// "os Linux\nkernel 6.1.0-18-amd64 #1 SMP ...\nmachine x86_64\n", "os Windows\nversion 10.0.19045\nmachine x86_64\n":
// the system's name, its kernel or version and the machine type, nothing that names the computer or its users.
std::string systemFacts();
// A new private folder for the bundle's files; "" when none can be made.
std::string makeFolder();
// Packs the folder made by makeFolder into `target`, its files in kTopFolder/: a zip when `target` ends in .zip (on
// Windows always), else a tar.gz whose members are owned by 0:0; then removes the folder. "" when it was written, else
// why not.
std::string pack(const std::string& folder, const std::string& target);
}  // namespace bundle
