#include "engine/core/qmutex.h"

namespace zl {

uint32_t CurrentThreadId() {
    static std::atomic<uint32_t> next{1};
    thread_local const uint32_t id = next.fetch_add(1, std::memory_order_relaxed);
    return id;
}

bool QTMutex::Lock() {
    const uint32_t me = CurrentThreadId();
    if (owner_.load(std::memory_order_acquire) == me) {
        count_.fetch_add(1, std::memory_order_relaxed);
        return true;
    }
    std::unique_lock lock(mutex_);
    released_.wait(lock, [&] { return owner_.load(std::memory_order_relaxed) == 0; });
    owner_.store(me, std::memory_order_release);
    count_.store(1, std::memory_order_relaxed);
    return true;
}

bool QTMutex::TryLock() {
    const uint32_t me = CurrentThreadId();
    const uint32_t owner = owner_.load(std::memory_order_acquire);
    if (owner == me) {
        count_.fetch_add(1, std::memory_order_relaxed);
        return true;
    }
    if (owner != 0) return false;
    std::unique_lock lock(mutex_, std::try_to_lock);
    if (!lock.owns_lock() || owner_.load(std::memory_order_relaxed) != 0) return false;
    owner_.store(me, std::memory_order_release);
    count_.store(1, std::memory_order_relaxed);
    return true;
}

bool QTMutex::Unlock() {
    if (owner_.load(std::memory_order_acquire) != CurrentThreadId()) return false;
    if (count_.fetch_sub(1, std::memory_order_relaxed) - 1 > 0) return true;
    {
        std::lock_guard lock(mutex_);
        owner_.store(0, std::memory_order_release);
    }
    released_.notify_one();
    return true;
}

int QTMutex::ReleaseAllHeldByCaller() {
    int released = 0;
    while (Unlock()) ++released;
    return released;
}

bool QSMutex::Lock() {
    mutex_.lock();
    return true;
}

bool QSMutex::TryLock() { return mutex_.try_lock(); }

bool QSMutex::Unlock() {
    mutex_.unlock();
    return true;
}

}  // namespace zl
