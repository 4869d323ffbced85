// Size-keyed pools of reusable byte buffers. Piece chunks, hash states, socket
// buffers and request records come and go at a high rate; recycling them keeps
// the allocator out of the hot paths. Every operation takes the pool's lock, so
// one pool serves all tasks and the socket layer.
#pragma once
#include <cstddef>
#include <cstdint>
#include <map>
#include <unordered_map>

#include "engine/base/qmutex.h"

namespace zl {

class BufferPool {
public:
    // A free buffer up to this many bytes larger than asked for is reused.
    static constexpr int64_t kSizeTolerance = 1024;

    BufferPool() = default;
    BufferPool(const BufferPool&) = delete;
    BufferPool& operator=(const BufferPool&) = delete;
    ~BufferPool();  // frees every buffer, in use or not

    // A buffer of at least n bytes (n < 1 counts as 1), followed by one more
    // byte; a new buffer's extra byte is 0. Null only when memory runs out.
    uint8_t* Get(int64_t n);
    // Returns a buffer to the free list; buffers the pool did not hand out are ignored.
    void Release(void* buffer);
    // Keeps free buffers while their running total stays <= limit, frees the rest.
    void TrimTo(int64_t limit);

    struct Sizes {
        int64_t in_use = 0;  // bytes
        int64_t free = 0;
        int64_t in_use_count = 0;
        int64_t free_count = 0;
    };
    Sizes GetSizes() const;
    uint64_t ReuseCount() const;
    // The usable size of a buffer handed out by this pool, or -1.
    int64_t SizeOf(const void* buffer) const;

private:
    mutable QSMutex lock_;
    std::unordered_map<const void*, int64_t> in_use_;
    std::multimap<int64_t, uint8_t*> free_;  // by size, smallest first
    int64_t in_use_bytes_ = 0;
    int64_t free_bytes_ = 0;
    uint64_t reuses_ = 0;
};

// Holds a buffer from a pool and gives it back when it goes out of scope.
class PooledBuffer {
public:
    PooledBuffer() = default;
    PooledBuffer(BufferPool& pool, int64_t n) : pool_(&pool), data_(pool.Get(n)), size_(data_ ? (n < 1 ? 1 : n) : 0) {}
    PooledBuffer(PooledBuffer&& o) noexcept : pool_(o.pool_), data_(o.data_), size_(o.size_) { o.data_ = nullptr; o.size_ = 0; }
    PooledBuffer& operator=(PooledBuffer&& o) noexcept {
        if (this != &o) {
            reset();
            pool_ = o.pool_;
            data_ = o.data_;
            size_ = o.size_;
            o.data_ = nullptr;
            o.size_ = 0;
        }
        return *this;
    }
    PooledBuffer(const PooledBuffer&) = delete;
    PooledBuffer& operator=(const PooledBuffer&) = delete;
    ~PooledBuffer() { reset(); }

    uint8_t* data() const { return data_; }
    int64_t size() const { return size_; }
    explicit operator bool() const { return data_ != nullptr; }
    void reset() {
        if (data_ && pool_) pool_->Release(data_);
        data_ = nullptr;
        size_ = 0;
    }
    // Gives up ownership without returning the buffer.
    uint8_t* release() {
        uint8_t* d = data_;
        data_ = nullptr;
        size_ = 0;
        return d;
    }

private:
    BufferPool* pool_ = nullptr;
    uint8_t* data_ = nullptr;
    int64_t size_ = 0;
};

// The engine's four pools. An engine context owns one set; code without a
// context reaches the process default through SharedBufferPools().
struct BufferPools {
    BufferPool piece_data;     // piece, chunk and scratch buffers
    BufferPool hash_state;     // SHA-1 contexts of partly written pieces
    BufferPool socket_buffer;  // socket receive and send buffers
    BufferPool request_record; // peers' block request records

    // Runs TrimTo(limit) on all four.
    void TrimAll(int64_t limit);
};

// The process default set, or the set installed by SetSharedBufferPools.
BufferPools& SharedBufferPools();
// Installs a context's pools as the default (null restores the built-in set);
// returns the previous one. Not for use while buffers are being handed out.
BufferPools* SetSharedBufferPools(BufferPools* pools);

}  // namespace zl
