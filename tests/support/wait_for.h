// Waiting in tests for something another thread (or process) brings about.
// Every wait is bounded, so a fault shows as a failed assertion, never as a
// test that hangs until ctest kills it.
#pragma once
#include <chrono>
#include <cstdint>
#include <thread>

#include "engine/base/clock.h"

namespace zl::test {

using namespace std::chrono_literals;

// Polls `condition` every `poll` of real time until it holds or `limit` has
// passed; it is asked once more at the end. True when it held.
template <class Condition>
[[nodiscard]] bool WaitFor(Condition&& condition, std::chrono::milliseconds limit = 30s,
                           std::chrono::microseconds poll = 1ms) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline) return condition();
        if (poll.count() > 0) {
            std::this_thread::sleep_for(poll);
        } else {
            std::this_thread::yield();
        }
    }
    return true;
}

// On a test clock that the code under test moves (an auto-advancing fake
// clock, a clock driven by a worker's pauses): polls `condition` until it
// holds or the clock has moved `clock_limit_ms` past where it stood at the
// call. `real_limit` is the backstop for a clock that stops moving. True when
// the condition held.
template <class Condition>
[[nodiscard]] bool WaitFor(Clock& clock, uint64_t clock_limit_ms, Condition&& condition,
                           std::chrono::milliseconds real_limit = 150s, std::chrono::microseconds poll = 1ms) {
    const uint64_t until = clock.TickMs() + clock_limit_ms;
    bool held = false;
    (void)WaitFor(
        [&] {
            held = condition();
            return held || clock.TickMs() > until;
        },
        real_limit, poll);
    return held;
}

}  // namespace zl::test
