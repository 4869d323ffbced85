// Where a BitTorrent peer begins its piece choice: a random piece near the
// front of what is still missing, so that peers of one task spread over the
// pieces instead of all asking for piece 0. Owned by the piece layer of the
// task (TWorkWithPieces::RandomStartPiece), called by the BitTorrent piece
// choice.
#pragma once
#include <cstdint>

#include "engine/core/sched/task_random.h"

namespace zl {

// 0 when the switch is off or there are no pieces. Otherwise a random value
// below 20 x finished + 6, brought below the piece count, shifted past the
// finished pieces when more than one is finished, and always a valid piece
// index (0 .. piece_count - 1).
int32_t RandomStartPiece(bool random_start, int32_t piece_count, int32_t finished_pieces, TaskRandom& random);

}  // namespace zl
