// CommMessage: the serializer and the tolerant parser of the request and response text.
#include "CommMessage.h"

#include "TextCodec.h"

namespace {

constexpr const char* kLineEnd = "\r\n";
constexpr const char* kSeparator = ": ";

}  // namespace

std::string CommMessage::serialize() const {
    std::string text = firstLine + kLineEnd;
    for (const auto& [name, value] : headers) {
        if (!value.empty()) {
            text += name;
            text += kSeparator;
            text += value;
            text += kLineEnd;
        }
    }
    text += kLineEnd;
    return text;
}

void CommMessage::parse(const std::string& text) {
    bool haveFirstLine = false;
    std::size_t pos = 0;
    while (pos < text.size()) {
        std::size_t lf = text.find('\n', pos);
        const std::size_t end = lf == std::string::npos ? text.size() : lf;
        std::string line = text.substr(pos, end - pos);
        pos = lf == std::string::npos ? text.size() : lf + 1;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.empty()) continue;

        if (!haveFirstLine) {
            haveFirstLine = true;
            firstLine = line;
            const std::size_t slash = line.find('/');
            if (slash == std::string::npos) continue;
            protocolName = line.substr(0, slash);
            const std::size_t space = line.find(' ', slash + 1);
            if (space == std::string::npos) {
                protocolVersion = line.substr(slash + 1);
                continue;
            }
            protocolVersion = line.substr(slash + 1, space - slash - 1);
            const std::string rest = line.substr(space + 1);
            const std::size_t split = rest.find(' ');
            if (split == std::string::npos) continue;
            headers.emplace(comm::kResultCode, rest.substr(0, split));
            headers.emplace(comm::kResultMessage, rest.substr(split + 1));
            continue;
        }

        const std::size_t colon = line.find(':');
        if (colon == std::string::npos) continue;
        headers.emplace(line.substr(0, colon), trimmed(line.substr(colon + 1)));  // the first occurrence wins
    }
}
