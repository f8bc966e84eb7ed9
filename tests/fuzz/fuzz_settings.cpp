// Fuzz target: the settings file reader on any text; every entry it keeps has a value, neither key nor value holds a
// comma or a line end, and the entries' written form reads back as the same keys.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "SettingsStore.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    const settings::Map entries = settings::parseText(text);
    for (const auto& [key, value] : entries) {
        if (value.empty()) std::abort();
        if (key.find_first_of(",\n") != std::string::npos || value.find_first_of(",\n") != std::string::npos) std::abort();
    }
    const settings::Map again = settings::parseText(settings::formatText(entries));
    if (again.size() > entries.size()) std::abort();
    for (const auto& entry : again)
        if (entries.count(entry.first) == 0) std::abort();
    return 0;
}
