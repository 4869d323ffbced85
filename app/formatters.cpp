#include "app/formatters.h"

#include <cstdio>

namespace zl::app {
namespace {

constexpr uint64_t kKiB = 1024, kMiB = kKiB << 10, kGiB = kMiB << 10, kTiB = kGiB << 10;

std::string Printf1(const char* format, double value) {
    char text[64];
    std::snprintf(text, sizeof text, format, value);
    return text;
}

}  // namespace

std::string FormatSize(uint64_t bytes) {
    if (bytes == 0) return "";
    if (bytes >= kTiB) return Printf1("%0.1f TB", double(bytes) / double(kTiB));
    if (bytes >= kGiB) return Printf1("%0.1f GB", double(bytes) / double(kGiB));
    if (bytes > kMiB - 1) return Printf1("%0.1f MB", double(bytes) / double(kMiB));
    if (bytes >= kKiB) return Printf1("%0.1f KB", double(bytes) / double(kKiB));
    char text[32];
    std::snprintf(text, sizeof text, "%u B", unsigned(bytes));
    return text;
}

std::string FormatSizeWhole(uint64_t bytes) {
    if (bytes == 0) return "";
    struct Unit {
        uint64_t size;
        const char* name;
    };
    static constexpr Unit kUnits[] = {{kTiB, "TB"}, {kGiB, "GB"}, {kMiB, "MB"}, {kKiB, "KB"}};
    char text[64];
    for (const Unit& u : kUnits) {
        if (bytes >= u.size) {
            std::snprintf(text, sizeof text, " %llu %s", static_cast<unsigned long long>(bytes / u.size), u.name);
            return text + FormatSizeWhole(bytes % u.size);
        }
    }
    std::snprintf(text, sizeof text, " %llu B", static_cast<unsigned long long>(bytes));
    return text;
}

std::string FormatSpeed(uint32_t bps) {
    if (bps >= 3'435'973'836u) return "未知";
    if (bps >= kGiB) return Printf1("%0.1f GB/s", double(bps) / double(kGiB));
    if (bps >= kMiB) return Printf1("%0.1f MB/s", double(bps) / double(kMiB));
    if (bps < kKiB) {
        char text[32];
        std::snprintf(text, sizeof text, "%u B/s", bps);
        return text;
    }
    return Printf1("%0.1f KB/s", double(bps) / double(kKiB));
}

std::string FormatPercent(uint32_t t) {
    char text[32];
    if (t == 0) return "0%";
    if (t % 100 != 0)
        std::snprintf(text, sizeof text, "%u.%02u%%", t / 100, t % 100);
    else
        std::snprintf(text, sizeof text, "%u%%", t / 100);
    return text;
}

std::string FormatProgressSize(uint64_t done, uint64_t total) {
    std::string d = FormatSize(done);
    if (d.empty()) d = "0 B";
    return d + "/" + FormatSize(total);
}

}  // namespace zl::app
