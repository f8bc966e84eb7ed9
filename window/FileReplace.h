// The one file-system step that differs per platform: putting a complete new file in place of an old one.
#pragma once

#include <string>

namespace fileops {
// Moves `from` onto `to`, replacing `to` if it exists. False (and `from` left where it is) on failure.
bool replaceFile(const std::string& from, const std::string& to);
}  // namespace fileops
