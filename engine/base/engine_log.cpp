#include "engine/base/engine_log.h"

#include <atomic>

#include "engine/base/engine_log_api.h"

namespace zl {
namespace {

// Never destroyed at exit: a thread still running then may write safely.
CZephyrloaderLogApi* g_log = nullptr;
// Opens and closes waiting for the exclusive guard: new writers stay away
// meanwhile, so that a steady stream of them cannot starve an open or close.
std::atomic<int> g_exclusive_waiters{0};

// Holds the guard exclusively, announced to writers while it waits.
class ExclusiveGuard {
public:
    ExclusiveGuard() {
        g_exclusive_waiters.fetch_add(1, std::memory_order_acq_rel);
        lock_ = std::unique_lock(detail::EngineLogGuard());
        g_exclusive_waiters.fetch_sub(1, std::memory_order_acq_rel);
    }

private:
    std::unique_lock<std::shared_mutex> lock_;
};

}  // namespace

namespace detail {

std::shared_mutex& EngineLogGuard() {
    static std::shared_mutex* guard = new std::shared_mutex;
    return *guard;
}

bool EngineLogClosing() { return g_exclusive_waiters.load(std::memory_order_acquire) != 0; }

CZephyrloaderLog* EngineLogInstance() { return g_log; }

}  // namespace detail

void EngineLogOpen() {
    ExclusiveGuard guard;
    if (!g_log) g_log = new CZephyrloaderLogApi();
}

void EngineLogClose() {
    CZephyrloaderLogApi* log;
    {
        // Waits for writes in progress; later writes find no log.
        ExclusiveGuard guard;
        log = g_log;
        g_log = nullptr;
    }
    delete log;
}

void LogWrite(std::string_view text, int category, int level) {
    if (detail::EngineLogClosing()) return;
    std::shared_lock lock(detail::EngineLogGuard());
    if (g_log) g_log->Write(text, category, level);
}

}  // namespace zl

namespace zl {

void EngineLogSetDebugOutput(bool on) {
    if (detail::EngineLogClosing()) return;
    std::shared_lock lock(detail::EngineLogGuard());
    if (g_log) g_log->SetDebugOutput(on);
}

}  // namespace zl
