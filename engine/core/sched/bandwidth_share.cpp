#include "engine/core/sched/bandwidth_share.h"

#include <algorithm>
#include <numeric>

#include "engine/core/sched/transfer_pace.h"

namespace zl {

std::vector<int64_t> DistributeBandwidth(int64_t global_limit, const std::vector<BandwidthDemand>& tasks) {
    const size_t n = tasks.size();
    std::vector<int64_t> shares(n, kUnlimitedRate);
    if (n == 0 || global_limit <= 0) return shares;

    // What each task asks for: unbounded when it used (nearly) all it had.
    constexpr int64_t kBusy = -1;
    std::vector<int64_t> wants(n);
    for (size_t i = 0; i < n; ++i) {
        const BandwidthDemand& t = tasks[i];
        const bool saturated = t.previous_share <= 0 || t.used_rate * 10 >= t.previous_share * 9;
        wants[i] = saturated ? kBusy : std::max(t.used_rate + t.used_rate / 4, kMinimumAllowedRate);
    }

    // Water filling: satisfy the smallest modest wants first, split the rest.
    std::vector<size_t> order(n);
    std::iota(order.begin(), order.end(), size_t(0));
    std::sort(order.begin(), order.end(), [&](size_t a, size_t b) {
        if ((wants[a] == kBusy) != (wants[b] == kBusy)) return wants[b] == kBusy;
        return wants[a] < wants[b];
    });
    int64_t left = global_limit;
    size_t remaining = n;
    for (size_t i : order) {
        const int64_t equal = left / int64_t(remaining);
        const int64_t give = wants[i] == kBusy ? equal : std::min(wants[i], equal);
        shares[i] = std::max(give, kMinimumAllowedRate);
        left = std::max<int64_t>(left - give, 0);
        --remaining;
    }
    // Integer division leaves up to n - 1 bytes; the busiest (last) task takes them.
    if (left > 0) shares[order.back()] += left;
    return shares;
}

}  // namespace zl
