// Engine mutexes. Both kinds behave like the operating-system mutex object they
// stand for: recursive for the owning thread, an Unlock by a thread that does
// not own them fails, and a mutex whose owner thread ends while holding it is
// "abandoned": the next waiter acquires it. QTMutex also exposes its owner and
// recursion count. ScopedLock releases on every exit path, and only what it
// actually took.
#pragma once
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>

namespace zl {

// A small, stable, non-zero id of the calling thread (never reused in a process).
uint32_t CurrentThreadId();

namespace detail {
// A fresh id for a thread that is about to be created, so its creator can
// record it before the thread runs.
uint32_t ReserveThreadId();
// First call on a new thread: take the id its creator reserved.
void AdoptThreadId(uint32_t id);

// The owner-tracking recursive mutex both engine mutex kinds are built on.
class OwnedMutex {
public:
    OwnedMutex() = default;
    OwnedMutex(const OwnedMutex&) = delete;
    OwnedMutex& operator=(const OwnedMutex&) = delete;
    // Waits until the caller owns it (as closing the system object does), so a
    // holder on another thread never unlocks freed memory.
    ~OwnedMutex();

    bool Lock();
    bool TryLock();
    bool Unlock();
    // Called when the owning thread ends: frees the mutex for the next waiter.
    void Abandon();

    uint32_t Owner() const { return owner_.load(std::memory_order_acquire); }
    int32_t Count() const { return count_.load(std::memory_order_acquire); }

private:
    void TakeLocked(uint32_t me);

    std::mutex mutex_;
    std::condition_variable released_;
    std::atomic<uint32_t> owner_{0};
    std::atomic<int32_t> count_{0};
};
}  // namespace detail

class QBaseMutex {
public:
    QBaseMutex() = default;
    QBaseMutex(const QBaseMutex&) = delete;
    QBaseMutex& operator=(const QBaseMutex&) = delete;
    virtual ~QBaseMutex() = default;

    virtual bool Lock() = 0;
    virtual bool TryLock() = 0;
    virtual bool Unlock() = 0;
};

class QTMutex : public QBaseMutex {
public:
    bool Lock() override { return core_.Lock(); }
    bool TryLock() override { return core_.TryLock(); }
    bool Unlock() override { return core_.Unlock(); }

    // Releases every level the calling thread still holds (the release-until-fail
    // loop used after a crashed run); returns how many levels were released.
    int ReleaseAllHeldByCaller();

    uint32_t Owner() const { return core_.Owner(); }
    int32_t Count() const { return core_.Count(); }

private:
    detail::OwnedMutex core_;
};

// The plain engine mutex: the operating-system object's own semantics, with no
// bookkeeping exposed (an Unlock by a non-owner fails instead of being undefined).
class QSMutex : public QBaseMutex {
public:
    bool Lock() override { return core_.Lock(); }
    bool TryLock() override { return core_.TryLock(); }
    bool Unlock() override { return core_.Unlock(); }

private:
    detail::OwnedMutex core_;
};

class ScopedLock {
public:
    ScopedLock(QBaseMutex* mutex, bool lock_now = true) : mutex_(mutex) {
        if (mutex_ && lock_now) held_ = mutex_->Lock();
    }
    ScopedLock(QBaseMutex& mutex, bool lock_now = true) : ScopedLock(&mutex, lock_now) {}
    ScopedLock(const ScopedLock&) = delete;
    ScopedLock& operator=(const ScopedLock&) = delete;
    ~ScopedLock() { Release(); }

    bool Held() const { return held_; }
    // Takes the lock (again) when not held.
    bool Acquire() {
        if (mutex_ && !held_) held_ = mutex_->Lock();
        return held_;
    }
    void Release() {
        if (mutex_ && held_) mutex_->Unlock();
        held_ = false;
    }

private:
    QBaseMutex* mutex_;
    bool held_ = false;
};

}  // namespace zl
