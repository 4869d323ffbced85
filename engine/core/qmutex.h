// Engine mutexes. QTMutex is recursive and tracks its owner: an Unlock by a
// thread that does not own it fails. QSMutex is a plain (re-entrant) mutex.
// ScopedLock releases on every exit path, and only what it actually took.
#pragma once
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>

namespace zl {

// A small, stable, non-zero id of the calling thread (never reused in a process).
uint32_t CurrentThreadId();

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
    bool Lock() override;
    bool TryLock() override;
    bool Unlock() override;

    // Releases every level the calling thread still holds (the release-until-fail
    // loop used after a crashed run); returns how many levels were released.
    int ReleaseAllHeldByCaller();

    uint32_t Owner() const { return owner_.load(std::memory_order_acquire); }
    int32_t Count() const { return count_.load(std::memory_order_acquire); }

private:
    std::mutex mutex_;
    std::condition_variable released_;
    std::atomic<uint32_t> owner_{0};
    std::atomic<int32_t> count_{0};
};

// Re-entrant for its owning thread like the operating-system object it stands
// for; no owner check on Unlock beyond what the standard mutex requires.
class QSMutex : public QBaseMutex {
public:
    bool Lock() override;
    bool TryLock() override;
    bool Unlock() override;

private:
    std::recursive_mutex mutex_;
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
    // Takes the lock again after a Release (no-op when already held).
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
