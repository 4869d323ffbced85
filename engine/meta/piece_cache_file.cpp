#include "engine/meta/piece_cache_file.h"

#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "engine/meta/adler32.h"
#include "engine/meta/atomic_file.h"
#include "engine/meta/pieces.h"

namespace zl {
namespace {

void PutInt32(std::string& out, int32_t v) {
    const uint32_t u = uint32_t(v);
    const char b[4] = {char(u), char(u >> 8), char(u >> 16), char(u >> 24)};
    out.append(b, 4);
}

int32_t GetInt32(std::string_view s, size_t at) {
    const auto* p = reinterpret_cast<const uint8_t*>(s.data() + at);
    return int32_t(uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24);
}

constexpr size_t kWriteBufferFlush = (1 << 20) - 1;

}  // namespace

uint32_t PieceCacheChecksum(const Sha1Digest& info_hash, int32_t index, std::string_view body) {
    const uint32_t seed = Adler32(uint32_t(index), info_hash.data(), info_hash.size());
    return Adler32(seed, body.data(), body.size());
}

void AppendPieceCacheRecord(std::string& out, const Sha1Digest& info_hash, int32_t index, int32_t present,
                            int32_t written, const std::vector<PieceCacheBlock>& blocks) {
    std::string body;
    body.reserve(16 + blocks.size() * kCacheBlockEntry);
    PutInt32(body, present);
    PutInt32(body, written);
    PutInt32(body, int32_t(blocks.size()));
    PutInt32(body, 0);
    for (const PieceCacheBlock& b : blocks) {
        PutInt32(body, b.offset);
        PutInt32(body, kBlockSize);
        body.append(b.data.substr(0, kBlockSize));
        body.append(kBlockSize - std::min<size_t>(b.data.size(), kBlockSize) + 8, '\0');
    }
    PutInt32(out, int32_t(body.size()));
    PutInt32(out, int32_t(PieceCacheChecksum(info_hash, index, body)));
    PutInt32(out, index);
    PutInt32(out, 0);
    out.append(body);
}

void ReadPieceCacheRecords(std::string_view file, const Sha1Digest& info_hash, int64_t piece_length,
                           const std::function<int32_t(int32_t)>& piece_size,
                           const std::function<bool(const PieceCacheRecord&)>& accept,
                           const std::function<void(int32_t)>& invalid) {
    size_t at = 0;
    while (file.size() - at >= 16) {
        const int32_t length = GetInt32(file, at);
        const uint32_t checksum = uint32_t(GetInt32(file, at + 4));
        const int32_t index = GetInt32(file, at + 8);
        if (length < 1 || int64_t(length) >= piece_length + (1 << 20) + 1) return;
        const int32_t size = piece_size(index);
        if (size <= 0) return;
        if (file.size() - at - 16 < size_t(length)) return;
        const std::string_view body = file.substr(at + 16, size_t(length));
        if (PieceCacheChecksum(info_hash, index, body) != checksum) return;
        at += 16 + size_t(length);
        PieceCacheRecord record;
        record.index = index;
        bool valid = body.size() >= 16;
        int32_t count = 0;
        if (valid) {
            record.present = GetInt32(body, 0);
            record.written = GetInt32(body, 4);
            count = GetInt32(body, 8);
            valid = count >= 0 && count <= kCacheMaxBlocksPerRecord && record.written >= 0 &&
                    body.size() >= 16 + size_t(count) * kCacheBlockEntry;
        }
        for (int32_t i = 0; valid && i < count; ++i) {
            const size_t e = 16 + size_t(i) * kCacheBlockEntry;
            const int32_t offset = GetInt32(body, e);
            const int32_t block_length = GetInt32(body, e + 4);
            // Aligned, inside the piece, at or above the written count.
            valid = block_length == kBlockSize && offset >= record.written && BlockInfo::IsAligned(offset) &&
                    offset < size;
            if (valid)
                record.blocks.push_back({offset, body.substr(e + 8, size_t(BlockInfo::BlockLengthAt(size, offset)))});
        }
        if (!valid) {
            invalid(index);
            return;
        }
        if (!accept(record)) return;
    }
}

bool TPieces::SavePieceCache() {
    if (piece_cache_path_.empty() || geometry_.piece_count() <= 0) return false;
    if (AllFinished()) {
        ::unlink(piece_cache_path_.c_str());
        return true;
    }
    AtomicFileWriter writer(piece_cache_path_);
    std::string buffer;
    buffer.reserve(1179648);
    for (auto& holder : pieces_) {
        PieceInProgress& p = *holder;
        if (Have(p.index) || p.InMemory() == 0) continue;
        const std::vector<int32_t> offsets = p.blocks.PresentBlocks(p.written);
        if (offsets.empty()) continue;
        for (size_t from = 0; from < offsets.size(); from += kCacheMaxBlocksPerRecord) {
            std::vector<PieceCacheBlock> blocks;
            std::vector<std::string> copies;
            const size_t to = std::min(offsets.size(), from + kCacheMaxBlocksPerRecord);
            copies.reserve(to - from);
            for (size_t i = from; i < to; ++i) {
                const int32_t n = BlockInfo::BlockLengthAt(p.size, offsets[i]);
                copies.emplace_back(size_t(n), '\0');
                p.blocks.CopyOut(reinterpret_cast<uint8_t*>(copies.back().data()), offsets[i], n);
                blocks.push_back({offsets[i], copies.back()});
            }
            AppendPieceCacheRecord(buffer, info_hash_, p.index, p.InMemory(), p.written, blocks);
            if (buffer.size() > kWriteBufferFlush) {
                if (!writer.Write(buffer)) return false;
                buffer.clear();
            }
        }
    }
    return writer.Write(buffer) && writer.Commit();
}

bool TPieces::LoadPieceCache() {
    if (piece_cache_path_.empty() || geometry_.piece_count() <= 0) return false;
    if (AllFinished()) {
        ::unlink(piece_cache_path_.c_str());
        return false;
    }
    const std::optional<std::string> file = ReadWholeFile(piece_cache_path_, geometry_.piece_count() * (geometry_.piece_length() + (1 << 20)));
    if (!file) return false;
    ReadPieceCacheRecords(
        *file, info_hash_, geometry_.piece_length(), [this](int32_t i) { return PieceValid(i) ? PieceSize(i) : 0; },
        [this](const PieceCacheRecord& r) {
            PieceInProgress& p = *pieces_[size_t(r.index)];
            if (Have(r.index) || p.unwanted) return true;  // skipped
            if (r.written != p.written) {
                ReleasePiece(p);
                return false;
            }
            if (!p.blocks.Initialised()) p.blocks.Init(p.size, pools_.piece_data);
            for (const PieceCacheBlock& b : r.blocks)
                memory_cache_bytes_ +=
                    p.blocks.Put(reinterpret_cast<const uint8_t*>(b.data.data()), int32_t(b.data.size()), b.offset);
            p.last_activity = Now();
            if (p.InMemory() + p.written >= p.size) {
                // Blocks that complete the piece are verified like fresh ones.
                if (HashMatches(p, true)) {
                    p.held_complete = p.complete = true;
                    complete_in_memory_ += p.InMemory();
                } else {
                    DropMemory(p);
                }
            }
            return true;
        },
        [this](int32_t index) {
            if (PieceValid(index)) ReleasePiece(*pieces_[size_t(index)]);
        });
    return true;
}

}  // namespace zl
