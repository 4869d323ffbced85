#include "engine/base/engine_clock.h"

#include "engine/base/engine_log.h"

namespace zl {

void QTimeThread::Run() {
    service_.TakeBase();
    while (!CheckStop()) {
        {
            std::lock_guard lock(service_.state_mutex_);
            service_.Advance();
        }
        for (int i = 0; i < 10; ++i) {
            if (SleepMsOrStop(100)) break;
        }
    }
}

EngineClockService::EngineClockService(zl::Clock& clock) : clock_(clock) {}

EngineClockService::~EngineClockService() { Stop(); }

void EngineClockService::TakeBase() {
    {
        std::lock_guard lock(state_mutex_);
        if (clock_seconds_ == 0) clock_seconds_ = clock_.SystemSeconds();
        base_tick_ = clock_.TickMs();
        base_clock_ = clock_seconds_;
        base_uptime_ = uptime_;
        have_base_ = true;
    }
    based_.notify_all();
}

EngineClockService::Values EngineClockService::Advance() {
    if (!have_base_) return {clock_seconds_, uptime_};
    const uint64_t tick = clock_.TickMs();
    if (tick < base_tick_) {
        clock_seconds_ += 1;
        uptime_ += 1;
        base_tick_ = tick;
        base_clock_ = clock_seconds_;
        base_uptime_ = uptime_;
    } else {
        // From the fixed base, so rounding never accumulates.
        const uint64_t elapsed = (tick - base_tick_) / 1000;
        clock_seconds_ = base_clock_ + elapsed;
        uptime_ = static_cast<uint32_t>(base_uptime_ + elapsed);
    }
    return {clock_seconds_, uptime_};
}

void EngineClockService::Start() {
    std::lock_guard guard(thread_mutex_);
    if (thread_) return;
    {
        std::lock_guard lock(state_mutex_);
        clock_seconds_ = 0;
        have_base_ = false;
    }
    auto thread = std::make_unique<QTimeThread>(*this, clock_);
    if (!thread->Start("TimeEnsure")) return;
    {
        // TakeBase is the thread's first step and never sleeps.
        std::unique_lock lock(state_mutex_);
        based_.wait(lock, [&] { return have_base_; });
    }
    thread_ = std::move(thread);
    started_.store(true, std::memory_order_release);
}

void EngineClockService::Stop() {
    {
        // Held through the wait so that no new clock thread starts before the
        // old one has ended; the clock thread itself never takes this mutex.
        std::lock_guard guard(thread_mutex_);
        if (!thread_) return;
        started_.store(false, std::memory_order_release);
        thread_->Stop();
        thread_.reset();
        std::lock_guard lock(state_mutex_);
        Advance();
        have_base_ = false;
    }
    LogWrite("Time Ensure Thread Stopped.. ", 22, 22);
}

uint64_t EngineClockService::Clock() {
    if (!Running()) Start();
    std::lock_guard lock(state_mutex_);
    const Values values = Advance();
    return values.clock != 0 ? values.clock : clock_.SystemSeconds();
}

uint32_t EngineClockService::Uptime() {
    if (!Running()) Start();
    std::lock_guard lock(state_mutex_);
    return Advance().uptime;
}

}  // namespace zl
