#include "engine/meta/buffer_pool.h"

#include <atomic>
#include <new>

namespace zl {

BufferPool::~BufferPool() {
    for (auto& [size, buffer] : free_) delete[] buffer;
    for (auto& [buffer, size] : in_use_) delete[] static_cast<const uint8_t*>(buffer);
}

uint8_t* BufferPool::Get(int64_t n) {
    if (n < 1) n = 1;
    ScopedLock guard(lock_);
    auto it = free_.lower_bound(n);
    // The smallest free buffer of at least n bytes, if it is not much larger.
    const int64_t slack = n < kSizeTolerance ? n : kSizeTolerance;
    if (it != free_.end() && (it->first == n || it->first - n < slack)) {
        uint8_t* buffer = it->second;
        const int64_t size = it->first;
        free_.erase(it);
        free_bytes_ -= size;
        in_use_.emplace(buffer, size);
        in_use_bytes_ += size;
        ++reuses_;
        return buffer;
    }
    if (uint64_t(n) >= uint64_t(PTRDIFF_MAX)) return nullptr;
    uint8_t* buffer = new (std::nothrow) uint8_t[size_t(n) + 1];
    if (!buffer) return nullptr;
    buffer[n] = 0;
    in_use_.emplace(buffer, n);
    in_use_bytes_ += n;
    return buffer;
}

void BufferPool::Release(void* buffer) {
    if (!buffer) return;
    ScopedLock guard(lock_);
    auto it = in_use_.find(buffer);
    if (it == in_use_.end()) return;
    const int64_t size = it->second;
    in_use_.erase(it);
    in_use_bytes_ -= size;
    free_.emplace(size, static_cast<uint8_t*>(buffer));
    free_bytes_ += size;
}

void BufferPool::TrimTo(int64_t limit) {
    ScopedLock guard(lock_);
    int64_t kept = 0;
    for (auto it = free_.begin(); it != free_.end();) {
        if (kept + it->first <= limit) {
            kept += it->first;
            ++it;
            continue;
        }
        free_bytes_ -= it->first;
        delete[] it->second;
        it = free_.erase(it);
    }
}

BufferPool::Sizes BufferPool::GetSizes() const {
    ScopedLock guard(lock_);
    Sizes s;
    s.in_use = in_use_bytes_;
    s.free = free_bytes_;
    s.in_use_count = int64_t(in_use_.size());
    s.free_count = int64_t(free_.size());
    return s;
}

uint64_t BufferPool::ReuseCount() const {
    ScopedLock guard(lock_);
    return reuses_;
}

int64_t BufferPool::SizeOf(const void* buffer) const {
    ScopedLock guard(lock_);
    auto it = in_use_.find(buffer);
    return it == in_use_.end() ? -1 : it->second;
}

void BufferPools::TrimAll(int64_t limit) {
    piece_data.TrimTo(limit);
    hash_state.TrimTo(limit);
    socket_buffer.TrimTo(limit);
    request_record.TrimTo(limit);
}

namespace {
std::atomic<BufferPools*> g_installed{nullptr};
BufferPools& BuiltInPools() {
    static BufferPools pools;
    return pools;
}
}  // namespace

BufferPools& SharedBufferPools() {
    BufferPools* p = g_installed.load(std::memory_order_acquire);
    return p ? *p : BuiltInPools();
}

BufferPools* SetSharedBufferPools(BufferPools* pools) {
    BufferPools* old = g_installed.exchange(pools, std::memory_order_acq_rel);
    return old ? old : &BuiltInPools();
}

}  // namespace zl
