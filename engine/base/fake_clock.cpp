#include "engine/base/fake_clock.h"

namespace zl {

FakeClock::FakeClock(Mode mode, uint64_t start_tick_ms, uint64_t start_system_seconds)
    : mode_(mode), tick_ms_(start_tick_ms), system_ms_(start_system_seconds * 1000) {}

uint64_t FakeClock::TickMs() {
    std::lock_guard lock(mutex_);
    return tick_ms_;
}

uint64_t FakeClock::SystemSeconds() {
    std::lock_guard lock(mutex_);
    return system_ms_ / 1000;
}

void FakeClock::SleepMs(uint32_t ms) {
    std::unique_lock lock(mutex_);
    if (mode_ == Mode::AutoAdvance) {
        tick_ms_ += ms;
        system_ms_ += ms;
        lock.unlock();
        moved_.notify_all();
        return;
    }
    const uint64_t wake = tick_ms_ + ms;
    ++sleepers_;
    moved_.wait(lock, [&] { return tick_ms_ >= wake || mode_ == Mode::AutoAdvance; });
    --sleepers_;
}

bool FakeClock::SleepMsUnless(uint32_t ms, const std::function<bool()>& wake) {
    std::unique_lock lock(mutex_);
    if (wake()) return false;
    if (mode_ == Mode::AutoAdvance) {
        tick_ms_ += ms;
        system_ms_ += ms;
        lock.unlock();
        moved_.notify_all();
        return true;
    }
    const uint64_t wake_tick = tick_ms_ + ms;
    ++sleepers_;
    bool woken = false;
    moved_.wait(lock, [&] {
        woken = wake();
        return woken || tick_ms_ >= wake_tick || mode_ == Mode::AutoAdvance;
    });
    --sleepers_;
    return !woken;
}

void FakeClock::WakeSleepers() {
    { std::lock_guard lock(mutex_); }
    moved_.notify_all();
}

void FakeClock::Advance(uint64_t ms) {
    {
        std::lock_guard lock(mutex_);
        tick_ms_ += ms;
        system_ms_ += ms;
    }
    moved_.notify_all();
}

void FakeClock::SetSystemSeconds(uint64_t seconds) {
    std::lock_guard lock(mutex_);
    system_ms_ = seconds * 1000;
}

void FakeClock::SetMode(Mode mode) {
    {
        std::lock_guard lock(mutex_);
        mode_ = mode;
    }
    moved_.notify_all();
}

int FakeClock::Sleepers() {
    std::lock_guard lock(mutex_);
    return sleepers_;
}

}  // namespace zl
