// Pieces in progress: receiving blocks, verifying in memory, writing out,
// reading for uploads and keeping the memory cache within its size.
#include <limits.h>
#include <sys/uio.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "engine/meta/pieces.h"

namespace zl {
namespace {

constexpr int64_t kIdleFlushSeconds = 600;       // max(3600 / 6, 15)
constexpr int32_t kPartialFlushMinimum = 128 * 1024;
constexpr int64_t kCompleteAgeBonus = 1805;      // written out among the first
constexpr int64_t kTrimPeriodSeconds = 21600;
constexpr int64_t kTrimIdleSeconds = 3600;
constexpr int64_t kTrimFloor = 256 * 1024;
constexpr int32_t kFlushHashFailed = -99;  // FlushPartial: the piece completed and failed its hash

}  // namespace

void TPieces::DropMemory(PieceInProgress& p) {
    if (p.hashing) {
        // The worker lets go of the bytes before they are freed; its verdict is dropped.
        hashers_->Cancel(p.hash_ticket);
        p.hashing = false;
        --hashing_pieces_;
    }
    if (p.held_complete) complete_in_memory_ = std::max<int64_t>(0, complete_in_memory_ - p.InMemory());
    p.held_complete = false;
    memory_cache_bytes_ = std::max<int64_t>(0, memory_cache_bytes_ - p.blocks.Clear());
}

void TPieces::ResetPiece(PieceInProgress& p) {
    DropMemory(p);
    SetComplete(p, false);
    p.last_activity = 0;
}

void TPieces::ReleasePiece(PieceInProgress& p) {
    UnmarkPartial(p.index);
    p.hash.reset();
    p.written = 0;
    DropMemory(p);
}

bool TPieces::DiscardProgress(int32_t index) {
    if (!PieceValid(index)) return false;
    PieceInProgress& p = Piece(index);
    // A piece whose hash is being checked is whole: its verdict is awaited.
    if (p.complete || p.held_complete || p.hashing || p.InMemory() == 0) return false;
    DropMemory(p);
    p.last_activity = 0;
    return true;
}

bool TPieces::HashMatches(PieceInProgress& p, bool /*from_memory_tail*/) {
    if (!info_loaded_) return true;
    if (!p.expected) return false;
    SHA1Context ctx;
    if (p.Hash()) {
        ctx = *p.Hash();
    } else {
        if (p.written > 0) return false;  // bytes on disk that no state covers
        SHA1Reset(&ctx);
    }
    const int32_t tail = p.size - p.written;
    if (p.blocks.ContiguousFrom(p.written) < tail) return false;
    p.blocks.ForEachSpan(p.written, tail, [&](const uint8_t* d, int32_t n) { SHA1Input(&ctx, d, size_t(n)); });
    uint8_t digest[kSha1DigestSize];
    if (SHA1Result(&ctx, digest) != kShaSuccess) return false;
    return std::memcmp(digest, p.expected, kSha1DigestSize) == 0;
}

BlockWriteResult TPieces::ReceiveBlock(int32_t index, int64_t offset, int32_t length, const uint8_t* bytes) {
    if (!PieceValid(index) || !bytes || length <= 0) return {BlockWrite::kRefused, 0};
    PieceInProgress& p = *pieces_[size_t(index)];
    // Offsets come from the network: whole blocks inside the piece only.
    if (!BlockInfo::IsAligned(offset) || offset >= p.size) return {BlockWrite::kRefused, 0};
    if (!Wanted(index) || p.complete || p.hashing) return {BlockWrite::kNotNeeded, 0};
    length = static_cast<int32_t>(std::min<int64_t>(length, p.size - offset));
    const int32_t at = static_cast<int32_t>(offset);
    // Bytes already on disk (and covered by the hash state) are not taken again.
    if (at < p.written) return {BlockWrite::kStored, length};
    if (!p.blocks.Initialised()) p.blocks.Init(p.size, pools_.piece_data);
    p.last_activity = Now();
    memory_cache_bytes_ += p.blocks.Put(bytes, length, at);
    if (p.blocks.BytesPresent() + p.written < p.size) return {BlockWrite::kStored, length};
    if (hashers_ && info_loaded_ && p.expected && (p.Hash() || p.written == 0)) {
        SubmitHash(p);
        return {BlockWrite::kPieceQueued, length};
    }
    if (!HashMatches(p, true)) {
        ResetPiece(p);
        ReleasePiece(p);
        return {BlockWrite::kHashFailed, length};
    }
    PieceVerified(p);
    return {BlockWrite::kPieceVerified, length};
}

uint8_t* TPieces::BlockBuffer(int32_t index, int64_t offset, int32_t length) {
    if (!geometry_.IsBlockInPiece(index, offset, length) || !Wanted(index)) return nullptr;
    PieceInProgress& p = *pieces_[size_t(index)];
    if (p.complete || p.hashing || offset < p.written) return nullptr;
    if (!p.blocks.Initialised()) p.blocks.Init(p.size, pools_.piece_data);
    if (p.blocks.HasBlock(int32_t(offset))) return nullptr;
    return p.blocks.SpanFor(int32_t(offset), length);
}

void TPieces::PieceVerified(PieceInProgress& p) {
    p.held_complete = true;
    SetComplete(p, true);
    complete_in_memory_ += p.InMemory();
    MarkHeld(p);
    p.last_activity = Now() - kCompleteAgeBonus;
    // Memory stays bounded by the cache, and progress shows as pieces arrive:
    // once the held-complete share is full, the verified pieces are written
    // at once (adjacent ones together) instead of waiting for the periodic flush.
    if (complete_in_memory_ >= HeldCompleteLimit()) FlushHeldPieces();
}

void TPieces::SubmitHash(PieceInProgress& p) {
    HashWorkers::Job job;
    job.piece = p.index;
    job.tag = ++hash_serial_;
    if (p.Hash()) {
        job.state = *p.Hash();
    } else {
        SHA1Reset(&job.state);
    }
    p.blocks.ForEachSpan(p.written, p.size - p.written,
                         [&](const uint8_t* d, int32_t n) { job.spans.push_back({d, size_t(n)}); });
    std::memcpy(job.expected.data(), p.expected, kSha1DigestSize);
    p.hash_tag = job.tag;
    p.hash_ticket = hashers_->Submit(std::move(job));
    p.hashing = true;
    ++hashing_pieces_;
    // A worker that falls behind (a busy machine) holds the receiving back
    // rather than let pieces waiting for it grow past the memory cache.
    hashers_->WaitUnfinishedAtMost(MemoryCacheSize());
}

size_t TPieces::CollectHashResults() {
    if (hashing_pieces_ == 0 || !hashers_->ResultsReady()) return 0;
    std::vector<HashWorkers::Result> results;
    hashers_->TakeResults(results);
    size_t taken = 0;
    for (const HashWorkers::Result& r : results) {
        if (!PieceValid(r.piece)) continue;
        PieceInProgress& p = *pieces_[size_t(r.piece)];
        if (!p.hashing || p.hash_tag != r.tag) continue;  // emptied meanwhile
        p.hashing = false;
        --hashing_pieces_;
        ++taken;
        if (r.matched) {
            PieceVerified(p);
        } else {
            ResetPiece(p);
            ReleasePiece(p);
        }
        if (host_) host_->OnPieceChecked(r.piece, r.matched);
    }
    return taken;
}

void TPieces::FinishHashing() {
    if (hashing_pieces_ == 0) return;
    hashers_->WaitAll();
    CollectHashResults();
}

int64_t TPieces::HeldCompleteLimit() const {
    const int64_t cache_size = MemoryCacheSize();
    return cache_size / (memory_cache_bytes_ < cache_size / 2 ? 2 : 5);
}

int32_t TPieces::FlushPartial(PieceInProgress& p, int32_t minimum) {
    if (p.complete || p.hashing || p.InMemory() == 0) return 0;
    int32_t n = p.blocks.ContiguousFrom(p.written);
    if (p.written + n < p.size) n -= n % p.blocks.ChunkSize();
    if (n <= 0 || n < minimum) return 0;
    if (p.written + n >= p.size) {
        if (!HashMatches(p, true)) {
            ResetPiece(p);
            return kFlushHashFailed;
        }
        p.held_complete = true;
        SetComplete(p, true);
        complete_in_memory_ += p.InMemory();
        MarkHeld(p);
        return n;
    }
    uint8_t* scratch = Scratch();
    p.blocks.CopyOut(scratch, p.written, n);
    if (WritePieceBytes(p.index, scratch, n, p.written, false) != n) {
        ResetPiece(p);
        return -1;
    }
    if (info_loaded_) {
        if (!p.hash) {
            p.hash = PooledBuffer(pools_.hash_state, 108);
            if (!p.hash) {
                ResetPiece(p);
                return -1;
            }
            SHA1Reset(p.Hash());
        }
        SHA1Input(p.Hash(), scratch, size_t(n));
    }
    const int32_t before = p.InMemory();
    p.written += n;
    p.blocks.DropBelow(p.written);
    memory_cache_bytes_ = std::max<int64_t>(0, memory_cache_bytes_ - (before - p.InMemory()));
    MarkPartial(p.index);
    return n;
}

void TPieces::MarkHeld(PieceInProgress& p) { held_.push_back(p.index); }

bool TPieces::InWantedFilesOnly(int32_t index) const {
    bool wanted = true;
    file_map_.ForEachSpan(index, 0, geometry_.PieceSize(index), [&](const FilePieceMap::Span& span) {
        wanted = !files_[size_t(span.file)]->Unwanted();
        return wanted;
    });
    return wanted;
}

void TPieces::FlushHeldPieces() {
    std::vector<int32_t> held;
    held.swap(held_);
    std::sort(held.begin(), held.end());
    held.erase(std::unique(held.begin(), held.end()), held.end());
    auto whole = [&](int32_t i) {
        const PieceInProgress& p = *pieces_[size_t(i)];
        return p.held_complete && p.InMemory() + p.written >= p.size && p.blocks.ContiguousFrom(p.written) >= p.size - p.written;
    };
    for (size_t at = 0; at < held.size();) {
        const int32_t first = held[at++];
        if (!whole(first)) continue;
        if (!InWantedFilesOnly(first)) {
            FlushComplete(*pieces_[size_t(first)]);
            continue;
        }
        int32_t last = first;
        while (at < held.size() && held[at] == last + 1 && whole(held[at]) && pieces_[size_t(held[at])]->written == 0 &&
               InWantedFilesOnly(held[at]))
            last = held[at++];
        WriteHeldRun(first, last);
    }
}

bool TPieces::WriteHeldRun(int32_t first, int32_t last) {
    // One gathered write per file the run touches, at most IOV_MAX parts each.
    int32_t file = -1;
    int64_t file_pos = 0, group_length = 0;
    std::vector<struct iovec> parts;
    bool ok = true;
    auto write_group = [&] {
        if (file < 0 || parts.empty()) return;
        FileEntry& f = *files_[size_t(file)];
        ScopedLock lock(disk_lock_);
        if (!PrepareFile(f, std::min(f.size, file_pos + group_length), true, &lock, false)) {
            ok = false;
        } else {
            lock.Acquire();
            errno = 0;
            const int64_t w = f.file.WriteVAt(parts.data(), int(parts.size()), file_pos);
            const int error = errno;
            if (w > 0) MarkWritten(f, file_pos, w);
            if (w != group_length) {
                ok = false;
                if (w < 0) MarkUnsynced(f);
                ReportWriteError(error);
            }
        }
        file_pos += group_length;
        group_length = 0;
        parts.clear();
    };
    for (int32_t index = first; index <= last && ok; ++index) {
        PieceInProgress& p = *pieces_[size_t(index)];
        file_map_.ForEachSpan(index, p.written, p.size, [&](const FilePieceMap::Span& span) {
            if (span.padding) return true;  // zeros are never stored
            if (span.file != file || span.file_offset != file_pos + group_length) {
                write_group();
                file = span.file;
                file_pos = span.file_offset;
            }
            p.blocks.ForEachSpan(int32_t(span.piece_offset), int32_t(span.length), [&](const uint8_t* d, int32_t n) {
                if (parts.size() == IOV_MAX) {
                    const int64_t next = file_pos + group_length;
                    write_group();
                    file_pos = next;
                }
                parts.push_back({const_cast<uint8_t*>(d), size_t(n)});
                group_length += n;
            });
            return ok;
        });
    }
    write_group();
    for (int32_t index = first; index <= last; ++index) {
        PieceInProgress& p = *pieces_[size_t(index)];
        complete_in_memory_ = std::max<int64_t>(0, complete_in_memory_ - p.InMemory());
        p.held_complete = false;
        if (ok) {
            SetPieceHave(index, true);
            ReleasePiece(p);
        } else {
            ResetPiece(p);
        }
    }
    return ok;
}

int32_t TPieces::FlushComplete(PieceInProgress& p) {
    if (!p.held_complete || p.InMemory() + p.written < p.size) return 0;
    if (InWantedFilesOnly(p.index) && p.blocks.ContiguousFrom(p.written) >= p.size - p.written) {
        const int32_t n = p.size - p.written;
        return WriteHeldRun(p.index, p.index) ? n : 0;
    }
    const int32_t n = p.size - p.written;
    uint8_t* scratch = Scratch();
    p.blocks.CopyOut(scratch, p.written, n);
    const int64_t done = WritePieceBytes(p.index, scratch, n, p.written, true);
    if (done != n) {
        ResetPiece(p);
        return int32_t(std::max<int64_t>(done, 0));
    }
    ReleasePiece(p);
    return n;
}

int32_t TPieces::ReadForUpload(int32_t index, uint8_t* out, int32_t length, int32_t offset, int32_t readahead_hint,
                               bool regardless) {
    if (!PieceValid(index) || !out || length <= 0 || offset < 0) return -1;
    PieceInProgress& p = *pieces_[size_t(index)];
    if (int64_t(offset) + length > p.size) return -1;
    if (!Have(index) && !regardless && !p.held_complete) return -1;
    const int32_t first_block = int32_t(BlockInfo::AlignDown(offset));
    auto all_present = [&](int32_t from, int32_t to) {
        for (int32_t b = int32_t(BlockInfo::AlignDown(from)); b < to; b += int32_t(BlockInfo::kBlock))
            if (!p.blocks.HasBlock(b)) return false;
        return true;
    };
    if (p.blocks.Initialised() && all_present(offset, offset + length)) {
        ++block_cache_hits_;
        p.blocks.CopyOut(out, offset, length);
        return length;
    }
    ++block_reads_;
    const int64_t ahead = readahead_hint > 0 ? int64_t(readahead_hint) * 98304 : 65536;
    // Read whole blocks, never past the piece's end.
    int64_t end = int64_t(offset) + length + ahead;
    end = BlockInfo::AlignDown(end);
    end = std::max<int64_t>(end, int64_t(offset) + length);
    end = std::min<int64_t>(end, p.size);
    if (p.blocks.Initialised() && end > first_block + 65536 && all_present(first_block + 65536, int32_t(end)))
        end = std::max<int64_t>(first_block + 65536, int64_t(offset) + length);
    if (p.held_complete) end = std::min<int64_t>(std::max<int64_t>(p.written, int64_t(offset) + length), end);
    uint8_t* scratch = Scratch();
    const int64_t want = end - first_block;
    const int64_t got = ReadPieceBytes(index, scratch, want, first_block);
    if (got < int64_t(offset) + length - first_block) {
        // The bytes of a held-complete piece beyond its written count are in memory.
        if (!(p.held_complete && all_present(std::max(offset, p.written), offset + length) && got >= p.written - first_block))
            return -1;
    }
    if (!p.blocks.Initialised()) p.blocks.Init(p.size, pools_.piece_data);
    // Data read back for a had piece is trusted; it joins the memory cache.
    if (!p.held_complete && Have(index)) {
        for (int64_t b = first_block; b < first_block + got; b += BlockInfo::kBlock) {
            const int32_t blen = BlockInfo::BlockLengthAt(p.size, b);
            if (b + blen > first_block + got) break;
            memory_cache_bytes_ += p.blocks.Put(scratch + (b - first_block), blen, int32_t(b));
        }
        p.last_activity = Now();
    }
    for (int32_t pos = offset; pos < offset + length;) {
        const int32_t block = int32_t(BlockInfo::AlignDown(pos));
        const int32_t n = std::min(offset + length, block + int32_t(BlockInfo::kBlock)) - pos;
        if (p.blocks.HasBlock(block))
            p.blocks.CopyOut(out + (pos - offset), pos, n);
        else
            std::memcpy(out + (pos - offset), scratch + (pos - first_block), size_t(n));
        pos += n;
    }
    // A fast upload fills the cache far quicker than the periodic flush
    // trims it: keep it within its size as it grows.
    if (memory_cache_bytes_ > MemoryCacheSize()) TrimCache(true);
    return length;
}

void TPieces::PeriodicFlush() {
    const int64_t now = Now();
    const int64_t cache_size = MemoryCacheSize();
    in_progress_written_ = in_progress_present_ = 0;
    for (auto& holder : pieces_) {
        PieceInProgress& p = *holder;
        if (p.InMemory() == 0) {
            in_progress_written_ += p.written;
            if (!p.held_complete) continue;
        }
        if (!p.held_complete) {
            if (p.complete || p.unwanted || Have(p.index)) {
                if (p.unwanted && !Have(p.index)) {
                    SetComplete(p, false);
                    DropMemory(p);
                }
                continue;
            }
            if (p.InMemory() >= kPartialFlushMinimum && now - p.last_activity > kIdleFlushSeconds)
                FlushPartial(p, kPartialFlushMinimum);
            in_progress_written_ += p.written;
            in_progress_present_ += p.InMemory();
            continue;
        }
    }
    if (complete_in_memory_ >= HeldCompleteLimit()) FlushHeldPieces();
    if (memory_cache_bytes_ >= cache_size || now - last_trim_ > kTrimPeriodSeconds) TrimCache();
}

void TPieces::TrimCache(bool force) {
    const int64_t now = Now();
    const int64_t cache_size = MemoryCacheSize();
    if (!force && memory_cache_bytes_ < cache_size && now - last_trim_ <= kTrimPeriodSeconds) return;
    last_trim_ = now;
    if (memory_cache_bytes_ <= kTrimFloor) return;
    std::vector<PieceInProgress*> kept;
    int64_t collected = 0;
    for (auto& holder : pieces_) {
        PieceInProgress& p = *holder;
        if (p.InMemory() == 0 || p.held_complete) continue;
        if (p.unwanted && !Have(p.index)) {
            DropMemory(p);
            continue;
        }
        if (!Have(p.index)) continue;
        if (now - p.last_activity > kTrimIdleSeconds) {
            DropMemory(p);
            continue;
        }
        kept.push_back(&p);
        collected += p.InMemory();
    }
    if (collected + complete_in_memory_ < cache_size) return;
    std::sort(kept.begin(), kept.end(),
              [](const PieceInProgress* a, const PieceInProgress* b) { return a->last_activity < b->last_activity; });
    const int64_t room = std::max<int64_t>(cache_size / 10, kTrimFloor);
    for (PieceInProgress* p : kept) {
        if (cache_size - memory_cache_bytes_ >= room) break;
        DropMemory(*p);
    }
}

void TPieces::FlushCompletePieces(bool no_wait) {
    // Pieces on the hash workers are written with the rest once they matched.
    FinishHashing();
    const bool saved = stop_wait_;
    stop_wait_ = no_wait;
    // A write that falls short empties the piece, which is then fetched again.
    FlushHeldPieces();
    // Any piece held complete but not listed (none are expected).
    for (auto& holder : pieces_)
        if (holder->held_complete) FlushComplete(*holder);
    stop_wait_ = saved;
}

}  // namespace zl
