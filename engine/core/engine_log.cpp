#include "engine/core/engine_log.h"

#include "engine/core/engine_log_api.h"

namespace zl {
namespace {

// Never destroyed at exit: a thread still running then may write safely.
CZephyrloaderLogApi* g_log = nullptr;

}  // namespace

namespace detail {

std::shared_mutex& EngineLogGuard() {
    static std::shared_mutex* guard = new std::shared_mutex;
    return *guard;
}

CZephyrloaderLog* EngineLogInstance() { return g_log; }

}  // namespace detail

void EngineLogOpen() {
    std::unique_lock lock(detail::EngineLogGuard());
    if (!g_log) g_log = new CZephyrloaderLogApi();
}

void EngineLogClose() {
    CZephyrloaderLogApi* log;
    {
        // Waits for writes in progress; later writes find no log.
        std::unique_lock lock(detail::EngineLogGuard());
        log = g_log;
        g_log = nullptr;
    }
    delete log;
}

void LogWrite(std::string_view text, int category, int level) {
    std::shared_lock lock(detail::EngineLogGuard());
    if (g_log) g_log->Write(text, category, level);
}

}  // namespace zl
