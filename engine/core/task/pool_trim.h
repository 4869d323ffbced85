// How far a buffer pool's free buffers are trimmed when its use has fallen.
#pragma once
#include <cstdint>
#include <optional>

namespace zl {

enum class TrimPoolKind {
    kRequestRecords,  // trimmed when the pool as a whole exceeds 1 MiB
    kSocketBuffers,   // trimmed when its free part exceeds 1 MiB
};

// The byte limit to trim the pool's free buffers to, or nothing when the pool
// is left alone: percent <= 0, an empty pool, use still at or above percent, or
// the pool too small to bother. Sizes are counted in whole KiB.
std::optional<int64_t> TrimByUsageLimit(TrimPoolKind kind, int64_t in_use_bytes, int64_t free_bytes, int percent);

}  // namespace zl
