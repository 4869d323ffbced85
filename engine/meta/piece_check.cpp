// The start-up checks: a full check hashes every piece of the files on disk;
// a quick check trusts files of the right size after sampling three pieces.
#include <algorithm>
#include <cstring>

#include "engine/meta/pieces.h"

namespace zl {
namespace {

constexpr int64_t kCheckBufferLimit = 4 * 1024 * 1024;

}  // namespace

bool TPieces::FullCheck() {
    if (geometry_.piece_count() <= 0) return false;
    checked_bytes_ = 0;
    check_progress_ = 0;
    // Progress of partly written pieces is established anew from the data.
    for (auto& p : pieces_) ReleasePiece(*p);
    CloseFiles();

    // Pieces are hashed as the bytes stream past, so memory stays at one read
    // buffer whatever the piece length, and within the memory cache.
    const int64_t chunk = std::clamp<int64_t>(MemoryCacheSize() / 2, 256 * 1024, kCheckBufferLimit);
    std::unique_ptr<uint8_t[]> buffer(new uint8_t[size_t(chunk)]);
    SHA1Context ctx;
    SHA1Reset(&ctx);
    int64_t next = 0;      // stream offset of the piece being hashed
    int64_t in_piece = 0;  // its bytes hashed so far
    int64_t decided = 0;
    bool stopped = false;

    auto decide = [&](bool have) {
        const int32_t index = geometry_.PieceOfByte(next);
        SetPieceHave(index, have);
        next += PieceSize(index);
        checked_bytes_ = check_progress_ = next;
        in_piece = 0;
        SHA1Reset(&ctx);
        if (++decided % 10 == 0 && Stop()) stopped = true;
    };
    // Pieces that start before `to` and could not be read whole stay clear.
    auto skip_to = [&](int64_t to) {
        to = std::min(to, geometry_.total_size());
        while (next < to && !stopped) decide(false);
    };
    // The end of the piece holding the byte before `pos`.
    auto round_up = [&](int64_t pos) {
        const int32_t piece = geometry_.PieceOfByte(std::min(pos, geometry_.total_size()) - 1);
        return piece < 0 ? pos : geometry_.PieceBegin(piece) + geometry_.PieceSize(piece);
    };

    for (auto& holder : files_) {
        if (stopped) break;
        FileEntry& f = *holder;
        if (f.size == 0 || f.End() <= next) continue;
        if (next + in_piece < f.offset) skip_to(f.offset);  // a gap before this file
        TargetFile file;
        if (!file.Open(f.path, TargetFile::Mode::ReadOnly, true)) {
            skip_to(round_up(f.End()));  // a missing file: every piece it touches stays clear
            continue;
        }
        int64_t pos = next + in_piece - f.offset;  // next unread byte of this file
        while (pos < f.size && !stopped) {
            const int64_t want = std::min(chunk, f.size - pos);
            int64_t got;
            {
                ScopedLock lock(disk_lock_);
                got = file.ReadAt(buffer.get(), want, pos);
            }
            for (int64_t used = 0; used < got && !stopped;) {
                const int32_t size = PieceSize(geometry_.PieceOfByte(next));
                const int64_t take = std::min(got - used, size - in_piece);
                SHA1Input(&ctx, buffer.get() + used, size_t(take));
                in_piece += take;
                used += take;
                if (in_piece == size) {
                    bool good = true;
                    if (info_loaded_) {
                        uint8_t digest[kSha1DigestSize];
                        const uint8_t* expected = pieces_[size_t(geometry_.PieceOfByte(next))]->expected;
                        good = SHA1Result(&ctx, digest) == kShaSuccess && expected &&
                               std::memcmp(digest, expected, kSha1DigestSize) == 0;
                    }
                    decide(good);
                }
            }
            if (got > 0) pos += got;
            if (got != want) break;  // shorter than expected: the rest of it is missing
        }
        file.Close();
        if (!stopped && pos < f.size) skip_to(round_up(f.End()));
    }
    if (!stopped) skip_to(geometry_.total_size());
    check_progress_ = checked_bytes_;
    CloseFiles();
    WriteResumeData();
    return !stopped && checked_bytes_ >= geometry_.total_size();
}

bool TPieces::QuickCheck() {
    if (geometry_.piece_count() <= 0) return false;
    checked_bytes_ = 0;
    check_progress_ = 0;
    int64_t matched = 0;
    for (size_t i = 0; i < files_.size(); ++i) {
        if (i % 100 == 99 && Stop()) break;
        FileEntry& f = *files_[i];
        if (f.size <= 0) continue;
        TargetFile file;
        if (!file.Open(f.path, TargetFile::Mode::ReadOnly) || file.Size() != f.size) continue;
        matched += f.size;
    }
    checked_bytes_ = matched;
    bool good = matched == geometry_.total_size() && !Stop();
    if (good) {
        checked_bytes_ = 0;
        for (int32_t i = 0; i < geometry_.piece_count(); ++i) SetPieceHave(i, true);
        // Sample the first, the middle and the last piece.
        const int32_t samples[3] = {0, int32_t(geometry_.piece_count() - 1), int32_t(geometry_.piece_count() / 2)};
        std::unique_ptr<uint8_t[]> buffer(new uint8_t[size_t(geometry_.piece_length())]);
        sampled_bytes_ = 0;
        for (size_t k = 0; k < 3; ++k) {
            const int32_t index = samples[k];
            if ((k > 0 && index == samples[0]) || (k == 2 && index == samples[1])) continue;  // small torrents
            const int32_t size = PieceSize(index);
            sampled_bytes_ += size;
            if (ReadPieceBytes(index, buffer.get(), size, 0) != size || !VerifyPieceBuffer(index, buffer.get())) {
                good = false;
                break;
            }
        }
        if (good) {
            checked_bytes_ = verified_bytes_ = geometry_.total_size();
            for (int32_t i = 0; i < geometry_.piece_count(); ++i) SetPieceHave(i, true);
            finished_pieces_ = int32_t(geometry_.piece_count());
            Notice(kNoticeHaveAll, 1);
        } else {
            for (int32_t i = 0; i < geometry_.piece_count(); ++i) SetPieceHave(i, false);
        }
    }
    check_progress_ = checked_bytes_;
    CloseFiles();
    WriteResumeData();
    return good && checked_bytes_ == geometry_.total_size() && verified_bytes_ == geometry_.total_size() && !Stop();
}

}  // namespace zl
