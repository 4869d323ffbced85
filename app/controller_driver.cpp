#include "app/controller_driver.h"

#include <future>

namespace zl::app {
namespace {

constexpr uint64_t kUpdateMs = 100;
constexpr uint64_t kTickMs = 1000;
// Behind by more than this (a suspended machine), the timers start afresh
// instead of running every missed period at once.
constexpr uint64_t kMaxCatchUpMs = 10000;

}  // namespace

ControllerDriver::ControllerDriver(AppController& controller, Clock& clock, Publish publish)
    : c_(controller), clock_(clock), publish_(std::move(publish)) {}

ControllerDriver::~ControllerDriver() { Stop(); }

void ControllerDriver::Start(Command first) {
    if (thread_.joinable()) return;
    stop_ = false;
    {
        std::lock_guard lock(mutex_);
        accepting_ = true;
    }
    thread_ = std::thread([this, first = std::move(first)]() mutable { Run(std::move(first)); });
}

void ControllerDriver::Post(Command command) {
    {
        std::lock_guard lock(mutex_);
        if (!accepting_) return;
        queue_.push_back({std::move(command), true});
        pending_ = true;
    }
    clock_.WakeSleepers();
}

void ControllerDriver::Stop() {
    {
        std::lock_guard lock(mutex_);
        accepting_ = false;
    }
    stop_ = true;
    clock_.WakeSleepers();
    if (thread_.joinable()) thread_.join();
}

void ControllerDriver::Sync() {
    if (!thread_.joinable()) return;
    auto done = std::make_shared<std::promise<void>>();
    std::future<void> f = done->get_future();
    {
        std::lock_guard lock(mutex_);
        if (!accepting_) return;
        queue_.push_back({[this, done](AppController&) {
                              RunDueTimers();
                              PublishIfChanged();  // a change made by another thread of the controller
                              done->set_value();
                          },
                          false});
        pending_ = true;
    }
    clock_.WakeSleepers();
    f.wait();
}

void ControllerDriver::PublishNow() {
    const ControllerView v = c_.View();
    last_state_ = v.state;
    last_warning_ = v.disk_warning;
    last_exit_ = v.exit_requested;
    if (publish_) publish_(v);
}

void ControllerDriver::PublishIfChanged() {
    ControllerView v = c_.View();
    if (v.state == last_state_ && v.disk_warning == last_warning_ && v.exit_requested == last_exit_) return;
    last_state_ = v.state;
    last_warning_ = v.disk_warning;
    last_exit_ = v.exit_requested;
    if (publish_) publish_(v);
}

void ControllerDriver::RunDueTimers() {
    const uint64_t now = clock_.TickMs();
    if (now > next_update_ + kMaxCatchUpMs) {
        next_update_ = now;
        next_tick_ = now + kTickMs;
    }
    while (next_update_ <= now || next_tick_ <= now) {
        // The update of a moment runs before the tick of the same moment.
        if (next_update_ <= next_tick_) {
            next_update_ += kUpdateMs;
            c_.StateUpdate();
            PublishIfChanged();
        } else {
            next_tick_ += kTickMs;
            c_.Tick();
            PublishNow();
        }
    }
}

void ControllerDriver::Run(Command first) {
    if (first) {
        first(c_);
        PublishNow();
    }
    const uint64_t start = clock_.TickMs();
    next_update_ = start + kUpdateMs;
    next_tick_ = start + kTickMs;
    for (;;) {
        std::deque<Queued> work;
        {
            std::lock_guard lock(mutex_);
            work.swap(queue_);
            pending_ = false;
        }
        for (Queued& q : work) {
            q.command(c_);
            if (q.publish) PublishNow();
        }
        if (stop_) {
            std::lock_guard lock(mutex_);
            if (queue_.empty()) break;
            continue;
        }
        RunDueTimers();
        const uint64_t now = clock_.TickMs();
        const uint64_t due = std::min(next_update_, next_tick_);
        if (due > now) clock_.SleepMsUnless(uint32_t(due - now), [this] { return pending_.load() || stop_.load(); });
    }
}

}  // namespace zl::app
