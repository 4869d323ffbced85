// Base of every long-running engine activity (task workers, the clock thread,
// the UDP server, the telemetry uploader). A QThread owns at most one
// operating-system thread at a time, can be started again after it ended, and
// is stopped cooperatively: Run loops call CheckStop between steps.
//
// The operating-system thread is always joined: once Stop() or the destructor
// has returned, the old thread no longer touches the object. A derived class
// whose Run uses its own members calls Stop() in its own destructor, before
// those members go. Start and Stop are called without holding the object's
// lock: the thread takes it when it begins and when it ends.
//
// Pauses, SleepSeconds and SleepMsOrStop sleep through the object's Clock and
// are woken at once by a stop request (and a pause by its clearing), so Stop()
// never waits out a sleep, even on a Manual FakeClock. A Run that sleeps in the
// clock directly (Clock::SleepMs) wakes only when time moves.
#pragma once
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "engine/base/clock.h"
#include "engine/base/qmutex.h"

namespace zl {

class EngineClockService;

// The object handed to Start; destroyed when the thread ends or the start fails.
class StartupObject {
public:
    virtual ~StartupObject() = default;
};

class QThread {
public:
    // All waiting in the thread's own loops (pause, SleepSeconds) uses `clock`.
    explicit QThread(Clock& clock = SystemClock());
    QThread(const QThread&) = delete;
    QThread& operator=(const QThread&) = delete;
    // Stops the thread (waiting) and joins it before the lock goes. Destroying a
    // thread object from its own thread is a programming error and aborts.
    virtual ~QThread();

    virtual void Run() = 0;
    virtual void Refresh() = 0;
    // Sleeps up to n seconds in 1-second steps; returns non-zero when a stop
    // was requested, 0 when the time ran out. n <= 0 does not sleep and
    // reports CheckStop().
    virtual int SleepSeconds(int n);
    virtual void Notify(int /*value*/) {}
    // Sleeps up to `ms` through the clock, cut short by a stop request; returns
    // whether a stop is requested (the CheckStop result afterwards).
    bool SleepMsOrStop(uint32_t ms);

    // Starts a new thread running Run. True when the thread began, even if
    // it has already ended again; false when a thread exists or none could be made.
    bool Start(const std::string& label, std::unique_ptr<StartupObject> startup = nullptr);
    // Requests a stop and waits until the thread has ended (and is joined).
    // False only when called from the object's own thread; nothing is set then.
    bool Stop();
    bool RequestStop(uint32_t* id_out = nullptr);
    bool HasEnded(uint32_t id);
    bool IsRunning();
    bool Pause(bool on);
    bool IsPaused();
    bool CheckStop();
    // Whether a stop was requested, without waiting out a pause (any thread).
    bool IsStopRequested() const { return stop_requested_.load(); }
    uint32_t GetThreadId() const { return thread_id_.load(std::memory_order_acquire); }
    uint32_t StartUptime() const { return start_uptime_.load(std::memory_order_acquire); }
    int32_t Generation() const { return generation_.load(std::memory_order_acquire); }

    QTMutex& Lock() { return lock_; }
    Clock& GetClock() { return clock_; }
    StartupObject* Startup() { return startup_.get(); }

    // The engine clock whose uptime is recorded as the start uptime (set before
    // Start; without one the clock's tick in seconds is used).
    void SetEngineClock(EngineClockService* engine_clock) { engine_clock_ = engine_clock; }

protected:
    // Uptime recorded when the thread begins.
    virtual uint32_t CurrentUptime();

private:
    void Entry(int32_t generation, uint32_t id);
    // Joins the operating-system thread; only once its run has passed its end.
    void JoinEnded();

    Clock& clock_;
    EngineClockService* engine_clock_ = nullptr;
    QTMutex lock_;
    std::unique_ptr<StartupObject> startup_;
    std::atomic<uint32_t> thread_id_{0};
    std::atomic<bool> running_{false};
    std::atomic<bool> stop_requested_{false};
    std::atomic<bool> pause_requested_{false};
    std::atomic<uint32_t> start_uptime_{0};
    std::atomic<int32_t> generation_{0};

    // Start waits for the new thread to begin and Stop for it to end on this
    // signal, not by polling a clock that a test may hold still.
    std::mutex state_mutex_;
    std::condition_variable state_changed_;
    int32_t began_generation_ = 0;  // guarded by state_mutex_
    int32_t ended_generation_ = 0;  // guarded by state_mutex_

    std::mutex join_mutex_;
    std::thread os_thread_;          // guarded by join_mutex_
    int32_t os_thread_generation_ = 0;  // guarded by join_mutex_
};

}  // namespace zl
