// WebAccess: the loopback test, the constant-time token check and the refusal of unauthorised POSTs.
#include "WebAccess.h"

#include <arpa/inet.h>

#include <cstring>

namespace station {
namespace {
constexpr unsigned char kLoopbackFirstOctet = 127;  // 127.0.0.0/8
constexpr int kUnauthorised = 401;
constexpr int kForbidden = 403;
constexpr const char* kHttpScheme = "http://";

std::string withoutBrackets(const std::string& address) {
    if (address.size() >= 2 && address.front() == '[' && address.back() == ']') {
        return address.substr(1, address.size() - 2);
    }
    return address;
}

bool isLoopbackV4(const in_addr& address) {
    return reinterpret_cast<const unsigned char*>(&address.s_addr)[0] == kLoopbackFirstOctet;
}

bool isLoopbackV6(const in6_addr& address) {
    if (IN6_IS_ADDR_LOOPBACK(&address)) return true;
    if (!IN6_IS_ADDR_V4MAPPED(&address)) return false;
    in_addr mapped{};
    std::memcpy(&mapped.s_addr, &address.s6_addr[12], sizeof mapped.s_addr);
    return isLoopbackV4(mapped);
}
}  // namespace

bool needsToken(const std::string& address) {
    const std::string host = withoutBrackets(address);
    if (host == "localhost") return false;
    in_addr v4{};
    if (inet_pton(AF_INET, host.c_str(), &v4) == 1) return !isLoopbackV4(v4);
    in6_addr v6{};
    if (inet_pton(AF_INET6, host.c_str(), &v6) == 1) return !isLoopbackV6(v6);
    return true;  // a name or anything else may reach beyond this machine
}

bool sameToken(const std::string& given, const std::string& expected) {
    unsigned char difference = given.size() == expected.size() ? 0 : 1;
    for (std::size_t i = 0; i < expected.size(); ++i) {
        const char other = i < given.size() ? given[i] : '\0';
        difference |= static_cast<unsigned char>(expected[i] ^ other);
    }
    return difference == 0;
}

std::optional<Refusal> refusePost(const PostCredentials& credentials, const std::string& expectedToken) {
    if (!expectedToken.empty() && !sameToken(credentials.token, expectedToken)) {
        return Refusal{kUnauthorised, "this needs the station's token: open the page with the URL the station printed"};
    }
    // A browser names the page a POST comes from; one from another site must not drive the station.
    if (!credentials.origin.empty() && credentials.origin != kHttpScheme + credentials.host) {
        return Refusal{kForbidden, "refused: the request comes from another site (" + credentials.origin + ")"};
    }
    return std::nullopt;
}

}  // namespace station
