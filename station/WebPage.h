// WebPage: the page's files, built into the program from station/page/: found by their URL, never by a file path.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace station {

struct WebAsset {
    std::string_view body;
    std::string contentType;
};

// "/" is the station page, "/history" the history page, "/NAME.css" and "/NAME.js" the page's style and scripts;
// nullopt for any other path.
std::optional<WebAsset> webAsset(const std::string& urlPath);

}  // namespace station
