#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "engine/base/qmutex.h"

namespace zl {
namespace {

// Runs `fn` on another thread and returns its result.
template <class Fn>
auto OnOtherThread(Fn fn) {
    decltype(fn()) result{};
    std::thread([&] { result = fn(); }).join();
    return result;
}

TEST(QTMutex, RecursionIsReleasedAtTheLastUnlock) {
    QTMutex mutex;
    ASSERT_TRUE(mutex.Lock());
    ASSERT_TRUE(mutex.Lock());
    EXPECT_EQ(mutex.Owner(), CurrentThreadId());
    EXPECT_EQ(mutex.Count(), 2);
    EXPECT_TRUE(mutex.Unlock());
    EXPECT_EQ(mutex.Owner(), CurrentThreadId());
    EXPECT_FALSE(OnOtherThread([&] { return mutex.TryLock(); }));
    EXPECT_TRUE(mutex.Unlock());
    EXPECT_EQ(mutex.Owner(), 0u);
    EXPECT_FALSE(mutex.Unlock());
    // Free again: another thread takes it (and, ending, abandons it).
    EXPECT_TRUE(OnOtherThread([&] { return mutex.TryLock(); }));
    EXPECT_TRUE(mutex.TryLock());
    EXPECT_TRUE(mutex.TryLock());
    EXPECT_EQ(mutex.ReleaseAllHeldByCaller(), 2);
}

TEST(QTMutex, UnlockByNonOwnerFails) {
    QTMutex tmutex;
    QSMutex smutex;
    ASSERT_TRUE(tmutex.Lock());
    ASSERT_TRUE(smutex.Lock());
    EXPECT_FALSE(OnOtherThread([&] { return tmutex.Unlock(); }));
    EXPECT_FALSE(OnOtherThread([&] { return smutex.Unlock(); }));
    EXPECT_EQ(tmutex.Owner(), CurrentThreadId());
    EXPECT_EQ(tmutex.Count(), 1);
    EXPECT_TRUE(tmutex.Unlock());
    EXPECT_TRUE(smutex.Unlock());
    EXPECT_FALSE(smutex.Unlock());
}

TEST(QTMutex, TryLockFromAnotherThreadFailsAtOnce) {
    QTMutex mutex;
    QSMutex smutex;
    ASSERT_TRUE(mutex.Lock());
    ASSERT_TRUE(smutex.Lock());
    ASSERT_TRUE(smutex.TryLock());  // re-entrant for its owner
    EXPECT_FALSE(OnOtherThread([&] { return mutex.TryLock(); }));
    EXPECT_FALSE(OnOtherThread([&] { return smutex.TryLock(); }));
    mutex.Unlock();
    smutex.Unlock();
    smutex.Unlock();
}

TEST(QTMutex, LockWaitsForTheOwner) {
    QTMutex mutex;
    ASSERT_TRUE(mutex.Lock());
    std::atomic<bool> got{false};
    std::thread waiter([&] {
        mutex.Lock();
        got = true;
        mutex.Unlock();
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_FALSE(got.load());
    mutex.Unlock();
    waiter.join();
    EXPECT_TRUE(got.load());
}

TEST(QTMutex, ExcludesAcrossThreads) {
    QTMutex tmutex;
    QSMutex smutex;
    for (QBaseMutex* mutex : std::initializer_list<QBaseMutex*>{&tmutex, &smutex}) {
        int counter = 0;  // guarded by *mutex only
        std::vector<std::thread> threads;
        for (int t = 0; t < 4; ++t) {
            threads.emplace_back([&] {
                for (int i = 0; i < 2000; ++i) {
                    ScopedLock outer(mutex);
                    ScopedLock inner(mutex);  // recursion
                    ++counter;
                }
            });
        }
        for (auto& thread : threads) thread.join();
        EXPECT_EQ(counter, 8000);
    }
}

// A thread that ends while holding a mutex abandons it; the next waiter gets it.
TEST(QTMutex, AbandonedMutexGoesToTheNextWaiter) {
    QTMutex tmutex;
    QSMutex smutex;
    std::thread([&] {
        tmutex.Lock();
        tmutex.Lock();
        smutex.Lock();
    }).join();
    EXPECT_TRUE(tmutex.TryLock());
    EXPECT_EQ(tmutex.Count(), 1);
    EXPECT_TRUE(smutex.Lock());
    EXPECT_TRUE(tmutex.Unlock());
    EXPECT_TRUE(smutex.Unlock());
}

TEST(ScopedLock, ReleasesOnlyWhatItTook) {
    QTMutex mutex;
    {
        ScopedLock lock(mutex);
        EXPECT_TRUE(lock.Held());
        EXPECT_EQ(mutex.Count(), 1);
    }
    EXPECT_EQ(mutex.Owner(), 0u);

    // Without lock-now it never unlocks, even a mutex its thread holds.
    ASSERT_TRUE(mutex.Lock());
    {
        ScopedLock lock(mutex, false);
        EXPECT_FALSE(lock.Held());
    }
    EXPECT_EQ(mutex.Count(), 1);
    {
        ScopedLock lock(mutex, false);
        EXPECT_TRUE(lock.Acquire());
        EXPECT_EQ(mutex.Count(), 2);
        lock.Release();
        EXPECT_EQ(mutex.Count(), 1);
    }
    EXPECT_EQ(mutex.Count(), 1);
    EXPECT_TRUE(mutex.Unlock());

    ScopedLock none(static_cast<QBaseMutex*>(nullptr));
    EXPECT_FALSE(none.Held());
}

TEST(CurrentThreadId, IsStableNonZeroAndDistinct) {
    const uint32_t mine = CurrentThreadId();
    EXPECT_NE(mine, 0u);
    EXPECT_EQ(CurrentThreadId(), mine);
    const uint32_t other = OnOtherThread([] { return CurrentThreadId(); });
    EXPECT_NE(other, 0u);
    EXPECT_NE(other, mine);
}

}  // namespace
}  // namespace zl
