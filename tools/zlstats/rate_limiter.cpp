#include "tools/zlstats/rate_limiter.h"

#include <algorithm>

namespace zl::stats {

RateLimiter::RateLimiter(Clock& clock, double rate, double burst, size_t max_addresses)
    : clock_(clock), rate_(rate), burst_(std::max(1.0, burst)), max_addresses_(max_addresses),
      overflow_{burst_, clock.TickMs()} {}

bool RateLimiter::Allow(const std::string& address) {
    if (rate_ <= 0) return true;
    // Read under the lock: a time read before another thread's update would
    // go backwards against its bucket.
    std::lock_guard lock(mutex_);
    const uint64_t now = clock_.TickMs();
    if (now - last_sweep_ms_ >= 60000) ForgetFull(now);
    auto it = buckets_.find(address);
    Bucket* b;
    if (it != buckets_.end()) b = &it->second;
    else if (buckets_.size() < max_addresses_) b = &buckets_.emplace(address, Bucket{burst_, now}).first->second;
    else b = &overflow_;
    if (now > b->at_ms) b->tokens = std::min(burst_, b->tokens + double(now - b->at_ms) * rate_ / 1000.0);
    b->at_ms = std::max(b->at_ms, now);
    if (b->tokens < 1.0) return false;
    b->tokens -= 1.0;
    return true;
}

void RateLimiter::ForgetFull(uint64_t now_ms) {
    last_sweep_ms_ = now_ms;
    for (auto it = buckets_.begin(); it != buckets_.end();) {
        if (it->second.tokens + double(now_ms - it->second.at_ms) * rate_ / 1000.0 >= burst_) it = buckets_.erase(it);
        else ++it;
    }
}

size_t RateLimiter::TrackedAddresses() {
    std::lock_guard lock(mutex_);
    return buckets_.size();
}

}  // namespace zl::stats
