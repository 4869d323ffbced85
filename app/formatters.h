// The texts the controller shows: sizes, speeds and percentages.
#pragma once
#include <cstdint>
#include <string>

namespace zl::app {

// One decimal: "" for 0, "%u B" below 1 KiB, then "%0.1f KB|MB|GB|TB".
std::string FormatSize(uint64_t bytes);
// Whole units with the remainder after them: " 1 GB 512 MB"; "" for 0.
std::string FormatSizeWhole(uint64_t bytes);
// "%u B/s" below 1 KiB/s, "%0.1f KB/s|MB/s|GB/s"; "未知" from 3,435,973,836 on.
std::string FormatSpeed(uint32_t bytes_per_second);
// Ten-thousandths as a percentage: "0%", "12%", "12.34%".
std::string FormatPercent(uint32_t ten_thousandths);
// done + "/" + total, an empty done part shown as "0 B".
std::string FormatProgressSize(uint64_t done, uint64_t total);

}  // namespace zl::app
