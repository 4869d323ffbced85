// The engine log: one process-wide CZephyrloaderLogApi, eleven files chosen by
// category, a level that decides whether a line also goes to the developer's
// sink (standard error when the debug switch is set). Text is always data,
// never a format string.
#pragma once
#include <cstdarg>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <string_view>

namespace zl {

class CZephyrloaderLog {
public:
    virtual ~CZephyrloaderLog() = default;
    virtual void SetLevels(int file_threshold, int debug_threshold) = 0;
    virtual void SetBaseName(std::string_view path_stem) = 0;
    virtual void Write(std::string_view text, int category, int level) = 0;
    virtual void Printf(const char* format, ...) __attribute__((format(printf, 2, 3))) = 0;
};

// Creates the singleton (EngineLogOpen); a second call keeps the existing one.
void EngineLogOpen();
// Destroys it (EngineLogClose). A write racing with the close either finishes
// before the log goes or does nothing; writes after the close do nothing.
void EngineLogClose();
// Writes one line through the singleton if it exists.
void LogWrite(std::string_view text, int category, int level);
// Switches the singleton's debugger output (standard error) on or off.
void EngineLogSetDebugOutput(bool on);
// Runs `fn(log)` under the singleton guard when it exists (SetLevels,
// SetBaseName, Printf). `fn` must not call EngineLogOpen/EngineLogClose.
template <class Fn>
void WithLog(Fn&& fn);

namespace detail {
std::shared_mutex& EngineLogGuard();
// Whether an open or close waits for the guard (writers then stay away).
bool EngineLogClosing();
// The singleton or null; only while holding EngineLogGuard().
CZephyrloaderLog* EngineLogInstance();
}  // namespace detail

template <class Fn>
void WithLog(Fn&& fn) {
    if (detail::EngineLogClosing()) return;
    std::shared_lock lock(detail::EngineLogGuard());
    if (CZephyrloaderLog* log = detail::EngineLogInstance()) fn(*log);
}

}  // namespace zl
