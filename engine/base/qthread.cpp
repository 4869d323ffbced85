#include "engine/base/qthread.h"

#include <cstdio>
#include <cstdlib>
#include <system_error>

#include "engine/base/engine_clock.h"

namespace zl {

QThread::QThread(Clock& clock) : clock_(clock) {}

QThread::~QThread() {
    const uint32_t id = thread_id_.load(std::memory_order_acquire);
    if (id != 0 && id == CurrentThreadId()) {
        // The lock and the object would go while this very thread still runs in them.
        std::fputs("QThread destroyed from its own thread\n", stderr);
        std::abort();
    }
    Stop();
}

uint32_t QThread::CurrentUptime() {
    if (engine_clock_) return engine_clock_->Uptime();
    return static_cast<uint32_t>(clock_.TickMs() / 1000);
}

bool QThread::Start(const std::string& /*label*/, std::unique_ptr<StartupObject> startup) {
    lock_.Lock();
    // A thread that exists, starting or running, keeps the object.
    if (thread_id_.load() != 0) {
        lock_.Unlock();
        return false;
    }
    startup_.reset();
    stop_requested_ = false;
    pause_requested_ = false;
    running_ = false;
    start_uptime_ = 0;
    const int32_t generation = generation_.fetch_add(1) + 1;
    const uint32_t id = detail::ReserveThreadId();
    thread_id_ = id;
    {
        std::lock_guard join(join_mutex_);
        // The previous thread has passed its end (its id is gone): collect it.
        if (os_thread_.joinable()) os_thread_.join();
        try {
            os_thread_ = std::thread(&QThread::Entry, this, generation, id);
            os_thread_generation_ = generation;
        } catch (const std::system_error&) {
            thread_id_ = 0;
            lock_.Unlock();
            return false;  // the startup object goes with `startup`
        }
    }
    startup_ = std::move(startup);
    lock_.Unlock();

    std::unique_lock state(state_mutex_);
    state_changed_.wait(state, [&] { return began_generation_ >= generation || ended_generation_ >= generation; });
    return began_generation_ >= generation;
}

void QThread::Entry(int32_t generation, uint32_t id) {
    detail::AdoptThreadId(id);
    try {
        lock_.Lock();
        if (thread_id_.load() != id || generation_.load() != generation) {
            lock_.Unlock();
        } else {
            running_ = true;
            start_uptime_ = CurrentUptime();
            const bool stop = stop_requested_.load();
            lock_.Unlock();
            {
                std::lock_guard state(state_mutex_);
                began_generation_ = generation;
            }
            state_changed_.notify_all();

            bool raised = false;
            if (!stop) {
                try {
                    Run();
                } catch (...) {
                    raised = true;
                }
            }
            // Free the levels a crashed run left held while the object is
            // certainly still alive: nobody may destroy it before the fields
            // below say the thread has gone.
            if (raised) lock_.ReleaseAllHeldByCaller();

            lock_.Lock();
            if (generation_.load() == generation && thread_id_.load() == id) {
                startup_.reset();
                thread_id_ = 0;
                running_ = false;
            }
            lock_.Unlock();
        }
    } catch (...) {
    }
    {
        std::lock_guard state(state_mutex_);
        ended_generation_ = generation;
    }
    state_changed_.notify_all();
}

void QThread::JoinEnded() {
    std::lock_guard join(join_mutex_);
    if (os_thread_.joinable()) os_thread_.join();
}

bool QThread::Stop() {
    lock_.Lock();
    const uint32_t id = thread_id_.load();
    if (id == 0) {
        // A thread past its end may still be leaving its entry: join it under the
        // lock, so no new Start slips in between.
        JoinEnded();
        lock_.Unlock();
        return true;
    }
    if (id == CurrentThreadId()) {
        lock_.Unlock();
        return false;
    }
    const int32_t generation = generation_.load();
    stop_requested_ = true;
    lock_.Unlock();
    clock_.WakeSleepers();

    {
        std::unique_lock state(state_mutex_);
        state_changed_.wait(state, [&] { return ended_generation_ >= generation; });
    }
    std::lock_guard join(join_mutex_);
    // A Start that came in meanwhile has already joined our thread and made a new one.
    if (os_thread_.joinable() && os_thread_generation_ <= generation) os_thread_.join();
    return true;
}

bool QThread::RequestStop(uint32_t* id_out) {
    lock_.Lock();
    const uint32_t id = thread_id_.load();
    if (id_out) *id_out = id;
    if (id != 0) stop_requested_ = true;
    lock_.Unlock();
    if (id != 0) clock_.WakeSleepers();
    return id != 0;
}

bool QThread::HasEnded(uint32_t id) {
    ScopedLock lock(lock_);
    const uint32_t current = thread_id_.load();
    if (current != 0 && current == id) return false;
    if (current == id) {  // both 0: make sure nothing of an ended thread is left
        startup_.reset();
        running_ = false;
    }
    return true;
}

bool QThread::IsRunning() {
    ScopedLock lock(lock_);
    return thread_id_.load() != 0 && running_.load();
}

bool QThread::Pause(bool on) {
    bool exists;
    {
        ScopedLock lock(lock_);
        exists = thread_id_.load() != 0;
        pause_requested_ = exists && on;
    }
    if (!on) clock_.WakeSleepers();
    return exists;
}

bool QThread::IsPaused() {
    ScopedLock lock(lock_);
    return thread_id_.load() != 0 && pause_requested_.load();
}

bool QThread::CheckStop() {
    if (!pause_requested_.load()) return stop_requested_.load();
    ScopedLock lock(lock_);
    while (thread_id_.load() != 0 && !stop_requested_.load() && pause_requested_.load()) {
        lock.Release();
        clock_.SleepMsUnless(1000, [this] { return stop_requested_.load() || !pause_requested_.load(); });
        lock.Acquire();
    }
    return stop_requested_.load();
}

bool QThread::SleepMsOrStop(uint32_t ms) {
    clock_.SleepMsUnless(ms, [this] { return stop_requested_.load(); });
    return CheckStop();
}

int QThread::SleepSeconds(int n) {
    if (n <= 0) return CheckStop() ? 1 : 0;
    for (;;) {
        // A stop request cuts the second short and is reported as such.
        if (!clock_.SleepMsUnless(1000, [this] { return stop_requested_.load(); })) return 1;
        if (n == 1) return 0;
        if (CheckStop()) return 1;
        --n;
    }
}

}  // namespace zl
