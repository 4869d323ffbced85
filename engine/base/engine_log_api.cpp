#include "engine/base/engine_log_api.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

namespace zl {
namespace {

constexpr std::array<const char*, 11> kSuffixes = {
    ".log",        ".req.log",         ".dump.log",    ".checktask.log",
    ".peerprefer.log", ".dataupload.log", ".httptrace.log", ".checkpeer.log",
    ".written.log", ".sha1check.log",   ".peerinfo.log",
};

bool DebugSwitchFromEnvironment() {
    const char* value = std::getenv("ZL_DEBUG_LOG");
    return value && std::strcmp(value, "1") == 0;
}

}  // namespace

CZephyrloaderLogApi::CZephyrloaderLogApi(Clock& clock) : clock_(clock), debug_output_(DebugSwitchFromEnvironment()) {
    SetLevels(kDefaultFileThreshold, kDefaultDebugThreshold);
}

void CZephyrloaderLogApi::SetLevels(int file_threshold, int debug_threshold) {
    std::lock_guard lock(mutex_);
    file_threshold_ = file_threshold;
    debug_threshold_ = debug_threshold;
}

void CZephyrloaderLogApi::SetBaseName(std::string_view path_stem) {
    std::lock_guard lock(mutex_);
    for (size_t i = 0; i < kFileCount; ++i) paths_[i] = std::string(path_stem) + kSuffixes[i];
}

void CZephyrloaderLogApi::SetDebugOutput(bool on) {
    std::lock_guard lock(mutex_);
    debug_output_ = on;
}

void CZephyrloaderLogApi::SetDebugSink(std::function<void(std::string_view)> sink) {
    std::lock_guard lock(mutex_);
    debug_sink_ = std::move(sink);
}

size_t CZephyrloaderLogApi::FileIndexForCategory(int category) {
    switch (category) {
        case 4: return 1;
        case 38: return 2;
        case 37: return 3;
        case 18: return 4;
        case 28: return 5;
        case 25: return 6;
        case 9: return 7;
        case 29: return 8;
        case 30: return 9;
        case 31: return 10;
        default: return 0;
    }
}

std::string CZephyrloaderLogApi::PathForCategory(int category) {
    std::lock_guard lock(mutex_);
    return paths_[FileIndexForCategory(category)];
}

std::string CZephyrloaderLogApi::BuildLine(std::string_view stamp, std::string_view text, std::string_view end) {
    const size_t frame = 1 + stamp.size() + 3 + 1 + end.size();  // "[" stamp "] [" text "]" end
    const size_t room = frame < kMaxLineBytes ? kMaxLineBytes - frame : 0;
    if (text.size() > room) {
        size_t cut = room;
        // Do not split a multi-byte character.
        while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;
        text = text.substr(0, cut);
    }
    std::string line;
    line.reserve(frame + text.size());
    line.append("[").append(stamp).append("] [").append(text).append("]").append(end);
    return line;
}

std::string CZephyrloaderLogApi::Stamp(const char* format) {
    const time_t now = static_cast<time_t>(clock_.SystemSeconds());
    tm local{};
    char buffer[64] = "";
    if (localtime_r(&now, &local)) std::strftime(buffer, sizeof buffer, format, &local);
    return buffer;
}

void CZephyrloaderLogApi::DebugOutput(std::string_view line) {
    if (!debug_output_) return;
    if (debug_sink_) {
        debug_sink_(line);
    } else {
        std::fwrite(line.data(), 1, line.size(), stderr);
    }
}

void CZephyrloaderLogApi::Write(std::string_view text, int category, int level) {
    const int file_threshold = file_threshold_;
    const int debug_threshold = debug_threshold_;
    if (file_threshold == kSilent && debug_threshold == kSilent) return;
    if (level < debug_threshold && category < file_threshold) return;

    std::lock_guard lock(mutex_);
    const std::string line = BuildLine(Stamp("%X"), text, "\n");
    if (level >= debug_threshold) DebugOutput(line);
    if (category >= file_threshold && debug_threshold != kSilent) {
        const std::string& path = paths_[FileIndexForCategory(category)];
        if (path.empty()) return;
        if (FILE* file = std::fopen(path.c_str(), "ae")) {
            std::fwrite(line.data(), 1, line.size(), file);
            std::fclose(file);
        }
    }
}

void CZephyrloaderLogApi::Printf(const char* format, ...) {
    std::lock_guard lock(mutex_);
    char text[kMaxLineBytes + 1];
    va_list args;
    va_start(args, format);
    const int n = std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    if (n < 0) text[0] = '\0';
    DebugOutput(BuildLine(Stamp("%Y-%m-%d %X"), text, "\r\n"));
}

}  // namespace zl
