#include "engine/core/sched/random_start.h"

#include <algorithm>

namespace zl {

int32_t RandomStartPiece(bool random_start, int32_t piece_count, int32_t finished_pieces, TaskRandom& random) {
    if (!random_start || piece_count <= 0) return 0;
    const int64_t count = piece_count;
    const int64_t finished = std::clamp<int64_t>(finished_pieces, 0, count);
    const int64_t r = random.Below(20 * finished + 6) % count;
    // Shifted past the finished pieces, it wraps round instead of running off the end.
    return int32_t(finished > 1 ? (r + finished) % count : r);
}

}  // namespace zl
