// The piece-cache file: blocks that were in memory but not yet written, kept
// across a restart. A sequence of records, each
//   {body length L, checksum, piece index, 0} (int32 little-endian) + body,
// body = {bytes present, written count, block count n, 0} + n entries of
//   {offset in piece, 16384, 16384 data bytes, 8 zero bytes}.
// The checksum is Adler-32 of the body seeded with Adler-32 of the info-hash
// seeded with the piece index.
#pragma once
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/meta/sha1.h"

namespace zl {

constexpr int32_t kCacheBlockEntry = 16400;
constexpr int32_t kCacheMaxBlocksPerRecord = 512;

struct PieceCacheBlock {
    int32_t offset = 0;
    std::string_view data;  // min(16384, piece size - offset) bytes
};

struct PieceCacheRecord {
    int32_t index = 0;
    int32_t present = 0;
    int32_t written = 0;
    std::vector<PieceCacheBlock> blocks;
};

uint32_t PieceCacheChecksum(const Sha1Digest& info_hash, int32_t index, std::string_view body);

// Appends one record for `index` with the given blocks (each offset a multiple
// of 16384 inside the piece, data up to 16384 bytes).
void AppendPieceCacheRecord(std::string& out, const Sha1Digest& info_hash, int32_t index, int32_t present,
                            int32_t written, const std::vector<PieceCacheBlock>& blocks);

// Reads records in order until one fails its header, bounds or checksum.
// `piece_size(index)` gives a piece's size, 0 for an invalid index. A record
// whose blocks are not aligned, inside the piece and of length 16384 makes
// `invalid(index)` run and ends the reading; a valid one goes to `accept`
// (which may return false to end the reading).
void ReadPieceCacheRecords(std::string_view file, const Sha1Digest& info_hash, int64_t piece_length,
                           const std::function<int32_t(int32_t)>& piece_size,
                           const std::function<bool(const PieceCacheRecord&)>& accept,
                           const std::function<void(int32_t)>& invalid);

}  // namespace zl
