#include "engine/core/task/task_settings.h"

namespace zl {
namespace {

void Clamp(int32_t& value, int32_t low, int32_t high, int32_t fallback) {
    if (value < low || value > high) value = fallback;
}

}  // namespace

void NormaliseTaskSettings(TaskSettings& s) {
    Clamp(s.connection_budget, 1, 20480, 52);
    Clamp(s.connections_per_server, 1, 20, 1);
    Clamp(s.memory_cache_units, 1, 8000, 64);
    Clamp(s.seeding_hours, 0, 20480, 12);
    Clamp(s.download_limit_kib, 0, 32766, 0);
    Clamp(s.upload_limit_kib, 0, 32766, 0);
}

}  // namespace zl
