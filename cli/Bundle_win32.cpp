// Bundle on Windows: not in this build (no archive is written); the system's facts are its name only.
#include "Bundle.h"

bool bundle::supported() { return false; }

std::string bundle::systemFacts() { return "os Windows\n"; }

std::string bundle::makeFolder() { return ""; }

std::string bundle::pack(const std::string&, const std::string&) { return "--bundle is not in this build"; }
