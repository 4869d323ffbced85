// The dashboard's files, built into the program (dashboard/bundle.py writes
// their definition at build time, with the chart library bundled in).
#pragma once
#include <string_view>
#include <vector>

namespace zl::stats {

struct DashboardAsset {
    std::string_view path;  // "/index.html", "/dashboard.js", ...
    std::string_view mime;
    std::string_view content;
};

const std::vector<DashboardAsset>& DashboardAssets();

}  // namespace zl::stats
