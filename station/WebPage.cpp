// WebPage: maps a URL to one of the files WebEmbed.cmake turned into byte arrays at build time.
#include "WebPage.h"

#include "WebPageFiles.h"

namespace station {
namespace {
struct Route {
    const char* url;
    const char* file;
};
constexpr Route kPages[] = {{"/", "index.html"}, {"/history", "history.html"}};

std::string contentTypeOf(std::string_view file) {
    auto endsWith = [&](std::string_view tail) {
        return file.size() >= tail.size() && file.substr(file.size() - tail.size()) == tail;
    };
    if (endsWith(".html")) return "text/html; charset=utf-8";
    if (endsWith(".css")) return "text/css; charset=utf-8";
    if (endsWith(".js")) return "text/javascript; charset=utf-8";
    return "";  // not served
}

std::optional<WebAsset> embedded(std::string_view file) {
    const std::string type = contentTypeOf(file);
    if (type.empty()) return std::nullopt;
    for (const auto& page : webpage::kFiles) {
        if (file == page.name) return WebAsset{{reinterpret_cast<const char*>(page.bytes), page.size}, type};
    }
    return std::nullopt;
}
}  // namespace

std::optional<WebAsset> webAsset(const std::string& urlPath) {
    for (const auto& route : kPages) {
        if (urlPath == route.url) return embedded(route.file);
    }
    // Only style and scripts by their own URL: "/history.html" is reached as "/history".
    if (urlPath.size() < 2 || urlPath[0] != '/' || urlPath.find('/', 1) != std::string::npos) return std::nullopt;
    const std::string_view file = std::string_view(urlPath).substr(1);
    if (contentTypeOf(file).rfind("text/html", 0) == 0) return std::nullopt;
    return embedded(file);
}

}  // namespace station
