// Sharing an engine-wide speed limit among the running tasks. The engine's
// bandwidth step (DistributeBandwidth of the task object) calls it with each
// task's use since the last allotment and hands every task its share
// (TransferStatistics::SetShares through ApplyBandwidth of the statistics
// layer). Without an engine-wide limit every share is "no limit".
#pragma once
#include <cstdint>
#include <vector>

namespace zl {

struct BandwidthDemand {
    int64_t used_rate = 0;       // bytes per second the task moved since the last allotment
    int64_t previous_share = 0;  // the share it was given then (<= 0: none yet)
};

// Splits `global_limit` bytes per second (<= 0: no limit) among the tasks.
// A task that used clearly less than its share keeps what it used plus a
// quarter (so it can grow) and the rest goes to the busy tasks in equal parts.
// Every share is at least 3072 B/s; the shares add up to the limit whenever
// the limit allows 3072 B/s per task.
std::vector<int64_t> DistributeBandwidth(int64_t global_limit, const std::vector<BandwidthDemand>& tasks);

}  // namespace zl
