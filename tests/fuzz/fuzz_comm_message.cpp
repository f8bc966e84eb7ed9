// Fuzz target: the request/response text parser keeps its invariants, and what it serializes parses back the same.
#include <cstdint>
#include <cstdlib>
#include <map>
#include <string>

#include "CommMessage.h"

namespace {

std::map<std::string, std::string> nonEmpty(const CommMessage& m) {
    std::map<std::string, std::string> out;
    for (const auto& [name, value] : m.headers)
        if (!value.empty()) out.emplace(name, value);
    return out;
}

bool isTrimmed(const std::string& value) {
    const std::string blanks = " \t\r\n";
    return value.empty() || (blanks.find(value.front()) == std::string::npos && blanks.find(value.back()) == std::string::npos);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    CommMessage m;
    m.parse(std::string(reinterpret_cast<const char*>(data), size));
    if (m.firstLine.find('\n') != std::string::npos) std::abort();
    if (m.firstLine.empty() && !m.headers.empty()) std::abort();
    for (const auto& [name, value] : m.headers) {
        if (name.find_first_of(":\n") != std::string::npos) std::abort();
        const bool fromStatusLine = name == comm::kResultCode || name == comm::kResultMessage;
        if (!fromStatusLine && !isTrimmed(value)) std::abort();
    }

    const std::string text = m.serialize();
    if (text.size() < 4 || text.compare(text.size() - 4, 4, "\r\n\r\n") != 0) std::abort();
    CommMessage again;
    again.parse(text);
    if (!m.firstLine.empty() && again.firstLine != m.firstLine) std::abort();
    if (nonEmpty(again) != nonEmpty(m)) std::abort();
    return 0;
}
