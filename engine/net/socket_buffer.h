// A byte buffer for a socket's send queue or receive buffer: pooled storage,
// always followed by a zero byte, grown and compacted by fixed rules so that a
// long-lived connection neither reallocates per message nor keeps a huge
// buffer after a burst.
#pragma once
#include <cstdint>

namespace zl {

class BufferPool;

class SocketBuffer {
public:
    explicit SocketBuffer(BufferPool* pool) : pool_(pool) {}
    ~SocketBuffer() { Free(); }
    SocketBuffer(const SocketBuffer&) = delete;
    SocketBuffer& operator=(const SocketBuffer&) = delete;

    uint8_t* data() { return data_; }
    const uint8_t* data() const { return data_; }
    int64_t length() const { return length_; }
    int64_t capacity() const { return capacity_; }
    bool empty() const { return length_ == 0; }

    // Makes room for `request` more bytes: when free space is short the
    // capacity becomes request + old capacity + growth_extra (at most
    // `capacity_limit` when that still leaves room). False when memory runs out.
    bool Reserve(int64_t request, int64_t growth_extra, int64_t capacity_limit = INT64_MAX);
    bool Append(const uint8_t* bytes, int64_t count, int64_t growth_extra);
    // After `count` bytes were written directly behind the data.
    void Commit(int64_t count);
    // Removes `count` bytes from the front (negative: all). With `keep` the rest
    // only moves down; otherwise an empty buffer goes back to the pool and a
    // mostly empty one shrinks.
    void Consume(int64_t count, bool keep);
    void Free();

private:
    bool Reallocate(int64_t capacity);

    BufferPool* pool_;
    uint8_t* data_ = nullptr;
    int64_t length_ = 0;
    int64_t capacity_ = 0;
};

}  // namespace zl
