// The engine's one source of time. Every time comparison in the engine and the
// application goes through a Clock, so tests can move time without sleeping.
#pragma once
#include <cstdint>

namespace zl {

class Clock {
public:
    virtual ~Clock() = default;
    // Monotonic milliseconds; never goes backwards and never wraps.
    virtual uint64_t TickMs() = 0;
    // Wall-clock seconds since 1970-01-01 UTC (may jump when the user sets the time).
    virtual uint64_t SystemSeconds() = 0;
    // Sleeps for `ms` milliseconds of this clock's time.
    virtual void SleepMs(uint32_t ms) = 0;
};

// The real clock (CLOCK_MONOTONIC, CLOCK_REALTIME, nanosleep).
Clock& SystemClock();

}  // namespace zl
