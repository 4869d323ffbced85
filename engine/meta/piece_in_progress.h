// A piece being assembled: the blocks that arrived (in memory, in chunks),
// the bytes already on disk with the SHA-1 state covering them, and the
// source that delivered its recent data.
#pragma once
#include <cstdint>
#include <algorithm>
#include <memory>
#include <vector>

#include "engine/base/ref_object.h"
#include "engine/meta/buffer_pool.h"
#include "engine/meta/sha1.h"

namespace zl {

// Blocks of one piece held in memory, in chunks of min(piece size, 128 KiB).
class BlockStore {
public:
    static constexpr int32_t kMaxChunk = 128 * 1024;

    // Chunks come from `pool` (the engine's piece-data pool).
    void Init(int32_t piece_size, BufferPool& pool);
    bool Initialised() const { return chunk_size_ > 0; }
    int32_t ChunkSize() const { return chunk_size_; }
    int32_t BytesPresent() const { return bytes_present_; }
    bool HasBlock(int32_t offset) const;
    // Copies a block (offset a multiple of 16 KiB, length cut to the piece) in;
    // returns the bytes newly counted as present.
    int32_t Put(const uint8_t* bytes, int32_t length, int32_t offset);
    // Memory for the block at `offset` (a multiple of 16 KiB, `length` cut to
    // the piece) inside one chunk, allocated if need be, for bytes to be
    // received into before Put counts them; null when the block spans chunks.
    uint8_t* SpanFor(int32_t offset, int32_t length);
    // Copies `length` bytes at `offset` out (they must be present).
    void CopyOut(uint8_t* out, int32_t offset, int32_t length) const;
    // Contiguous bytes present from `offset` (a block boundary).
    int32_t ContiguousFrom(int32_t offset) const;
    // Calls fn(pointer, length) over the bytes [offset, offset + length), which must be present.
    template <class Fn>
    void ForEachSpan(int32_t offset, int32_t length, Fn&& fn) const {
        while (length > 0) {
            const int32_t c = offset / chunk_size_, in = offset % chunk_size_;
            const int32_t n = std::min(length, chunk_size_ - in);
            fn(chunks_[size_t(c)].data() + in, n);
            offset += n;
            length -= n;
        }
    }
    // Drops the blocks below `offset` (written to disk) and frees their chunks.
    void DropBelow(int32_t offset);
    // Frees everything; returns the bytes that were present.
    int32_t Clear();
    // Offsets of the present blocks at or above `from`, ascending.
    std::vector<int32_t> PresentBlocks(int32_t from = 0) const;
    int32_t PieceSize() const { return piece_size_; }

private:
    int32_t piece_size_ = 0;
    int32_t chunk_size_ = 0;
    int32_t bytes_present_ = 0;
    BufferPool* pool_ = nullptr;
    std::vector<PooledBuffer> chunks_;
    std::vector<uint8_t> present_;  // one flag per 16 KiB block
};

struct PieceInProgress {
    bool held_complete = false;  // the whole piece is verified in memory, not yet written
    bool unwanted = false;       // lies wholly inside unwanted files
    int32_t index = 0;
    int32_t size = 0;
    int32_t written = 0;         // bytes from the start on disk and covered by `hash`
    bool complete = false;       // verified, in memory or on disk
    bool hashing = false;        // whole in memory, its hash being checked on a worker
    uint64_t hash_ticket = 0;    // the worker job while hashing
    uint64_t hash_tag = 0;       // tells that job's result from an older one's
    BlockStore blocks;
    PooledBuffer hash;  // an SHA1Context from the hash-state pool, or empty
    SHA1Context* Hash() const { return hash ? reinterpret_cast<SHA1Context*>(hash.data()) : nullptr; }
    const uint8_t* expected = nullptr;  // 20 bytes in the piece map's hashes, or null
    int64_t last_activity = 0;  // engine-clock seconds

    int32_t InMemory() const { return blocks.BytesPresent(); }
};

}  // namespace zl
