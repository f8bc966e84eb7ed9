// PortMatch: choosing ports by who they are: a glob against a port's by-id name and identity, case-insensitive.
#pragma once

#include <string>
#include <vector>

#include "PortList.h"

namespace ports {
// `*` any run of characters, `?` one character, `[...]` one of a set (`[!...]` none of it, `a-z` ranges); every
// other character stands for itself, letters in either case.
bool globMatches(const std::string& pattern, const std::string& text);
// True when the glob matches the port's device, by-id name (whole or its last part), vendor:product, serial number,
// product string, friendly name or hardware id.
bool portMatches(const PortIdentity& port, const std::string& pattern);
// The ports any of the patterns matches, in the listing's order.
std::vector<PortIdentity> matchingPorts(const std::vector<PortIdentity>& listed, const std::vector<std::string>& patterns);
}  // namespace ports
