#include "engine/core/task/pool_trim.h"

namespace zl {

std::optional<int64_t> TrimByUsageLimit(TrimPoolKind kind, int64_t in_use_bytes, int64_t free_bytes, int percent) {
    if (percent <= 0) return std::nullopt;
    const int64_t in_use_kib = in_use_bytes / 1024;
    const int64_t total_kib = (in_use_bytes + free_bytes) / 1024;
    if (total_kib <= 0) return std::nullopt;  // less than 1 KiB held: nothing to gain, and no ratio
    if (in_use_kib * 100 / total_kib >= percent) return std::nullopt;
    const bool big_enough = kind == TrimPoolKind::kRequestRecords ? total_kib > 1024 : total_kib - in_use_kib > 1024;
    if (!big_enough) return std::nullopt;
    return in_use_kib * 1024 / 5;
}

}  // namespace zl
