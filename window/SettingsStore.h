// SettingsStore: the tool's remembered port and baud rate, "qbv_download_config.txt" next to the executable.
#pragma once

#include <map>
#include <string>

namespace settings {
constexpr const char* kFileName = "qbv_download_config.txt";
constexpr const char* kPortKey = "Port";
constexpr const char* kBaudrateKey = "Baudrate";
constexpr const char* kDefaultPort = "COM1";
constexpr const char* kDefaultBaudrate = "9600";
constexpr const char* kLineEnd = "\r\n";          // written explicitly, whatever the platform
constexpr const char* kNewFileSuffix = ".new";    // the complete new file, before it replaces the old one

// Keys ordered byte by byte as unsigned values.
struct ByteOrder {
    bool operator()(const std::string& a, const std::string& b) const;
};
using Map = std::map<std::string, std::string, ByteOrder>;

// The reading rules: comments and blank lines end the reading, the first line of a key wins,
// lines without a value are skipped, keys and values are not trimmed around the comma.
Map parseText(const std::string& text);
// Every entry as key "," value CR LF, in map order.
std::string formatText(const Map& entries);
}  // namespace settings

class SettingsStore {
public:
    explicit SettingsStore(std::string path) : path_(std::move(path)) {}

    bool Read();            // false only when the file cannot be opened for reading
    bool ApplyDefaults();   // Port COM1, Baudrate 9600, then Write()
    std::string Get(const std::string& key) const;  // empty when absent
    void Set(const std::string& key, const std::string& value);
    // Writes a complete new file beside the old one and only then puts it in the old one's place,
    // so a failed write leaves the old file as it was. False when anything of that fails.
    bool Write();

    const settings::Map& entries() const { return entries_; }
    const std::string& path() const { return path_; }

private:
    std::string path_;
    settings::Map entries_;
};
