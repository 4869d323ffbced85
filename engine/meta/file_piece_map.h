// Where the pieces of a torrent lie in its files, and back. Built once from
// the file sizes and the block geometry; lookups are binary searches and
// change nothing (opening and closing files stays with storage). Empty files
// hold no bytes and never appear in a span. Padding files appear in spans
// marked as padding: zeros that storage neither writes nor reads.
#pragma once
#include <cstdint>
#include <vector>

#include "engine/meta/block_info.h"

namespace zl {

class FilePieceMap {
public:
    // A run of bytes of one piece inside one file.
    struct Span {
        int32_t file = -1;
        int64_t file_offset = 0;   // where the run starts in the file
        int64_t piece_offset = 0;  // where it starts in the piece
        int64_t length = 0;
        bool padding = false;      // zeros of a padding file, nothing on disk
    };
    // Pieces [first, end) that hold bytes of a file; empty for an empty file.
    struct PieceRange {
        int32_t first = 0;
        int32_t end = 0;
        constexpr int32_t count() const { return end - first; }
        constexpr bool operator==(const PieceRange&) const = default;
    };

    FilePieceMap() = default;
    // `sizes` are the files in torrent order; they must add up to the
    // geometry's total size, otherwise the map is empty. `padding` marks the
    // padding files (none when empty; otherwise one flag per file).
    FilePieceMap(const BlockInfo& geometry, const std::vector<int64_t>& sizes, std::vector<bool> padding = {});

    bool empty() const { return offsets_.empty(); }
    int32_t file_count() const { return static_cast<int32_t>(sizes_.size()); }
    int64_t FileOffset(int32_t file) const { return IsFile(file) ? offsets_[size_t(file)] : 0; }
    int64_t FileSize(int32_t file) const { return IsFile(file) ? sizes_[size_t(file)] : 0; }
    bool IsPadding(int32_t file) const { return IsFile(file) && !padding_.empty() && padding_[size_t(file)]; }
    PieceRange PiecesOf(int32_t file) const;
    // The non-empty file holding a byte of the data, or -1 outside the data.
    int32_t FileOfByte(int64_t byte) const;

    // The spans of bytes [from, to) of a piece, in order; false (nothing
    // listed) when the piece or the range lies outside the data.
    bool SpansOf(int32_t piece, int64_t from, int64_t to, std::vector<Span>& out) const;
    // Calls fn(const Span&) for each span of bytes [from, to) of a piece until
    // fn returns false. False when the range lies outside the data.
    template <class Fn>
    bool ForEachSpan(int32_t piece, int64_t from, int64_t to, Fn&& fn) const {
        const int64_t size = geometry_.PieceSize(piece);
        if (size <= 0 || from < 0 || from >= to || to > size) return false;
        const int64_t begin = geometry_.PieceBegin(piece);
        int64_t at = begin + from;
        const int64_t end = begin + to;
        for (int32_t file = FileOfByte(at); file >= 0 && at < end; ++file) {
            const int64_t file_size = sizes_[size_t(file)];
            if (file_size == 0) continue;
            const int64_t file_offset = at - offsets_[size_t(file)];
            const int64_t length = std::min(end - at, file_size - file_offset);
            if (!fn(Span{file, file_offset, at - begin, length, IsPadding(file)})) break;
            at += length;
        }
        return true;
    }

    const BlockInfo& geometry() const { return geometry_; }

private:
    bool IsFile(int32_t file) const { return file >= 0 && file < file_count(); }

    BlockInfo geometry_;
    std::vector<int64_t> offsets_;  // start of each file in the data
    std::vector<int64_t> sizes_;
    std::vector<bool> padding_;  // empty when there is no padding file
};

}  // namespace zl
