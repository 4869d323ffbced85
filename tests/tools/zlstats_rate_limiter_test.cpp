// The per-address rate limit, on the test clock.
#include <gtest/gtest.h>

#include "engine/base/fake_clock.h"
#include "tools/zlstats/rate_limiter.h"

namespace zl::stats {
namespace {

TEST(ZlstatsRateLimiter, ABurstThenTheRateForEachAddressApart) {
    FakeClock clock;
    RateLimiter limiter(clock, 10, 5);
    for (int i = 0; i < 5; ++i) EXPECT_TRUE(limiter.Allow("127.0.0.2"));
    EXPECT_FALSE(limiter.Allow("127.0.0.2"));
    EXPECT_TRUE(limiter.Allow("127.0.0.3"));  // another address is not held back
    clock.Advance(100);                        // one post's worth at 10/s
    EXPECT_TRUE(limiter.Allow("127.0.0.2"));
    EXPECT_FALSE(limiter.Allow("127.0.0.2"));
    clock.Advance(60000);  // refilled to the burst, not beyond it
    int allowed = 0;
    while (limiter.Allow("127.0.0.2")) ++allowed;
    EXPECT_EQ(allowed, 5);
}

TEST(ZlstatsRateLimiter, FullBucketsAreForgottenAndTheTableIsBounded) {
    FakeClock clock;
    RateLimiter limiter(clock, 1, 2, 3);
    for (int i = 0; i < 10; ++i) limiter.Allow("10.0.0." + std::to_string(i));
    EXPECT_EQ(limiter.TrackedAddresses(), 3u);
    // Beyond the table, newcomers share one bucket.
    EXPECT_FALSE(limiter.Allow("10.0.0.200"));
    clock.Advance(61000);
    EXPECT_TRUE(limiter.Allow("10.0.0.201"));
    EXPECT_EQ(limiter.TrackedAddresses(), 1u);
}

TEST(ZlstatsRateLimiter, ZeroRateMeansNoLimit) {
    FakeClock clock;
    RateLimiter limiter(clock, 0, 1);
    for (int i = 0; i < 1000; ++i) ASSERT_TRUE(limiter.Allow("127.0.0.2"));
}

}  // namespace
}  // namespace zl::stats
