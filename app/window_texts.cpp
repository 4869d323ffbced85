#include "app/window_texts.h"

#include <algorithm>
#include <cstdio>

#include "app/formatters.h"

namespace zl::app {
namespace {

std::string Percent2(uint32_t t) {  // "%3.2f%%"
    char text[32];
    std::snprintf(text, sizeof text, "%3.2f%%", double(t) / 100.0);
    return text;
}

std::string PercentParts(uint32_t t, const char* tail) {  // "%u.%02u%%" + tail
    char text[48];
    std::snprintf(text, sizeof text, "%u.%02u%%%s", t / 100, t % 100, tail);
    return text;
}

std::string FileStatus(const ControllerView& v, int i) {
    const FileView& f = v.files[size_t(i)];
    const int st = v.state;
    // Verification runs over a complete package; the file under repair
    // counts as the current one even while its new task runs.
    if (f.complete || st == kStateMd5Checking || st == kStateCheckRecover) {
        if (st == kStateMd5Checking || st == kStateCheckRecover) {
            if (i < v.verify_file) return "√ 验证通过  ";
            if (i > v.verify_file) return "待验证    ";
            if (st == kStateMd5Checking) return "验证中：" + PercentParts(v.verify_progress, "  ");
            return v.repair_reported ? "修复中：" + PercentParts(v.repair_progress, "  ") : "准备修复.. ";
        }
        if (st == kStateCheckFinished) return "√ 验证通过  ";
        return "√ 下载完成  ";
    }
    const char* idle = st == kStateDownloading ? "准备下载    " : "未开始    ";
    if (!f.progress_ok || f.progress <= 0) return idle;
    if (f.progress >= 10000) return "√ 下载完成  ";
    return PercentParts(uint32_t(f.progress), "    ");
}

struct ButtonText {
    const char* text;
    bool enabled;
};

ButtonText MainButton(int state) {
    switch (state) {
        case kStateBack:
        case kStateReady: return {"开始下载", true};
        case kStateDownloading:
        case kStateResume: return {"暂停下载", true};
        case kStatePause: return {"继续下载", true};
        case kStateFailed: return {"下载失败", false};
        case kStateFinished:
        case kStateCheckFinished: return {"立即安装", true};
        case kStateMd5Checking: return {"正在验证", true};
        case kStateCheckRecover: return {"正在修复", true};
        case kStateInstalling: return {"正在安装", false};
        case kStateExiting: return {"正在退出", false};
        default: return {"准备下载", false};  // 3, 9, 15, 16: waiting for data
    }
}

}  // namespace

WindowTexts MakeWindowTexts(const ControllerView& v) {
    WindowTexts t;
    const int st = v.state;
    t.location = v.save_path;

    if (st == kStateMd5Checking || st == kStateCheckFinished) {
        t.progress_label = "验证进度:";
        t.progress = v.verify_overall;
        t.progress_value = Percent2(t.progress);
    } else if (st == kStateCheckRecover) {
        t.progress_label = "修复进度:";
        t.progress = v.repair_reported ? v.repair_progress : 0;
        t.progress_value = v.repair_reported ? Percent2(t.progress) : "准备中";
    } else {
        t.progress_label = "当前进度:";
        t.progress = v.progress;
        t.progress_value = Percent2(t.progress);
    }

    if (st == kStateCheckFinished)
        t.status = v.repaired ? "√ 修复成功" : "√ 验证通过";
    else if (st == kStateFinished)
        t.status = "√ 下载完成";
    else if (st != kStateInstalling)
        t.status = v.size_text;

    if (st == kStateMd5Checking)
        t.speed = "文件验证中...";
    else if (st == kStateCheckRecover)
        t.speed = !v.repair_reported ? "修复准备..." : v.ticks % 12 < 4 ? "修复中..." : FormatSpeed(v.repair_speed);
    else
        t.speed = FormatSpeed(v.speed);

    for (int i = 0; i < kPackageFiles; ++i) {
        t.files[size_t(i)].name = v.files[size_t(i)].name;
        t.files[size_t(i)].status = FileStatus(v, i);
    }
    const ButtonText main = MainButton(st);
    t.main_button = main.text;
    t.main_enabled = main.enabled;
    t.folder_button = st == kStateBack || st == kStateReady ? "更改目录" : "打开目录";
    return t;
}

SpeedLimitChoice CheckSpeedLimit(bool limited, const std::string& text) {
    if (!limited) return {true, 0};
    size_t b = text.find_first_not_of(' '), e = text.find_last_not_of(' ');
    if (b == std::string::npos) return {};
    const std::string digits = text.substr(b, e - b + 1);
    if (digits.size() > 9 || digits.find_first_not_of("0123456789") != std::string::npos) return {};
    const long value = std::stol(digits);
    if (value < kSpeedLimitMin || value > kSpeedLimitMax) return {};
    return {true, int32_t(value)};
}

std::vector<uint8_t> PieceCoverage(const std::vector<uint8_t>& bitfield, int32_t bits, int columns) {
    std::vector<uint8_t> out(size_t(std::max(columns, 0)), 0);
    const int64_t n = std::min<int64_t>(std::max(bits, 0), int64_t(bitfield.size()) * 8);
    if (n == 0 || columns <= 0) return out;
    for (int c = 0; c < columns; ++c) {
        // Each column covers at least one piece, so a file of few pieces still shows them.
        const int64_t first = n * c / columns;
        const int64_t last = std::max(first + 1, n * (c + 1) / columns);
        int64_t have = 0;
        for (int64_t i = first; i < last; ++i) have += (bitfield[size_t(i / 8)] >> (7 - i % 8)) & 1;
        out[size_t(c)] = uint8_t(have * 255 / (last - first));
    }
    return out;
}

}  // namespace zl::app
