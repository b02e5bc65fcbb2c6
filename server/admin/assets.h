// The console's static files: its style sheet, its script, and Chart.js,
// which the build copies in from Debian's libjs-chart.js. Nothing is fetched
// from anywhere at run time.
#pragma once

#include <optional>
#include <string_view>

namespace vexa::server::admin {

struct Asset {
    std::string_view body;
    const char* contentType;
};

// path as requested, such as "/static/console.css".
std::optional<Asset> FindAsset(std::string_view path);

}  // namespace vexa::server::admin
