#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "engine/meta/buffer_pool.h"

namespace zl {
namespace {

TEST(BufferPool, ReusesExactAndSlightlyLargerBuffers) {
    BufferPool pool;
    uint8_t* a = pool.Get(131072);
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(a[131072], 0);  // one extra zero byte
    pool.Release(a);
    // Within the 1024-byte tolerance: reused.
    EXPECT_EQ(pool.Get(131072 - 1000), a);
    EXPECT_EQ(pool.SizeOf(a), 131072);
    pool.Release(a);
    // 1024 or more bytes larger: a new buffer.
    uint8_t* b = pool.Get(131072 - 1024);
    EXPECT_NE(b, a);
    EXPECT_EQ(pool.ReuseCount(), 1u);
    // A small request may only waste less than its own size.
    pool.Release(b);
    uint8_t* small = pool.Get(10);
    EXPECT_NE(small, a);
    EXPECT_NE(small, b);
    EXPECT_NE(pool.Get(0), nullptr);  // counts as 1
    auto s = pool.GetSizes();
    EXPECT_EQ(s.in_use, 10 + 1);
    EXPECT_EQ(s.free, 131072 + 131072 - 1024);
}

TEST(BufferPool, ReleaseIgnoresForeignBuffersAndTrimKeepsWithinLimit) {
    BufferPool pool;
    int foreign = 0;
    pool.Release(&foreign);
    pool.Release(nullptr);
    std::vector<uint8_t*> got;
    for (int i = 1; i <= 4; ++i) got.push_back(pool.Get(i * 10000));
    for (auto* p : got) pool.Release(p);
    pool.Release(got[0]);  // twice: already free, ignored
    EXPECT_EQ(pool.GetSizes().free, 100000);
    EXPECT_EQ(pool.GetSizes().free_count, 4);
    pool.TrimTo(35000);
    EXPECT_LE(pool.GetSizes().free, 35000);
    EXPECT_EQ(pool.GetSizes().free, 30000);  // 10000 + 20000 kept
    pool.TrimTo(0);
    EXPECT_EQ(pool.GetSizes().free, 0);
}

TEST(BufferPool, PooledBufferGivesItsBufferBack) {
    BufferPool pool;
    {
        PooledBuffer b(pool, 16384);
        ASSERT_TRUE(b);
        EXPECT_EQ(b.size(), 16384);
        PooledBuffer moved = std::move(b);
        EXPECT_FALSE(b);
        EXPECT_EQ(pool.GetSizes().in_use, 16384);
    }
    EXPECT_EQ(pool.GetSizes().in_use, 0);
    EXPECT_EQ(pool.GetSizes().free, 16384);
}

TEST(BufferPool, SharedPoolsCanBeReplacedByAContext) {
    BufferPools mine;
    BufferPools* before = SetSharedBufferPools(&mine);
    EXPECT_EQ(&SharedBufferPools(), &mine);
    uint8_t* p = SharedBufferPools().hash_state.Get(108);
    EXPECT_EQ(mine.hash_state.GetSizes().in_use, 108);
    SharedBufferPools().hash_state.Release(p);
    SetSharedBufferPools(nullptr);
    EXPECT_EQ(&SharedBufferPools(), before);
}

TEST(BufferPool, ManyThreadsShareOnePool) {
    BufferPool pool;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&pool, t] {
            for (int i = 0; i < 2000; ++i) {
                uint8_t* p = pool.Get(1000 + (i % 7) * 100 + t);
                p[0] = uint8_t(i);
                pool.Release(p);
            }
        });
    }
    for (auto& th : threads) th.join();
    EXPECT_EQ(pool.GetSizes().in_use, 0);
    EXPECT_GT(pool.ReuseCount(), 0u);
}

}  // namespace
}  // namespace zl
