// The log object behind EngineLogOpen: eleven files named from one stem and
// chosen by category, thresholds that decide what reaches a file and what the
// debugger output, one mutex that serialises formatting and file access. Each
// line opens and closes its file, so no handle stays open.
#pragma once
#include <array>
#include <atomic>
#include <cstddef>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>

#include "engine/base/clock.h"
#include "engine/base/engine_log.h"

namespace zl {

class CZephyrloaderLogApi final : public CZephyrloaderLog {
public:
    // A line, terminator included, never exceeds this many bytes.
    static constexpr size_t kMaxLineBytes = 4095;
    static constexpr int kDefaultFileThreshold = 38;
    static constexpr int kDefaultDebugThreshold = 2;
    // Both thresholds at this value silence the log.
    static constexpr int kSilent = 39;

    // Time stamps come from `clock`'s system time, in local time. The debugger
    // output starts switched on when the environment has ZL_DEBUG_LOG=1.
    explicit CZephyrloaderLogApi(Clock& clock = SystemClock());

    void SetLevels(int file_threshold, int debug_threshold) override;
    void SetBaseName(std::string_view path_stem) override;
    void Write(std::string_view text, int category, int level) override;
    void Printf(const char* format, ...) override __attribute__((format(printf, 2, 3)));

    // Switches the debugger output (standard error unless a sink is set).
    void SetDebugOutput(bool on);
    // Replaces standard error as the debugger output (tests); null restores it.
    void SetDebugSink(std::function<void(std::string_view)> sink);

    // Index of the file a category writes to (0 = the plain ".log" file).
    static size_t FileIndexForCategory(int category);
    // The file path a category writes to; empty before SetBaseName.
    std::string PathForCategory(int category);

private:
    static constexpr size_t kFileCount = 11;
    // "[" + stamp + "] [" + text + "]" + end, with the text cut (at a UTF-8
    // character boundary) so the whole line fits and the end stays.
    static std::string BuildLine(std::string_view stamp, std::string_view text, std::string_view end);
    std::string Stamp(const char* format);
    void DebugOutput(std::string_view line);

    Clock& clock_;
    std::atomic<int> file_threshold_{kDefaultFileThreshold};
    std::atomic<int> debug_threshold_{kDefaultDebugThreshold};
    std::mutex mutex_;
    std::array<std::string, kFileCount> paths_;
    bool debug_output_ = false;
    std::function<void(std::string_view)> debug_sink_;
};

}  // namespace zl
