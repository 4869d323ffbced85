#include "engine/meta/piece_in_progress.h"

#include <algorithm>
#include <cstring>

#include "engine/meta/block_info.h"
#include "engine/meta/storage_layout.h"

namespace zl {

void BlockStore::Init(int32_t piece_size, BufferPool& pool) {
    pool_ = &pool;
    piece_size_ = piece_size;
    chunk_size_ = std::min(piece_size, kMaxChunk);
    chunks_.clear();
    chunks_.resize(size_t((piece_size + chunk_size_ - 1) / chunk_size_));
    present_.assign(size_t(BlockInfo::BlocksIn(piece_size)), 0);
    bytes_present_ = 0;
}

bool BlockStore::HasBlock(int32_t offset) const {
    if (!BlockInfo::IsAligned(offset)) return false;
    const size_t b = size_t(BlockInfo::BlockIndex(offset));
    return b < present_.size() && present_[b];
}

uint8_t* BlockStore::SpanFor(int32_t offset, int32_t length) {
    if (!Initialised() || !BlockInfo::IsAligned(offset) || offset >= piece_size_ || length <= 0) return nullptr;
    const int32_t c = offset / chunk_size_, in = offset % chunk_size_;
    const int32_t chunk_len = std::min(chunk_size_, piece_size_ - c * chunk_size_);
    if (length > chunk_len - in) return nullptr;
    auto& chunk = chunks_[size_t(c)];
    if (!chunk) chunk = PooledBuffer(*pool_, chunk_len);
    return chunk ? chunk.data() + in : nullptr;
}

int32_t BlockStore::Put(const uint8_t* bytes, int32_t length, int32_t offset) {
    if (!Initialised() || !BlockInfo::IsAligned(offset) || offset >= piece_size_ || length <= 0) return 0;
    length = std::min(length, piece_size_ - offset);
    int32_t done = 0;
    while (done < length) {
        const int32_t pos = offset + done;
        const int32_t c = pos / chunk_size_, in = pos % chunk_size_;
        const int32_t chunk_len = std::min(chunk_size_, piece_size_ - c * chunk_size_);
        auto& chunk = chunks_[size_t(c)];
        if (!chunk) chunk = PooledBuffer(*pool_, chunk_len);
        if (!chunk) return 0;
        const int32_t n = std::min(length - done, chunk_len - in);
        // Bytes received straight into their place (SpanFor) are not copied.
        if (chunk.data() + in != bytes + done) std::memcpy(chunk.data() + in, bytes + done, size_t(n));
        done += n;
    }
    // Only whole blocks (or the piece's short last block) count as present.
    int32_t added = 0;
    for (int32_t pos = offset; pos < offset + length; pos += BlockInfo::kBlock) {
        const int32_t block_len = BlockInfo::BlockLengthAt(piece_size_, pos);
        if (pos + block_len > offset + length) break;
        uint8_t& flag = present_[size_t(BlockInfo::BlockIndex(pos))];
        if (!flag) {
            flag = 1;
            added += block_len;
        }
    }
    bytes_present_ += added;
    return added;
}

void BlockStore::CopyOut(uint8_t* out, int32_t offset, int32_t length) const {
    ForEachSpan(offset, length, [&](const uint8_t* p, int32_t n) {
        std::memcpy(out, p, size_t(n));
        out += n;
    });
}

int32_t BlockStore::ContiguousFrom(int32_t offset) const {
    if (!Initialised() || !BlockInfo::IsAligned(offset)) return 0;
    int32_t pos = offset;
    while (pos < piece_size_ && present_[size_t(BlockInfo::BlockIndex(pos))])
        pos += BlockInfo::BlockLengthAt(piece_size_, pos);
    return pos - offset;
}

void BlockStore::DropBelow(int32_t offset) {
    if (!Initialised()) return;
    for (int32_t pos = 0; pos < offset && pos < piece_size_; pos += BlockInfo::kBlock) {
        uint8_t& flag = present_[size_t(BlockInfo::BlockIndex(pos))];
        if (flag) {
            flag = 0;
            bytes_present_ -= BlockInfo::BlockLengthAt(piece_size_, pos);
        }
    }
    for (int32_t c = 0; (c + 1) * chunk_size_ <= offset && size_t(c) < chunks_.size(); ++c) chunks_[size_t(c)].reset();
}

int32_t BlockStore::Clear() {
    const int32_t had = bytes_present_;
    for (auto& c : chunks_) c.reset();
    std::fill(present_.begin(), present_.end(), 0);
    bytes_present_ = 0;
    return had;
}

std::vector<int32_t> BlockStore::PresentBlocks(int32_t from) const {
    std::vector<int32_t> out;
    for (size_t b = 0; b < present_.size(); ++b)
        if (present_[b] && BlockInfo::BlockBegin(int64_t(b)) >= from) out.push_back(int32_t(BlockInfo::BlockBegin(int64_t(b))));
    return out;
}

}  // namespace zl
