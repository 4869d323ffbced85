#include "engine/core/task/half_open_limit.h"

namespace zl {

int32_t ProbeHalfOpenLimit() { return -1; }

int32_t HalfOpenLimitFromProbe(int32_t probe) {
    const int64_t limit = static_cast<int64_t>(probe) - 2;
    if (limit <= 0) return kMaxHalfOpenLimit;
    return limit > kMaxHalfOpenLimit ? kMaxHalfOpenLimit : static_cast<int32_t>(limit);
}

}  // namespace zl
