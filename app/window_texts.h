// Everything the main window shows, as text, made from one snapshot of the
// controller: the labels, the progress, the status, the speed, the file list
// and the captions of the buttons. The window only draws what this returns.
#pragma once
#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "app/controller.h"

namespace zl::app {

struct FileLineTexts {
    std::string name;
    std::string status;  // "√ 下载完成  ", "12.34%    ", "验证中：50.00%  ", ...
};

struct WindowTexts {
    std::string location_label = "保存位置:";
    std::string location;        // the save path
    std::string progress_label;  // "当前进度:", "验证进度:" or "修复进度:"
    std::string progress_value;  // "%3.2f%%" or "准备中"
    uint32_t progress = 0;       // ten-thousandths, for the bar
    // Unchanged (nullopt) while the installer is being started.
    std::optional<std::string> status;
    std::string speed;
    std::array<FileLineTexts, kPackageFiles> files;
    std::string main_button;
    bool main_enabled = true;  // false where the main button does nothing
    std::string folder_button;
};

WindowTexts MakeWindowTexts(const ControllerView& view);

// The settings dialog's speed limit: with the box ticked a whole number of
// KiB/s in 10..30,000; a clear box means no limit (0).
inline constexpr int32_t kSpeedLimitMin = 10;
inline constexpr int32_t kSpeedLimitMax = 30000;
inline constexpr int32_t kProposedSpeedLimit = 200;
inline constexpr char kSpeedLimitRangeMessage[] =
    "您设置的速度不在允许范围内[10KB/s - 30000KB/s]，请重新设置限速！";
struct SpeedLimitChoice {
    bool ok = false;
    int32_t kib = 0;
};
SpeedLimitChoice CheckSpeedLimit(bool limited, const std::string& text);

// How much of each of `columns` equal slices of a file's pieces is present,
// 0..255, from its bitfield (bit i in byte i / 8, most significant bit first).
// Bits beyond the bitfield's bytes count as absent.
std::vector<uint8_t> PieceCoverage(const std::vector<uint8_t>& bitfield, int32_t bits, int columns);

}  // namespace zl::app
