// PortMatch: a small glob matcher (the same on Linux and Windows) and the identity fields it is tried against.
#include "PortMatch.h"

#include <cctype>

namespace {
char folded(char c) { return static_cast<char>(std::tolower(static_cast<unsigned char>(c))); }

// Matches the set at pattern[p] (just after '[') against c; `end` is set past the closing ']'. A '[' without its
// ']' stands for itself.
bool setMatches(const std::string& pattern, std::size_t p, char c, std::size_t& end) {
    const bool negated = p < pattern.size() && (pattern[p] == '!' || pattern[p] == '^');
    if (negated) ++p;
    bool found = false;
    for (std::size_t i = p; i < pattern.size(); ++i) {
        if (pattern[i] == ']' && i > p) {
            end = i + 1;
            return found != negated;
        }
        const bool range = i + 2 < pattern.size() && pattern[i + 1] == '-' && pattern[i + 2] != ']';
        const char low = folded(pattern[i]), high = range ? folded(pattern[i + 2]) : low;
        found = found || (folded(c) >= low && folded(c) <= high);
        if (range) i += 2;
    }
    end = p;  // no closing bracket: the '[' is an ordinary character
    return c == '[';
}
}  // namespace

bool ports::globMatches(const std::string& pattern, const std::string& text) {
    std::size_t p = 0, t = 0, starP = std::string::npos, starT = 0;
    while (t < text.size()) {
        std::size_t next = p + 1;
        bool step = false;
        if (p < pattern.size() && pattern[p] == '*') {
            starP = p++;
            starT = t;
            continue;
        }
        if (p < pattern.size() && pattern[p] == '?') step = true;
        else if (p < pattern.size() && pattern[p] == '[') step = setMatches(pattern, p + 1, text[t], next);
        else if (p < pattern.size()) step = folded(pattern[p]) == folded(text[t]);
        if (step) {
            p = next;
            ++t;
        } else if (starP != std::string::npos) {
            p = starP + 1;
            t = ++starT;
        } else {
            return false;
        }
    }
    while (p < pattern.size() && pattern[p] == '*') ++p;
    return p == pattern.size();
}

bool ports::portMatches(const PortIdentity& port, const std::string& pattern) {
    const std::string lastPart = port.byId.substr(port.byId.find_last_of('/') + 1);
    for (const std::string* field : {&port.device, &port.byId, &lastPart, &port.vendorProduct, &port.serialNumber,
                                     &port.product, &port.friendlyName, &port.hardwareId}) {
        if (!field->empty() && globMatches(pattern, *field)) return true;
    }
    return false;
}

std::vector<ports::PortIdentity> ports::matchingPorts(const std::vector<PortIdentity>& listed,
                                                      const std::vector<std::string>& patterns) {
    std::vector<PortIdentity> matched;
    for (const PortIdentity& port : listed) {
        for (const std::string& pattern : patterns) {
            if (portMatches(port, pattern)) {
                matched.push_back(port);
                break;
            }
        }
    }
    return matched;
}
