// Byte, block and piece arithmetic of one torrent's data. Every transfer is
// planned in blocks of 16384 bytes; a piece is a whole number of blocks except
// the last piece, whose last block may be short. Block indexes count from the
// start of the data (a piece length is always a multiple of the block size),
// and every product is formed in 64 bits: the package has 4 GiB files.
//
// A default-constructed geometry has no pieces; every query on it answers
// "nothing there" rather than dividing by zero.
#pragma once
#include <algorithm>
#include <cstdint>
#include <climits>

#include "engine/meta/block_size.h"

namespace zl {

class BlockInfo {
public:
    static constexpr int64_t kBlock = kBlockSize;

    // A piece and a byte offset inside it.
    struct Location {
        int32_t piece = -1;
        int64_t offset = 0;
        constexpr bool operator==(const Location&) const = default;
    };

    constexpr BlockInfo() = default;
    // `piece_length` must be a positive multiple of the block size (loading
    // refuses anything else); otherwise the geometry is empty.
    constexpr BlockInfo(int64_t total_size, int64_t piece_length) {
        if (total_size <= 0 || piece_length <= 0 || piece_length % kBlock != 0) return;
        const int64_t count = total_size / piece_length + (total_size % piece_length != 0);
        if (count > INT32_MAX) return;
        total_size_ = total_size;
        piece_length_ = piece_length;
        piece_count_ = static_cast<int32_t>(count);
    }

    constexpr int64_t total_size() const { return total_size_; }
    constexpr int64_t piece_length() const { return piece_length_; }
    constexpr int32_t piece_count() const { return piece_count_; }
    constexpr int64_t block_count() const { return BlocksIn(total_size_); }
    constexpr bool empty() const { return piece_count_ == 0; }

    constexpr bool IsPiece(int32_t piece) const { return piece >= 0 && piece < piece_count_; }
    // The size of a piece: the nominal length, the remainder for the last, 0 outside.
    constexpr int64_t PieceSize(int32_t piece) const {
        if (!IsPiece(piece)) return 0;
        return std::min(piece_length_, total_size_ - PieceBegin(piece));
    }
    // The byte offset where a piece starts in the data.
    constexpr int64_t PieceBegin(int32_t piece) const { return static_cast<int64_t>(piece) * piece_length_; }
    // The piece holding a byte of the data, or -1 outside.
    constexpr int32_t PieceOfByte(int64_t byte) const {
        if (byte < 0 || byte >= total_size_) return -1;
        return static_cast<int32_t>(byte / piece_length_);
    }
    constexpr int64_t BlocksInPiece(int32_t piece) const { return BlocksIn(PieceSize(piece)); }

    // Global block index of the block at `offset` inside `piece` (offset need
    // not be aligned: the block holding that byte).
    constexpr int64_t BlockOf(int32_t piece, int64_t offset) const {
        return (PieceBegin(piece) + offset) / kBlock;
    }
    // The first global block of a piece.
    constexpr int64_t FirstBlockOf(int32_t piece) const { return BlockOf(piece, 0); }
    constexpr bool IsBlock(int64_t block) const { return block >= 0 && block < block_count(); }
    // The piece and offset of a global block; piece -1 outside the data.
    constexpr Location LocateBlock(int64_t block) const {
        if (!IsBlock(block)) return {};
        const int64_t byte = BlockBegin(block);
        const int32_t piece = static_cast<int32_t>(byte / piece_length_);
        return {piece, byte - PieceBegin(piece)};
    }
    // The length of a global block (the very last may be short); 0 outside.
    constexpr int32_t BlockLength(int64_t block) const {
        if (!IsBlock(block)) return 0;
        return static_cast<int32_t>(std::min(kBlock, total_size_ - BlockBegin(block)));
    }

    // A block inside a piece as storage takes it: an aligned offset inside the
    // piece and a length that reaches at most the piece's end.
    constexpr bool IsBlockInPiece(int32_t piece, int64_t offset, int64_t length) const {
        const int64_t size = PieceSize(piece);
        return size > 0 && IsAligned(offset) && offset < size && length > 0 && length <= size - offset;
    }
    // A byte range inside a piece as a peer may ask for it: any offset, a
    // length of 1..max_length, ending at most at the piece's end.
    constexpr bool IsRangeInPiece(int32_t piece, int64_t offset, int64_t length, int64_t max_length) const {
        const int64_t size = PieceSize(piece);
        return size > 0 && offset >= 0 && length > 0 && length <= max_length && offset < size &&
               length <= size - offset;
    }

    // --- arithmetic that needs no torrent ---
    // Blocks needed for `bytes` (rounded up).
    static constexpr int64_t BlocksIn(int64_t bytes) { return bytes <= 0 ? 0 : (bytes + kBlock - 1) / kBlock; }
    // The byte offset of a block index (inside a piece or in the data).
    static constexpr int64_t BlockBegin(int64_t block) { return block * kBlock; }
    // The block index holding a byte offset.
    static constexpr int64_t BlockIndex(int64_t offset) { return offset / kBlock; }
    static constexpr bool IsAligned(int64_t offset) { return offset >= 0 && offset % kBlock == 0; }
    static constexpr int64_t AlignDown(int64_t offset) { return offset - offset % kBlock; }
    // The length of the block at an aligned `offset` in a piece of `piece_size` bytes.
    static constexpr int32_t BlockLengthAt(int64_t piece_size, int64_t offset) {
        return offset < 0 || offset >= piece_size ? 0 : static_cast<int32_t>(std::min(kBlock, piece_size - offset));
    }
    // The piece holding a global block when only the piece length is known
    // (lists of requests); -1 for a negative block, a bad length or overflow.
    static constexpr int32_t PieceOfBlock(int64_t block, int64_t piece_length) {
        if (block < 0 || piece_length <= 0 || block > INT64_MAX / kBlock) return -1;
        const int64_t piece = BlockBegin(block) / piece_length;
        return piece > INT32_MAX ? -1 : static_cast<int32_t>(piece);
    }

private:
    int64_t total_size_ = 0;
    int64_t piece_length_ = 0;
    int32_t piece_count_ = 0;
};

}  // namespace zl
