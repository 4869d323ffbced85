// A clock for tests: time moves only when the test (or, in auto-advance mode,
// a sleeping thread) moves it.
#pragma once
#include <condition_variable>
#include <cstdint>
#include <mutex>

#include "engine/base/clock.h"

namespace zl {

class FakeClock final : public Clock {
public:
    enum class Mode {
        // SleepMs blocks until Advance has moved time past the wake-up point.
        Manual,
        // SleepMs moves time forward by the requested amount and returns at once,
        // so a worker loop runs through minutes of its life in milliseconds.
        AutoAdvance,
    };

    explicit FakeClock(Mode mode = Mode::Manual, uint64_t start_tick_ms = 1'000'000,
                       uint64_t start_system_seconds = 1'790'000'000);

    uint64_t TickMs() override;
    uint64_t SystemSeconds() override;
    void SleepMs(uint32_t ms) override;
    // Manual: blocks until time reaches the wake-up point or `wake()` holds.
    // AutoAdvance: returns false at once when `wake()` holds, else moves time.
    bool SleepMsUnless(uint32_t ms, const std::function<bool()>& wake) override;
    void WakeSleepers() override;

    // Moves monotonic and wall time forward together and wakes sleepers.
    void Advance(uint64_t ms);
    // Sets only the wall clock, as a user changing the system time would.
    void SetSystemSeconds(uint64_t seconds);
    void SetMode(Mode mode);
    // Number of threads blocked in SleepMs (Manual mode), for tests that step a worker.
    int Sleepers();

private:
    std::mutex mutex_;
    std::condition_variable moved_;
    Mode mode_;
    uint64_t tick_ms_;
    uint64_t system_ms_;
    int sleepers_ = 0;
};

}  // namespace zl
