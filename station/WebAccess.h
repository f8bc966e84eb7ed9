// WebAccess: who may change the station over the web: loopback addresses, the token's constant-time check, and the
// refusal of a request that is not allowed to change anything.
#pragma once

#include <optional>
#include <string>

namespace station {

// True when the address is not a loopback one: the station then serves only with a token.
bool needsToken(const std::string& address);

// Compares a given token with the expected one in time that depends on the expected one's length only.
bool sameToken(const std::string& given, const std::string& expected);

// What a refused request is answered.
struct Refusal {
    int status;
    std::string words;
};

// What a changing request (a POST) brings for the check: its token (header or form field, "" when none), its Origin
// header and its Host header ("" when absent).
struct PostCredentials {
    std::string token;
    std::string origin;
    std::string host;
};

// nullopt when the request may change something: its token matches (or none is set) and a browser that sent it did so
// from the station's own page.
std::optional<Refusal> refusePost(const PostCredentials& credentials, const std::string& expectedToken);

}  // namespace station
