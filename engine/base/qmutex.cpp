#include "engine/base/qmutex.h"

#include <algorithm>
#include <vector>

namespace zl {
namespace {

std::atomic<uint32_t> g_next_thread_id{1};
thread_local uint32_t t_thread_id = 0;

// The mutexes the calling thread owns, so that the thread's end can abandon
// them instead of leaving them locked forever.
struct HeldMutexes {
    std::vector<detail::OwnedMutex*> held;
    ~HeldMutexes() {
        alive = false;
        while (!held.empty()) {
            detail::OwnedMutex* mutex = held.back();
            held.pop_back();
            mutex->Abandon();
        }
    }
    static thread_local bool alive;
};
thread_local bool HeldMutexes::alive = true;
thread_local HeldMutexes t_held;

void NoteHeld(detail::OwnedMutex* mutex) {
    if (HeldMutexes::alive) t_held.held.push_back(mutex);
}

void NoteReleased(detail::OwnedMutex* mutex) {
    if (!HeldMutexes::alive) return;
    auto& held = t_held.held;
    auto it = std::find(held.rbegin(), held.rend(), mutex);
    if (it != held.rend()) held.erase(std::next(it).base());
}

}  // namespace

uint32_t CurrentThreadId() {
    if (t_thread_id == 0) t_thread_id = g_next_thread_id.fetch_add(1, std::memory_order_relaxed);
    return t_thread_id;
}

namespace detail {

uint32_t ReserveThreadId() { return g_next_thread_id.fetch_add(1, std::memory_order_relaxed); }

void AdoptThreadId(uint32_t id) { t_thread_id = id; }

OwnedMutex::~OwnedMutex() {
    if (Owner() != CurrentThreadId()) Lock();
    NoteReleased(this);
}

void OwnedMutex::TakeLocked(uint32_t me) {
    owner_.store(me, std::memory_order_release);
    count_.store(1, std::memory_order_relaxed);
    NoteHeld(this);
}

bool OwnedMutex::Lock() {
    const uint32_t me = CurrentThreadId();
    if (owner_.load(std::memory_order_acquire) == me) {
        count_.fetch_add(1, std::memory_order_relaxed);
        return true;
    }
    std::unique_lock lock(mutex_);
    released_.wait(lock, [&] { return owner_.load(std::memory_order_relaxed) == 0; });
    TakeLocked(me);
    return true;
}

bool OwnedMutex::TryLock() {
    const uint32_t me = CurrentThreadId();
    const uint32_t owner = owner_.load(std::memory_order_acquire);
    if (owner == me) {
        count_.fetch_add(1, std::memory_order_relaxed);
        return true;
    }
    if (owner != 0) return false;
    std::unique_lock lock(mutex_, std::try_to_lock);
    if (!lock.owns_lock() || owner_.load(std::memory_order_relaxed) != 0) return false;
    TakeLocked(me);
    return true;
}

bool OwnedMutex::Unlock() {
    if (owner_.load(std::memory_order_acquire) != CurrentThreadId()) return false;
    if (count_.fetch_sub(1, std::memory_order_relaxed) - 1 > 0) return true;
    NoteReleased(this);
    {
        std::lock_guard lock(mutex_);
        owner_.store(0, std::memory_order_release);
    }
    released_.notify_one();
    return true;
}

void OwnedMutex::Abandon() {
    {
        std::lock_guard lock(mutex_);
        if (owner_.load(std::memory_order_relaxed) != CurrentThreadId()) return;
        count_.store(0, std::memory_order_relaxed);
        owner_.store(0, std::memory_order_release);
    }
    released_.notify_one();
}

}  // namespace detail

int QTMutex::ReleaseAllHeldByCaller() {
    int released = 0;
    while (Unlock()) ++released;
    return released;
}

}  // namespace zl
