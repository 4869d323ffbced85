#include <gtest/gtest.h>

#include <thread>

#include "engine/base/clock.h"
#include "engine/base/fake_clock.h"
#include "tests/support/wait_for.h"

namespace zl {
namespace {

TEST(FakeClock, ManualSleepWaitsForAdvance) {
    FakeClock clock;
    const uint64_t start = clock.TickMs();
    std::thread sleeper([&] { clock.SleepMs(5000); });
    ASSERT_TRUE(test::WaitFor([&] { return clock.Sleepers() > 0; }));
    clock.Advance(4999);
    EXPECT_EQ(clock.Sleepers(), 1);
    clock.Advance(1);
    sleeper.join();
    EXPECT_EQ(clock.TickMs(), start + 5000);
}

TEST(FakeClock, AutoAdvanceMovesTimeOnSleep) {
    FakeClock clock(FakeClock::Mode::AutoAdvance);
    const uint64_t tick = clock.TickMs();
    const uint64_t wall = clock.SystemSeconds();
    clock.SleepMs(45'000);
    EXPECT_EQ(clock.TickMs(), tick + 45'000);
    EXPECT_EQ(clock.SystemSeconds(), wall + 45);
}

TEST(FakeClock, SystemTimeJumpLeavesTickAlone) {
    FakeClock clock;
    const uint64_t tick = clock.TickMs();
    clock.SetSystemSeconds(100);
    EXPECT_EQ(clock.SystemSeconds(), 100u);
    EXPECT_EQ(clock.TickMs(), tick);
}

TEST(SystemClock, IsMonotonic) {
    Clock& clock = SystemClock();
    const uint64_t a = clock.TickMs();
    clock.SleepMs(2);
    EXPECT_GE(clock.TickMs(), a + 2);
    EXPECT_GT(clock.SystemSeconds(), 1'600'000'000u);
}

}  // namespace
}  // namespace zl
