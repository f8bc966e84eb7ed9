// DataFolder: where the station keeps its history, images and transcripts, and the lock that keeps it to one station.
#pragma once

#include <string>

namespace station {
// $XDG_STATE_HOME/qbv-station, else ~/.local/state/qbv-station.
std::string defaultDataFolder();
// Creates the folder (and its parents) and locks it for this process until it ends: "" when locked, else why not
// ("another station uses the data folder ...").
std::string lockDataFolder(const std::string& folder);
}  // namespace station
