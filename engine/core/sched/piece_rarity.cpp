#include "engine/core/sched/piece_rarity.h"

#include <algorithm>
#include <climits>

namespace zl {

RarityPick PickRarest(const std::vector<int32_t>& availability, int32_t start, int32_t prefer,
                      const std::function<bool(int32_t)>& eligible) {
    const int32_t count = static_cast<int32_t>(availability.size());
    RarityPick best;
    if (count == 0) return best;
    start = std::clamp(start, 0, count - 1);
    int32_t fewest = INT32_MAX;
    for (int32_t i = 0; i < count; ++i) {
        const int32_t p = (start + i) % count;
        // A piece no rarer than the best so far cannot win: skip the
        // (costlier) eligibility test.
        if (availability[size_t(p)] >= fewest || !eligible(p)) continue;
        fewest = availability[size_t(p)];
        best = {p, fewest};
        if (fewest == 0) break;  // nothing is rarer
    }
    if (best.piece >= 0 && prefer >= 0 && prefer < count && prefer != best.piece &&
        availability[size_t(prefer)] <= best.availability && eligible(prefer))
        best = {prefer, availability[size_t(prefer)]};
    return best;
}

int32_t RunEnd(const std::vector<int32_t>& availability, int32_t first, int32_t max_pieces,
               const std::function<bool(int32_t)>& eligible) {
    const int32_t count = static_cast<int32_t>(availability.size());
    if (first < 0 || first >= count) return first;
    int32_t last = first;
    while (last + 1 < count && last + 1 - first < max_pieces &&
           availability[size_t(last + 1)] <= availability[size_t(first)] && eligible(last + 1))
        ++last;
    return last;
}

}  // namespace zl
