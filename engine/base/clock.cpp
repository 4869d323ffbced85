#include "engine/base/clock.h"

#include <poll.h>

#include <chrono>
#include <condition_variable>
#include <ctime>
#include <mutex>

namespace zl {
namespace {

class RealClock final : public Clock {
public:
    uint64_t TickMs() override {
        timespec ts{};
        clock_gettime(CLOCK_MONOTONIC, &ts);
        return static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
    }
    uint64_t SystemSeconds() override {
        timespec ts{};
        clock_gettime(CLOCK_REALTIME, &ts);
        return static_cast<uint64_t>(ts.tv_sec);
    }
    void SleepMs(uint32_t ms) override {
        timespec req{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
        while (nanosleep(&req, &req) != 0) {
        }
    }
    bool SleepMsUnless(uint32_t ms, const std::function<bool()>& wake) override {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        std::unique_lock lock(mutex_);
        return !woken_.wait_until(lock, deadline, wake);
    }
    int WaitForIo(pollfd* entries, size_t count, uint32_t ms) override {
        if (count == 0) {
            SleepMs(ms);
            return 0;
        }
        const int ready = ::poll(entries, count, static_cast<int>(ms));
        return ready < 0 ? 0 : ready;
    }
    void WakeSleepers() override {
        // Taking the mutex orders the caller's change before any sleeper's next check.
        { std::lock_guard lock(mutex_); }
        woken_.notify_all();
    }

private:
    std::mutex mutex_;
    std::condition_variable woken_;
};

}  // namespace

Clock& SystemClock() {
    static RealClock clock;
    return clock;
}

}  // namespace zl
