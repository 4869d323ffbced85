#include "engine/core/api/engine_api_listen.h"

#include <algorithm>
#include <cstring>

#include "engine/core/api/engine_api_detail.h"

namespace zl {

int32_t EngineSetLanDiscovery(EngineContext& c, int32_t on) {
    c.Switches().lan_discovery = on != 0;
    return ENGINE_OK;
}

int32_t TaskSetServeOnly(EngineContext& c, TaskHandle task, int32_t on) {
    return api_detail::WithTask(c, task, [&](TWorkThread& t) {
        ScopedLock guard(t.Lock());
        t.Settings().serve_only = on != 0;
        // Serving goes on until the task is stopped.
        if (on) t.Settings().seeding_hours = 0;
        return ENGINE_OK;
    });
}

int32_t TaskGetServeInfo(EngineContext& c, TaskHandle task, TaskServeInfo* info) {
    if (!info) return ENGINE_E_INVALID_ARG;
    return api_detail::WithTask(c, task, [&](TWorkThread& t) {
        const TaskStatus s = t.PublishedStatus();
        *info = TaskServeInfo{};
        info->state = s.state;
        info->checked = s.checked;
        info->total = s.total_size;
        info->piece_count = s.piece_count;
        info->finished_pieces = s.finished_pieces;
        const size_t n = std::min(s.listen_address.size(), sizeof info->listen_address - 1);
        std::memcpy(info->listen_address, s.listen_address.data(), n);
        return ENGINE_OK;
    });
}

int32_t EngineSetLanDiscovery(int32_t on) { return EngineSetLanDiscovery(EngineContext::Default(), on); }
int32_t TaskSetServeOnly(TaskHandle task, int32_t on) { return TaskSetServeOnly(EngineContext::Default(), task, on); }
int32_t TaskGetServeInfo(TaskHandle task, TaskServeInfo* info) {
    return TaskGetServeInfo(EngineContext::Default(), task, info);
}

}  // namespace zl
