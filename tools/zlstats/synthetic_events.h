// Made-up downloads for benchmarks and demonstrations: each download posts
// what a real client posts (begun, five-minute statistics, files completed,
// completed, verified; some repairs and failures), spread over a span of hours.
#pragma once
#include <cstdint>
#include <functional>
#include <vector>

#include "tools/zlstats/event_store.h"

namespace zl::stats {

struct SyntheticPlan {
    uint64_t events = 1000000;
    int64_t end = 0;       // receipt time of the last events
    int64_t hours = 720;   // spread before `end`
    uint64_t seed = 1;
};

// Calls `sink` with posts of about 1000 events each, in time order.
void MakeSyntheticPosts(const SyntheticPlan& plan, const std::function<void(const ReceivedPost&)>& sink);

}  // namespace zl::stats
