#include "engine/meta/file_piece_map.h"

#include <algorithm>

namespace zl {

FilePieceMap::FilePieceMap(const BlockInfo& geometry, const std::vector<int64_t>& sizes, std::vector<bool> padding) {
    if (!padding.empty() && padding.size() != sizes.size()) return;
    int64_t offset = 0;
    std::vector<int64_t> offsets;
    offsets.reserve(sizes.size());
    for (int64_t size : sizes) {
        if (size < 0 || offset > geometry.total_size() - size) return;
        offsets.push_back(offset);
        offset += size;
    }
    if (offset != geometry.total_size() || geometry.empty()) return;
    geometry_ = geometry;
    offsets_ = std::move(offsets);
    sizes_ = sizes;
    if (std::find(padding.begin(), padding.end(), true) != padding.end()) padding_ = std::move(padding);
}

FilePieceMap::PieceRange FilePieceMap::PiecesOf(int32_t file) const {
    const int64_t size = FileSize(file);
    if (size <= 0) return {};
    const int64_t offset = offsets_[size_t(file)];
    return {geometry_.PieceOfByte(offset), geometry_.PieceOfByte(offset + size - 1) + 1};
}

int32_t FilePieceMap::FileOfByte(int64_t byte) const {
    if (empty() || byte < 0 || byte >= geometry_.total_size()) return -1;
    // The last file starting at or before the byte; empty files there share
    // their offset with the file that holds it, and upper_bound passes them.
    const auto it = std::upper_bound(offsets_.begin(), offsets_.end(), byte);
    int32_t file = static_cast<int32_t>(it - offsets_.begin()) - 1;
    while (file >= 0 && sizes_[size_t(file)] == 0) --file;
    return file;
}

bool FilePieceMap::SpansOf(int32_t piece, int64_t from, int64_t to, std::vector<Span>& out) const {
    out.clear();
    return ForEachSpan(piece, from, to, [&](const Span& span) {
        out.push_back(span);
        return true;
    });
}

}  // namespace zl
