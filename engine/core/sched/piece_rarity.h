// Rarest-first choice over the pieces a task still wants. The availability
// of a piece is how many connected BitTorrent peers hold it; the least held
// eligible piece wins, and among equals the first at or after a random start
// (wrapping), so the peers of one swarm, and the mirror each of them uses,
// spread over different pieces instead of all taking the same ones.
#pragma once
#include <cstdint>
#include <functional>
#include <vector>

namespace zl {

struct RarityPick {
    int32_t piece = -1;        // -1: nothing eligible
    int32_t availability = 0;  // how many peers hold it
};

// The least held piece for which `eligible` holds. Among the least held,
// `prefer` wins when it is one of them (a server going on with its stream, a
// remote's newest piece); otherwise the first at or after `start`.
RarityPick PickRarest(const std::vector<int32_t>& availability, int32_t start, int32_t prefer,
                      const std::function<bool(int32_t)>& eligible);

// The last piece of a run from `first` upwards over pieces held no more often
// than `first` and eligible, at most `max_pieces` long (at least `first`).
int32_t RunEnd(const std::vector<int32_t>& availability, int32_t first, int32_t max_pieces,
               const std::function<bool(int32_t)>& eligible);

}  // namespace zl
