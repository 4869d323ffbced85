// Carrying progress over to a piece map of the same files with other pieces
// (a torrent loaded again with another piece length or corrected hashes).
// Nothing is trusted without a hash: the bytes the previous map holds are
// hashed against the new pieces. A new piece that straddles held and missing
// bytes keeps the held ones as its progress, so nothing held is fetched again.
#include <algorithm>
#include <cstring>

#include "engine/meta/pieces.h"

namespace zl {

bool TPieces::SameFilesAs(const TPieces& other) const {
    if (files_.size() != other.files_.size()) return false;
    for (size_t i = 0; i < files_.size(); ++i) {
        const FileEntry &a = *files_[i], &b = *other.files_[i];
        // Unwanted files keep their bytes at places that depend on the piece length.
        if (a.size != b.size || a.padding != b.padding || a.path != b.path || a.final_path != b.final_path ||
            a.Unwanted() || b.Unwanted())
            return false;
    }
    return true;
}

// Where this map holds a block of the data (a global block index); with
// `verified_only`, only blocks of pieces that passed their hash count.
TPieces::HeldAt TPieces::WhereHeld(int64_t block, bool verified_only) const {
    const BlockInfo::Location at = geometry_.LocateBlock(block);
    if (!PieceValid(at.piece)) return HeldAt::kNowhere;
    const PieceInProgress& p = *pieces_[size_t(at.piece)];
    const bool verified = Have(at.piece) || p.complete;
    if (verified_only && !verified) return HeldAt::kNowhere;
    if (p.blocks.Initialised() && p.blocks.HasBlock(int32_t(at.offset))) return HeldAt::kMemory;
    if (Have(at.piece) || at.offset < p.written) return HeldAt::kDisk;
    return HeldAt::kNowhere;
}

// Bytes [from, to) of piece `index` (block-aligned `from`) into `out`, each
// block from where `held` says the previous map holds it; disk runs are read
// through this map's files, which are the same files.
bool TPieces::ReadHeldBytes(TPieces& previous, int32_t index, const std::vector<HeldAt>& held, int32_t from,
                            int32_t to, uint8_t* out) {
    const int64_t first_block = geometry_.FirstBlockOf(index);
    for (int32_t at = from; at < to;) {
        const int64_t block = first_block + BlockInfo::BlockIndex(at);
        const HeldAt where = held[size_t(BlockInfo::BlockIndex(at))];
        if (where == HeldAt::kNowhere) return false;
        if (where == HeldAt::kMemory) {
            const BlockInfo::Location loc = previous.geometry_.LocateBlock(block);
            const int32_t n = previous.geometry_.BlockLength(block);
            previous.pieces_[size_t(loc.piece)]->blocks.CopyOut(out + (at - from), int32_t(loc.offset), n);
            at += n;
            continue;
        }
        int32_t end = at;  // a run of blocks on disk, read at once
        while (end < to && held[size_t(BlockInfo::BlockIndex(end))] == HeldAt::kDisk)
            end += BlockInfo::BlockLengthAt(PieceSize(index), end);
        end = std::min(end, to);
        if (ReadPieceBytes(index, out + (at - from), end - at, at) != end - at) return false;
        at = end;
    }
    return true;
}

bool TPieces::TransferFrom(TPieces& previous) {
    if (&previous == this || !info_loaded_ || previous.geometry_.empty() || !previous.CheckFinished() ||
        previous.geometry_.total_size() != geometry_.total_size() || !SameFilesAs(previous))
        return false;
    previous.CloseFiles();
    for (auto& p : pieces_) ReleasePiece(*p);
    checked_bytes_ = check_progress_ = 0;
    // Blocks of unfinished pieces wait in memory within this share of the cache.
    const int64_t memory_budget = MemoryCacheSize() / 2;
    uint8_t* buffer = Scratch();
    std::vector<HeldAt> held;
    bool stopped = false;

    for (int32_t index = 0; index < geometry_.piece_count() && !stopped; ++index) {
        PieceInProgress& p = *pieces_[size_t(index)];
        const int64_t first_block = geometry_.FirstBlockOf(index);
        held.assign(size_t(geometry_.BlocksInPiece(index)), HeldAt::kNowhere);
        bool all = true, any = false, all_on_disk = true;
        auto classify = [&](bool verified_only) {
            all = true, any = false, all_on_disk = true;
            for (size_t k = 0; k < held.size(); ++k) {
                held[k] = previous.WhereHeld(first_block + int64_t(k), verified_only);
                all = all && held[k] != HeldAt::kNowhere;
                any = any || held[k] != HeldAt::kNowhere;
                all_on_disk = all_on_disk && held[k] == HeldAt::kDisk;
            }
        };
        classify(false);
        if (all) {
            // Whole: hashed against the new piece; bytes only in memory are written now.
            if (ReadHeldBytes(previous, index, held, 0, p.size, buffer) && VerifyPieceBuffer(index, buffer)) {
                if (!all_on_disk && WritePieceBytes(index, buffer, p.size, 0, true) != p.size)
                    SetPieceHave(index, false);
            } else {
                // Some unverified bytes were wrong: keep what had passed a hash.
                classify(true);
                if (all) any = false;  // verified, and still not this piece's bytes
            }
        }
        if (!all && any) {
            // The held bytes from the piece's start go on as its written part, in
            // whole chunks as resume data keeps them, with their hash state.
            int32_t prefix = 0;
            while (prefix < p.size && held[size_t(BlockInfo::BlockIndex(prefix))] == HeldAt::kDisk)
                prefix += BlockInfo::BlockLengthAt(p.size, prefix);
            prefix -= prefix % std::min<int32_t>(p.size, BlockStore::kMaxChunk);
            if (prefix > 0 && ReadHeldBytes(previous, index, held, 0, prefix, buffer)) {
                p.hash = PooledBuffer(pools_.hash_state, 108);
                if (p.hash) {
                    SHA1Reset(p.Hash());
                    SHA1Input(p.Hash(), buffer, size_t(prefix));
                    p.written = prefix;
                    MarkPartial(index);
                }
            }
            // The other held blocks wait in memory while there is room.
            for (int32_t at = p.written; at < p.size; at += int32_t(BlockInfo::kBlock)) {
                const int32_t n = BlockInfo::BlockLengthAt(p.size, at);
                if (held[size_t(BlockInfo::BlockIndex(at))] == HeldAt::kNowhere) continue;
                if (memory_cache_bytes_ + n > memory_budget) break;
                if (!ReadHeldBytes(previous, index, held, at, at + n, buffer)) continue;
                if (!p.blocks.Initialised()) p.blocks.Init(p.size, pools_.piece_data);
                memory_cache_bytes_ += p.blocks.Put(buffer, n, at);
                p.last_activity = Now();
            }
        }
        checked_bytes_ = check_progress_ = geometry_.PieceBegin(index) + p.size;
        if (index % 10 == 9 && Stop()) stopped = true;
    }
    CloseFiles();
    previous.CloseFiles();
    if (stopped) return true;  // the load ends with the stop
    checked_bytes_ = check_progress_ = geometry_.total_size();
    WriteResumeData();
    if (verified_bytes_ >= geometry_.total_size()) Notice(kNoticeStateEstablished, 1);
    return true;
}

}  // namespace zl
