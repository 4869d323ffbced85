// Base of every long-running engine activity (task workers, the clock thread,
// the UDP server, the telemetry uploader). A QThread owns at most one
// operating-system thread at a time, can be started again after it ended, and
// is stopped cooperatively: Run loops call CheckStop between steps.
#pragma once
#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>

#include "engine/core/clock.h"
#include "engine/core/qmutex.h"

namespace zl {

// The object handed to Start; destroyed when the thread ends or the start fails.
class StartupObject {
public:
    virtual ~StartupObject() = default;
};

class QThread {
public:
    // All waiting (Start/Stop polls, SleepSeconds, pause) uses `clock`.
    explicit QThread(Clock& clock = SystemClock());
    QThread(const QThread&) = delete;
    QThread& operator=(const QThread&) = delete;
    // Stops the thread (waiting) before the lock goes. Destroying a thread
    // object from its own thread is a programming error.
    virtual ~QThread();

    virtual void Run() = 0;
    virtual void Refresh() = 0;
    // Sleeps up to n seconds in 1-second steps; returns non-zero when a stop
    // was requested, 0 when the time ran out.
    virtual int SleepSeconds(int n);
    virtual void Notify(int /*value*/) {}

    bool Start(const std::string& label, std::unique_ptr<StartupObject> startup = nullptr);
    bool Stop();
    bool RequestStop(uint32_t* id_out = nullptr);
    bool HasEnded(uint32_t id);
    bool IsRunning();
    bool Pause(bool on);
    bool IsPaused();
    bool CheckStop();
    uint32_t GetThreadId() const { return thread_id_.load(std::memory_order_acquire); }
    uint32_t StartUptime() const { return start_uptime_.load(std::memory_order_acquire); }
    int32_t Generation() const { return generation_.load(std::memory_order_acquire); }

    QTMutex& Lock() { return lock_; }
    Clock& GetClock() { return clock_; }
    StartupObject* Startup() { return startup_.get(); }

protected:
    // Uptime source for the start uptime; the engine context sets it.
    virtual uint32_t CurrentUptime() { return static_cast<uint32_t>(clock_.TickMs() / 1000); }

private:
    void Entry(int32_t generation);

    Clock& clock_;
    QTMutex lock_;
    std::unique_ptr<StartupObject> startup_;
    std::thread os_thread_;
    std::atomic<uint32_t> thread_id_{0};
    std::atomic<bool> running_{false};
    std::atomic<bool> stop_requested_{false};
    std::atomic<bool> pause_requested_{false};
    std::atomic<uint32_t> start_uptime_{0};
    std::atomic<int32_t> generation_{0};
};

}  // namespace zl
