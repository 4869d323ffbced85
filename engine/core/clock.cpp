#include "engine/core/clock.h"

#include <ctime>

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
};

}  // namespace

Clock& SystemClock() {
    static RealClock clock;
    return clock;
}

}  // namespace zl
