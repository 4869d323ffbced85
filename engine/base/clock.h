// The engine's one source of time. Every time comparison in the engine and the
// application goes through a Clock, so tests can move time without sleeping.
#pragma once
#include <cstdint>
#include <functional>

struct pollfd;

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
    // Sleeps like SleepMs but returns false early once `wake()` holds. `wake` is
    // checked before sleeping and again whenever WakeSleepers() is called, so a
    // thread asked to stop need not wait out (or, on a test clock, be advanced
    // through) its sleep. True when the whole time was slept.
    virtual bool SleepMsUnless(uint32_t ms, const std::function<bool()>& wake) {
        if (wake()) return false;
        SleepMs(ms);
        return true;
    }
    // Makes every SleepMsUnless sleeper re-check its condition; call it after
    // changing what a condition reads.
    virtual void WakeSleepers() {}
    // Sleeps like SleepMs, but the real clock returns as soon as one of the
    // descriptors is ready (poll(2) semantics). A test clock cannot see real
    // descriptors: it sleeps its own time. Returns the number of ready entries.
    virtual int WaitForIo(pollfd* entries, size_t count, uint32_t ms) {
        (void)entries;
        (void)count;
        SleepMs(ms);
        return 0;
    }
};

// The real clock (CLOCK_MONOTONIC, CLOCK_REALTIME, nanosleep).
Clock& SystemClock();

}  // namespace zl
