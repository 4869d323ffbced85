// Runs a controller on one thread of its own, as the window's two timers and
// its button presses would: the state update every 100 ms, the tick every
// second, and the view's commands in the order they were posted. Everything
// that changes the controller happens on this thread, so the view never waits
// for the controller. After each command, each tick and each update that
// changed the state, the disk warning or the exit request, a fresh snapshot
// goes to `publish` (called on this thread; a view posts it to its own).
#pragma once
#include <atomic>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

#include "app/controller.h"
#include "engine/base/clock.h"

namespace zl::app {

class ControllerDriver {
public:
    using Command = std::function<void(AppController&)>;
    using Publish = std::function<void(const ControllerView&)>;

    ControllerDriver(AppController& controller, Clock& clock, Publish publish);
    ~ControllerDriver();
    ControllerDriver(const ControllerDriver&) = delete;
    ControllerDriver& operator=(const ControllerDriver&) = delete;

    // Starts the thread. `first` (the start-up) runs before the timers begin.
    void Start(Command first = {});
    // Queues a command; commands posted after Stop are dropped.
    void Post(Command command);
    // Runs the commands already posted, then ends and joins the thread.
    void Stop();
    // Returns once every timer due at the clock's present time and every
    // command posted before has run (for tests on a fake clock).
    void Sync();
    bool Running() const { return thread_.joinable(); }

private:
    void Run(Command first);
    void RunDueTimers();
    void PublishNow();
    void PublishIfChanged();

    AppController& c_;
    Clock& clock_;
    Publish publish_;
    std::mutex mutex_;
    struct Queued {
        Command command;
        bool publish;  // false for the test barrier of Sync
    };
    std::deque<Queued> queue_;
    std::atomic<bool> pending_{false};
    std::atomic<bool> stop_{false};
    bool accepting_ = true;
    std::thread thread_;
    // Touched by the driver's thread only.
    uint64_t next_update_ = 0, next_tick_ = 0;
    int last_state_ = -1;
    bool last_warning_ = false, last_exit_ = false;
};

}  // namespace zl::app
