// Task operations of the interface: locked, checked and guarded.
#include <vector>

#include "engine/core/api/engine_api.h"
#include "engine/core/api/engine_api_detail.h"

namespace zl {

using api_detail::FindTask;
using api_detail::Guarded;
using api_detail::WithTask;

int32_t TaskStart(EngineContext& c, TaskHandle h) {
    return WithTask(c, h, [](TWorkThread& t) { return t.StartTask(); });
}

int32_t TaskStop(EngineContext& c, TaskHandle h, int32_t reset) {
    return WithTask(c, h, [&](TWorkThread& t) {
        if (t.StopTask() != ENGINE_OK) return ENGINE_E_EXCEPTION;
        if (reset) t.Reset(ResetScope::kAll);
        return ENGINE_OK;
    });
}

int32_t TaskStopMany(EngineContext& c, const TaskHandle* tasks, uint32_t count, int32_t reset, int32_t* results) {
    // Without a results array the outcomes are kept locally and dropped.
    std::vector<int32_t> local;
    if (!results) {
        local.resize(count);
        results = local.data();
    }
    ScopedLock api(c.ApiLock());
    std::vector<TWorkThread*> found(count, nullptr);
    std::vector<uint32_t> thread_ids(count, 0);
    for (uint32_t i = 0; i < count; ++i) {
        found[i] = tasks ? FindTask(c, tasks[i]) : nullptr;
        results[i] = found[i] ? ENGINE_OK : ENGINE_E_NO_TASK;
    }
    // Ask every thread to stop first, so they wind down together.
    for (uint32_t i = 0; i < count; ++i) {
        if (!found[i]) continue;
        try {
            found[i]->RequestStop(&thread_ids[i]);
        } catch (...) {
            results[i] = ENGINE_E_EXCEPTION;
        }
    }
    // Then wait for each in turn; the others wind down meanwhile. Waiting is on
    // the threads' end, not on a clock, so it cannot stall on a held test clock.
    for (uint32_t i = 0; i < count; ++i) {
        if (results[i] != ENGINE_OK || thread_ids[i] == 0) continue;
        try {
            if (!found[i]->HasEnded(thread_ids[i]) && !found[i]->Stop()) {
                results[i] = ENGINE_E_EXCEPTION;
                continue;
            }
            if (reset) found[i]->Reset(ResetScope::kAll);
        } catch (...) {
            results[i] = ENGINE_E_EXCEPTION;
        }
    }
    return ENGINE_OK;
}

int32_t TaskGetProgress(EngineContext& c, TaskHandle h, TaskProgressInfo* info) {
    if (!info) return ENGINE_E_INVALID_ARG;
    return WithTask(c, h, [&](TWorkThread& t) {
        t.GetProgress(*info);
        return ENGINE_OK;
    });
}

int32_t TaskIsComplete(EngineContext& c, TaskHandle h, int32_t* complete) {
    if (!complete) return ENGINE_E_INVALID_ARG;
    return WithTask(c, h, [&](TWorkThread& t) {
        *complete = t.IsComplete() ? 1 : 0;
        return ENGINE_OK;
    });
}

int32_t TaskSetSpeedLimit(EngineContext& c, TaskHandle h, int32_t direction, int32_t kib_per_second) {
    return WithTask(c, h, [&](TWorkThread& t) { return t.SetSpeedLimit(direction, kib_per_second); });
}

int32_t TaskSetConnectionLimits(EngineContext& c, TaskHandle h, int32_t servers, int32_t peers) {
    return WithTask(c, h, [&](TWorkThread& t) { return t.SetConnectionLimits(servers, peers); });
}

int32_t TaskGetBitfield(EngineContext& c, TaskHandle h, void* buffer, int32_t size) {
    return WithTask(
        c, h, [&](TWorkThread& t) { return t.GetBitfield(static_cast<uint8_t*>(buffer), size); }, ENGINE_E_FAILED,
        ENGINE_E_FAILED);
}

int32_t TaskGetBitfieldSize(EngineContext& c, TaskHandle h) {
    return WithTask(c, h, [](TWorkThread& t) { return t.GetBitfieldSize(); }, ENGINE_E_FAILED, ENGINE_E_FAILED);
}

int32_t TaskClearServers(EngineContext& c, TaskHandle h) {
    return WithTask(c, h, [](TWorkThread& t) {
        t.ClearServers();
        return ENGINE_OK;
    });
}

int32_t TaskAddServers(EngineContext& c, TaskHandle h, const char* urls, const char* hosts) {
    return WithTask(c, h, [&](TWorkThread& t) {
        t.AddServers(urls, hosts);
        return ENGINE_OK;
    });
}

}  // namespace zl
