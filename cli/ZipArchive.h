// ZipArchive: a folder's files packed into one zip (local headers, central directory, end record), each member
// deflated by zlib or stored when deflating would not make it smaller; no zip64, no encryption.
#pragma once

#include <cstdint>
#include <ctime>
#include <filesystem>
#include <string>
#include <vector>

namespace zip {
// A member's time as a zip holds it: the MS-DOS date and time, local time, in two-second steps, 1980 at the earliest.
struct DosTime {
    std::uint16_t time = 0;
    std::uint16_t date = 0;
};
DosTime dosTime(std::time_t when);

struct Member {
    std::string name;   // with '/' between folders, as the archive shows it
    std::string bytes;  // the file's contents
};

// The whole archive, or why there is none ("" when built).
struct Archive {
    std::string bytes;
    std::string error;
};

// The zip of `members` in the order given, every one stamped `when`.
Archive build(const std::vector<Member>& members, DosTime when);

// The zip of every file below `folder`/`top`, each named `top`/its path there, in name order, stamped with the time
// of packing.
Archive packFolder(const std::filesystem::path& folder, const std::string& top);

// True when `target` ends in .zip (in any case).
bool namesZip(const std::string& target);
}  // namespace zip
