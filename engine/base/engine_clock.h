// The engine clock: seconds that advance steadily whatever the user does to
// the system time (Clock), and seconds since the clock thread first started
// (Uptime). One service per engine context; the clock thread "TimeEnsure"
// keeps the values, and every read computes them from the monotonic tick with
// the thread's own rule, so a reader always sees the current second.
#pragma once
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>

#include "engine/base/clock.h"
#include "engine/base/qthread.h"

namespace zl {

class EngineClockService;

// The clock thread ("TimeEnsure").
class QTimeThread final : public QThread {
public:
    QTimeThread(EngineClockService& service, zl::Clock& clock) : QThread(clock), service_(service) {}
    ~QTimeThread() override { Stop(); }
    void Run() override;
    void Refresh() override {}

private:
    EngineClockService& service_;
};

class EngineClockService {
public:
    explicit EngineClockService(zl::Clock& clock);
    ~EngineClockService();
    EngineClockService(const EngineClockService&) = delete;
    EngineClockService& operator=(const EngineClockService&) = delete;

    // Creates and starts the clock thread when there is none (StartClock).
    // Returns once the thread has taken its base, so reads are exact from here on.
    void Start();
    // Stops the clock thread (waiting) and forgets it (StopClock). The values
    // stay; the next Start begins the clock again from the system time.
    void Stop();
    bool Running() const { return started_.load(std::memory_order_acquire); }

    // Engine clock seconds; starts the clock thread if needed. Before the
    // thread's first run it is the system time.
    uint64_t Clock();
    // Seconds the clock thread has run, over all its runs; starts it if needed.
    uint32_t Uptime();

    zl::Clock& TimeSource() { return clock_; }

private:
    friend class QTimeThread;
    struct Values {
        uint64_t clock;
        uint32_t uptime;
    };
    // The clock thread's first step: take the current values and tick as base.
    void TakeBase();
    // Brings the values up to the current tick (a tick below the base counts
    // one second and becomes the new base). Needs state_mutex_.
    Values Advance();

    zl::Clock& clock_;
    std::mutex thread_mutex_;  // creation and destruction of the clock thread
    std::unique_ptr<QTimeThread> thread_;
    std::atomic<bool> started_{false};

    std::mutex state_mutex_;
    std::condition_variable based_;
    bool have_base_ = false;
    uint64_t base_tick_ = 0;
    uint64_t base_clock_ = 0;
    uint32_t base_uptime_ = 0;
    uint64_t clock_seconds_ = 0;  // 0 until the thread's first run
    uint32_t uptime_ = 0;
};

}  // namespace zl
