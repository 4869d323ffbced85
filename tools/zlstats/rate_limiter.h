// Posts allowed per client address: a token bucket per address that refills
// at `rate` posts per second up to `burst`. Addresses idle long enough to be
// full again are forgotten, so a flood from many addresses costs at most
// `max_addresses` entries (beyond that, new addresses share one bucket).
#pragma once
#include <cstdint>
#include <mutex>
#include <string>
#include <unordered_map>

#include "engine/base/clock.h"

namespace zl::stats {

class RateLimiter {
public:
    // rate <= 0: no limit.
    RateLimiter(Clock& clock, double rate, double burst, size_t max_addresses = 100000);
    // Takes one post from `address`'s bucket; false when it is empty.
    bool Allow(const std::string& address);
    size_t TrackedAddresses();

private:
    struct Bucket {
        double tokens;
        uint64_t at_ms;
    };
    void ForgetFull(uint64_t now_ms);

    Clock& clock_;
    const double rate_, burst_;
    const size_t max_addresses_;
    std::mutex mutex_;
    std::unordered_map<std::string, Bucket> buckets_;
    Bucket overflow_;
    uint64_t last_sweep_ms_ = 0;
};

}  // namespace zl::stats
