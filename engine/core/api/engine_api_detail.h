// Helpers shared by the interface's source files.
#pragma once
#include "engine/core/api/engine_codes.h"
#include "engine/core/api/engine_context.h"
#include "engine/core/task/task_work_thread.h"

namespace zl::api_detail {

// The registered task behind a handle, or null.
inline TWorkThread* FindTask(EngineContext& c, const void* handle) {
    TBaseWork* task = c.Registry().Find(handle);
    return task ? dynamic_cast<TWorkThread*>(task) : nullptr;
}

// Runs `fn`; an exception becomes `on_exception`.
template <class Fn>
int32_t Guarded(Fn&& fn, int32_t on_exception = ENGINE_E_EXCEPTION) {
    try {
        return fn();
    } catch (...) {
        return on_exception;
    }
}

// Locked, checked and guarded: the shape of every task operation.
template <class Fn>
int32_t WithTask(EngineContext& c, TaskHandle handle, Fn&& fn, int32_t no_task = ENGINE_E_NO_TASK,
                 int32_t on_exception = ENGINE_E_EXCEPTION) {
    ScopedLock api(c.ApiLock());
    TWorkThread* task = FindTask(c, handle);
    if (!task) return no_task;
    return Guarded([&] { return fn(*task); }, on_exception);
}

}  // namespace zl::api_detail
