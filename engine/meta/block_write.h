// What became of one received block. Storage answers it, the task passes it
// on unchanged, and the peer that delivered the block acts on it: one type
// from the disk to the wire, so no layer renames a result on the way up.
#pragma once
#include <cstdint>

namespace zl {

enum class BlockWrite : int8_t {
    kStored,         // taken; its piece is not complete yet
    kPieceVerified,  // taken; it completed its piece, which matched its hash
    kHashFailed,     // taken; it completed its piece, which failed its hash and was emptied
    kPieceQueued,    // taken; it completed its piece, whose hash is being checked (the verdict comes later)
    kNotNeeded,      // the piece is not wanted or already complete: nothing stored
    kRefused,        // outside the piece, unaligned or empty: nothing stored
};

struct [[nodiscard]] BlockWriteResult {
    BlockWrite status = BlockWrite::kRefused;
    int32_t bytes = 0;  // payload bytes the block counted for (taken blocks only)

    constexpr bool taken() const {
        return status == BlockWrite::kStored || status == BlockWrite::kPieceVerified ||
               status == BlockWrite::kHashFailed || status == BlockWrite::kPieceQueued;
    }
    constexpr bool piece_verified() const { return status == BlockWrite::kPieceVerified; }
    constexpr bool hash_failed() const { return status == BlockWrite::kHashFailed; }
    constexpr bool piece_queued() const { return status == BlockWrite::kPieceQueued; }
};

}  // namespace zl
