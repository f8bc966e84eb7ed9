// SettingsStore: reading and writing the settings file, byte for byte the same on the host and on Windows.
#include "SettingsStore.h"

#include <cstdio>

#include "FileReplace.h"
#include "TextCodec.h"

namespace settings {
namespace {
constexpr char kLf = '\n';
constexpr char kCr = '\r';
constexpr char kSeparator = ',';
constexpr char kHashComment = '#';
constexpr char kSlash = '/';
constexpr const char* kIndentBytes = " \t";    // skipped before the comment test
constexpr std::size_t kReadChunk = 4096;       // bytes per fread

// A comment line counts as empty, which ends the reading.
bool isComment(const std::string& line) {
    const std::size_t first = line.find_first_not_of(kIndentBytes);
    if (first == std::string::npos) return false;
    if (line[first] == kHashComment) return true;
    return line[first] == kSlash && first + 1 < line.size() && line[first + 1] == kSlash;
}
}  // namespace

bool ByteOrder::operator()(const std::string& a, const std::string& b) const {
    const std::size_t common = a.size() < b.size() ? a.size() : b.size();
    for (std::size_t i = 0; i < common; ++i) {
        const auto x = static_cast<unsigned char>(a[i]);
        const auto y = static_cast<unsigned char>(b[i]);
        if (x != y) return x < y;
    }
    return a.size() < b.size();
}

Map parseText(const std::string& text) {
    Map entries;
    std::size_t pos = 0;
    while (pos < text.size()) {
        const std::size_t lf = text.find(kLf, pos);
        const std::size_t end = lf == std::string::npos ? text.size() : lf;
        std::string line = text.substr(pos, end - pos);
        pos = lf == std::string::npos ? text.size() : lf + 1;
        if (!line.empty() && line.back() == kCr) line.pop_back();

        if (isComment(line)) break;
        line = trimmed(line);
        if (line.empty()) break;

        const std::size_t firstComma = line.find(kSeparator);
        if (firstComma == std::string::npos) continue;  // no value
        const std::string key = line.substr(0, firstComma);
        const std::size_t secondComma = line.find(kSeparator, firstComma + 1);
        const std::size_t valueEnd = secondComma == std::string::npos ? line.size() : secondComma;
        const std::string value = line.substr(firstComma + 1, valueEnd - firstComma - 1);
        if (value.empty()) continue;
        entries.emplace(key, value);  // the first line of a key wins
    }
    return entries;
}

std::string formatText(const Map& entries) {
    std::string text;
    for (const auto& entry : entries) {
        text += entry.first;
        text += kSeparator;
        text += entry.second;
        text += kLineEnd;
    }
    return text;
}
}  // namespace settings

bool SettingsStore::Read() {
    std::FILE* file = std::fopen(path_.c_str(), "rb");
    if (file == nullptr) return false;
    std::string text;
    char chunk[settings::kReadChunk];
    std::size_t got = 0;
    while ((got = std::fread(chunk, 1, sizeof chunk, file)) > 0) text.append(chunk, got);
    std::fclose(file);
    entries_ = settings::parseText(text);
    return true;
}

bool SettingsStore::ApplyDefaults() {
    Set(settings::kPortKey, settings::kDefaultPort);
    Set(settings::kBaudrateKey, settings::kDefaultBaudrate);
    return Write();
}

std::string SettingsStore::Get(const std::string& key) const {
    const auto found = entries_.find(key);
    return found == entries_.end() ? std::string() : found->second;
}

void SettingsStore::Set(const std::string& key, const std::string& value) {
    entries_[key] = value;
}

bool SettingsStore::Write() {
    const std::string newPath = path_ + settings::kNewFileSuffix;
    std::FILE* file = std::fopen(newPath.c_str(), "wb");
    if (file == nullptr) return false;
    const std::string text = settings::formatText(entries_);
    bool complete = std::fwrite(text.data(), 1, text.size(), file) == text.size();
    complete = std::fflush(file) == 0 && complete;
    complete = std::fclose(file) == 0 && complete;
    if (complete && fileops::replaceFile(newPath, path_)) return true;
    std::remove(newPath.c_str());
    return false;
}
