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
    if (piece_count_ <= 0) return false;
    checked_bytes_ = 0;
    check_progress_ = 0;
    // Progress of partly written pieces is established anew from the data.
    for (auto& p : pieces_) ReleasePiece(*p);
    CloseFiles();

    const int64_t chunk = 8 * piece_length_ <= kCheckBufferLimit ? 8 * piece_length_ : piece_length_;
    std::unique_ptr<uint8_t[]> buffer(new uint8_t[size_t(chunk + piece_length_)]);
    int64_t next = 0;   // stream offset of the next piece to decide
    int64_t fill = 0;   // bytes of the stream from `next` held in the buffer
    int64_t decided = 0;
    bool stopped = false;

    // Pieces before `to` that could not be read are clear.
    auto skip_to = [&](int64_t to) {
        to = std::min(to, total_size_);
        while (next < to) {
            const int32_t index = int32_t(next / piece_length_);
            SetPieceHave(index, false);
            next += PieceSize(index);
            checked_bytes_ = next;
            ++decided;
        }
        fill = 0;
    };
    auto decide_full_pieces = [&]() {
        int64_t used = 0;
        while (next < total_size_) {
            const int32_t index = int32_t(next / piece_length_);
            const int32_t size = PieceSize(index);
            if (fill - used < size) break;
            VerifyPieceBuffer(index, buffer.get() + used);
            used += size;
            next += size;
            checked_bytes_ = next;
            check_progress_ = next;
            if (++decided % 10 == 0 && Stop()) {
                stopped = true;
                break;
            }
        }
        if (used > 0) {
            std::memmove(buffer.get(), buffer.get() + used, size_t(fill - used));
            fill -= used;
        }
    };

    for (auto& holder : files_) {
        if (stopped) break;
        FileEntry& f = *holder;
        if (f.size == 0 || f.End() <= next) continue;
        if (next + fill < f.offset) skip_to(f.offset);  // a gap before this file
        TargetFile file;
        if (!file.Open(f.path, TargetFile::Mode::ReadOnly, true)) {
            // A missing file: every piece it touches stays clear.
            skip_to(f.End() + (f.End() % piece_length_ ? piece_length_ - f.End() % piece_length_ : 0));
            continue;
        }
        int64_t pos = next + fill - f.offset;  // next unread byte of this file
        while (pos < f.size && !stopped) {
            const int64_t want = std::min(chunk, f.size - pos);
            int64_t got;
            {
                ScopedLock lock(disk_lock_);
                got = file.ReadAt(buffer.get() + fill, want, pos);
            }
            if (got > 0) {
                fill += got;
                pos += got;
                decide_full_pieces();
            }
            if (got != want) break;  // shorter than expected: the rest of it is missing
        }
        file.Close();
        if (!stopped && pos < f.size) {
            const int64_t lost_end = f.End() + (f.End() % piece_length_ ? piece_length_ - f.End() % piece_length_ : 0);
            skip_to(lost_end);
        }
    }
    if (!stopped) skip_to(total_size_);
    check_progress_ = checked_bytes_;
    CloseFiles();
    WriteResumeData();
    return !stopped && checked_bytes_ >= total_size_;
}

bool TPieces::QuickCheck() {
    if (piece_count_ <= 0) return false;
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
    bool good = matched == total_size_ && !Stop();
    if (good) {
        checked_bytes_ = 0;
        for (int32_t i = 0; i < piece_count_; ++i) SetPieceHave(i, true);
        // Sample the first, the middle and the last piece.
        const int32_t samples[3] = {0, int32_t(piece_count_ - 1), int32_t(piece_count_ / 2)};
        std::unique_ptr<uint8_t[]> buffer(new uint8_t[size_t(piece_length_)]);
        for (int32_t index : samples) {
            const int32_t size = PieceSize(index);
            if (ReadPieceBytes(index, buffer.get(), size, 0) != size || !VerifyPieceBuffer(index, buffer.get())) {
                good = false;
                break;
            }
        }
        if (good) {
            checked_bytes_ = verified_bytes_ = total_size_;
            for (int32_t i = 0; i < piece_count_; ++i) SetPieceHave(i, true);
            finished_pieces_ = int32_t(piece_count_);
            Notice(kNoticeHaveAll, 1);
        } else {
            for (int32_t i = 0; i < piece_count_; ++i) SetPieceHave(i, false);
        }
    }
    check_progress_ = checked_bytes_;
    CloseFiles();
    WriteResumeData();
    return good && checked_bytes_ == total_size_ && verified_bytes_ == total_size_ && !Stop();
}

}  // namespace zl
