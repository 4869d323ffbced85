// The task's target files: opening and sizing (with the wait for disk space),
// mapping a piece onto the files it spans, reads and writes under the
// engine-wide disk lock, and the rename from the temporary name at completion.
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "engine/meta/atomic_file.h"
#include "engine/meta/pieces.h"

namespace zl {
namespace {

constexpr int64_t kExtendSlack = 1 << 20;  // sized ahead of the write position without pre-allocation
constexpr uint32_t kSpacePollMs = 2000;

}  // namespace

void TPieces::CloseFiles() {
    for (auto& f : files_) f->file.Close();
}

int32_t TPieces::CountOpenFiles() const {
    int32_t n = 0;
    for (const auto& f : files_)
        if (f->file.IsOpen()) ++n;
    return n;
}

void TPieces::EnforceOpenFileLimit() {
    if (geometry_.piece_length() <= 0) return;
    const int64_t units = (geometry_.piece_length() + 256 * 1024 - 1) / (256 * 1024);
    if (CountOpenFiles() >= 128 / units + 1) CloseFiles();
}

bool TPieces::WaitForSpace(const FileEntry& entry, int64_t missing, ScopedLock* lock) {
    const std::string dir = ParentDirectory(entry.path);
    std::optional<uint64_t> free = probe_.FreeBytes(dir);
    // A failed query counts as enough: the write itself reports a real failure.
    if (!free || int64_t(std::min<uint64_t>(*free, uint64_t(INT64_MAX))) >= missing) return true;
    if (stop_wait_) return false;
    const bool relock = lock && lock->Held();
    if (relock) lock->Release();  // other tasks keep using the disk meanwhile
    waiting_for_space_ = true;
    Notice(kNoticeDiskFull, 1);
    bool stopped = false;
    for (;;) {
        clock_.SleepMs(kSpacePollMs);
        if (Stop()) {
            stopped = true;
            break;
        }
        free = probe_.FreeBytes(dir);
        if (!free || int64_t(std::min<uint64_t>(*free, uint64_t(INT64_MAX))) >= missing) break;
    }
    waiting_for_space_ = false;
    if (stopped) return false;
    Notice(kNoticeDiskSpaceBack, 1);
    if (relock) lock->Acquire();
    return true;
}

bool TPieces::PrepareFile(FileEntry& entry, int64_t required, bool for_writing, ScopedLock* lock, bool no_extend) {
    if (entry.size < 0 || required < 0 || required > entry.size) return false;
    TargetFile& file = entry.file;
    if (for_writing && file.IsOpen() && file.ReadOnly()) file.Close();
    if (for_writing && !file.IsOpen()) fs_.MakeWritable(entry.path);
    if (!file.IsOpen()) {
        const bool rw = for_writing || (CheckFinished() && !AllFinished() && !FileComplete(entry.index));
        // A file created now has a name that must reach the disk with its bytes.
        const bool existed = !rw || fs_.Exists(entry.path);
        bool opened = file.Open(fs_, entry.path, rw ? TargetFile::Mode::ReadWrite : TargetFile::Mode::ReadOnly);
        if (!opened && rw && !for_writing) opened = file.Open(fs_, entry.path, TargetFile::Mode::ReadOnly);
        if (!opened && for_writing) {
            CreateDirectoriesOn(fs_, ParentDirectory(entry.path));
            opened = file.Open(fs_, entry.path, TargetFile::Mode::ReadWrite);
        }
        if (opened && !existed && !file.ReadOnly()) {
            MarkUnsynced(entry);
            MarkFolderUnsynced(entry.path);
        }
    }
    int64_t current = file.Size();
    if (current < 0) {
        file.Close();
        if (for_writing) Notice(kNoticeFileOpenFailed, 1);
        return false;
    }
    if (current > entry.size) {
        // Longer than the torrent says: cut to the entry's size.
        const bool was_read_only = file.ReadOnly();
        if (was_read_only && !file.Open(fs_, entry.path, TargetFile::Mode::ReadWrite)) return false;
        const bool cut = file.Resize(entry.size, false);
        MarkUnsynced(entry);
        if (was_read_only) file.Open(fs_, entry.path, TargetFile::Mode::ReadOnly);
        return cut && file.Size() == entry.size;
    }
    if (!for_writing) return current >= required && geometry_.piece_count() > 0;

    int64_t target = options_.preallocate ? entry.size : std::min(entry.size, required + kExtendSlack + geometry_.piece_length());
    if (entry.Unwanted() || stop_wait_) target = required;
    if (target > current && !WaitForSpace(entry, target - current, lock)) return false;
    if (no_extend) return geometry_.piece_count() > 0;
    int resize_error = 0;
    if (target > current) {
        ScopedLock local(lock ? nullptr : &disk_lock_);
        MarkUnsynced(entry);
        errno = 0;
        if (file.Resize(target, options_.preallocate && !entry.Unwanted())) {
            current = target;
        } else {
            resize_error = errno;
            if (file.Size() < target) current = file.Size();
        }
    }
    const bool ok = current >= required && geometry_.piece_count() > 0 && file.Size() >= required;
    // The free-space query may have missed the shortage (it failed, or a quota
    // applies): the file system's refusal is the report, not a silent retry.
    if (!ok) ReportWriteError(resize_error);
    return ok;
}

void TPieces::ReportWriteError(int error) {
    if (error == ENOSPC || error == EDQUOT)
        Notice(kNoticeDiskFull, 1);
    else if (error != 0)
        Notice(kNoticeFileOpenFailed, 1);
}

int64_t TPieces::UnwantedPosition(int64_t start, int64_t portion_end, int64_t p) const {
    // Only the first piece length of an unwanted file is kept in place; the bytes of
    // a piece that runs past it are stored right after it, at a place fixed by
    // their offset within the piece (so write order does not matter).
    // A piece starting inside the first piece length stays in place (the file is
    // then shorter than two piece lengths, so this stays within its size).
    (void)portion_end;
    if (start < geometry_.piece_length()) return p;
    return geometry_.piece_length() + (p - start);
}

std::vector<FileEntry*> TPieces::LocatePiece(int32_t index) {
    std::vector<FileEntry*> list;
    if (!PieceValid(index)) return list;
    file_map_.ForEachSpan(index, 0, pieces_[size_t(index)]->size, [&](const FilePieceMap::Span& span) {
        list.push_back(files_[size_t(span.file)].get());
        return true;
    });
    return list;
}

int64_t TPieces::WritePieceBytes(int32_t index, const uint8_t* bytes, int64_t n, int64_t offset, bool verified) {
    if (!bytes || n < 1 || offset < 0 || !PieceValid(index)) return -1;
    PieceInProgress& piece = *pieces_[size_t(index)];
    const int64_t end = std::min<int64_t>(offset + n, piece.size);
    if (offset >= end) return -1;
    int64_t done = 0;
    bool ok = true;
    const bool located = ForEachFileSpan(index, offset, end, [&](FileEntry& f, int64_t pos, int64_t len, int64_t at) {
        if (f.padding) {  // zeros are never stored
            done += len;
            return true;
        }
        ScopedLock lock(disk_lock_);
        if (!PrepareFile(f, std::min(f.size, pos + len), true, &lock, false)) return false;
        lock.Acquire();
        errno = 0;
        const int64_t w = f.file.WriteAt(bytes + (at - offset), len, pos);
        const int error = errno;
        if (w > 0) done += w;
        if (w > 0) MarkWritten(f, pos, w);
        if (w < 0) MarkUnsynced(f);
        ok = w == len;
        if (!ok) ReportWriteError(error);
        return ok;
    });
    if (!located) return -1;
    const bool whole = ok && offset + done >= piece.size && done == end - offset;
    bool good = whole;
    if (whole) {
        if (!verified) {
            if (offset == 0) {
                good = VerifyPieceBuffer(index, bytes);
            } else if (info_loaded_ && piece.Hash() && piece.written == offset) {
                SHA1Context ctx = *piece.Hash();
                SHA1Input(&ctx, bytes, size_t(done));
                uint8_t digest[kSha1DigestSize];
                good = SHA1Result(&ctx, digest) == kShaSuccess && piece.expected &&
                       std::memcmp(digest, piece.expected, kSha1DigestSize) == 0;
                SetPieceHave(index, good);
            } else {
                good = !info_loaded_;
                SetPieceHave(index, good);
            }
        } else {
            SetPieceHave(index, true);
        }
    }
    const bool reached_end = offset + done >= piece.size;
    SetComplete(piece, whole && good);
    if (piece.held_complete && !whole) SetPieceHave(index, false);
    if (piece.held_complete) {
        complete_in_memory_ = std::max<int64_t>(0, complete_in_memory_ - piece.InMemory());
        piece.held_complete = false;
    }
    if (reached_end && !good) return kPieceWriteVerifyFailed;
    return done;
}

int64_t TPieces::ReadPieceBytes(int32_t index, uint8_t* out, int64_t n, int64_t offset) {
    if (!out || n < 1 || offset < 0 || !PieceValid(index)) return -1;
    PieceInProgress& piece = *pieces_[size_t(index)];
    const int64_t end = std::min<int64_t>(offset + n, piece.size);
    int64_t done = 0;
    ForEachFileSpan(index, offset, end, [&](FileEntry& f, int64_t pos, int64_t len, int64_t at) {
        if (f.padding) {  // zeros, never read from disk
            std::memset(out + (at - offset), 0, size_t(len));
            done += len;
            return true;
        }
        ScopedLock lock(disk_lock_);
        if (!PrepareFile(f, std::min(f.size, pos + len), false, &lock, false)) return false;
        const int64_t r = f.file.ReadAt(out + (at - offset), len, pos);
        if (r > 0) done += r;
        return r == len;
    });
    return done;
}

template <class Fn>
bool TPieces::ForEachFileSpan(int32_t index, int64_t offset, int64_t end, Fn&& fn) {
    const int64_t piece_begin = geometry_.PieceBegin(index);
    return file_map_.ForEachSpan(index, offset, end, [&](const FilePieceMap::Span& span) {
        FileEntry& f = *files_[size_t(span.file)];
        int64_t pos = span.file_offset;
        if (f.Unwanted()) {
            // Where this piece's part of the file starts, for the unwanted-file layout.
            const int64_t part_start = std::max<int64_t>(0, piece_begin - f.offset);
            pos = UnwantedPosition(part_start, 0, pos);
        }
        return fn(f, pos, span.length, span.piece_offset);
    });
}

bool TPieces::VerifyPieceBuffer(int32_t index, const uint8_t* data) {
    if (!PieceValid(index)) return false;
    bool good = true;
    if (info_loaded_) {
        const PieceInProgress& p = *pieces_[size_t(index)];
        const Sha1Digest d = Sha1Of(data, size_t(p.size));
        good = p.expected && std::memcmp(d.data(), p.expected, kSha1DigestSize) == 0;
    }
    SetPieceHave(index, good);
    return good;
}

bool TPieces::PrepareAllFiles() {
    for (auto& holder : files_) {
        FileEntry& f = *holder;
        if (Stop()) return false;
        if (f.padding) continue;  // never created
        if (f.size > 0 && f.Unwanted()) continue;
        if (f.size == 0 && f.Unwanted()) continue;
        ScopedLock lock(disk_lock_);
        // Opened or created and checked for space, not yet sized.
        const bool ok = f.size > 0 ? PrepareFile(f, f.size, true, &lock, true) : PrepareFile(f, 0, true, &lock, false);
        f.file.Close();
        if (!ok) return false;
    }
    RecountFinished();
    checked_bytes_ = geometry_.total_size();
    return true;
}

bool TPieces::RenameCompleteFiles() {
    bool all = true;
    for (int32_t i = 0; i < FileCount(); ++i) {
        FileEntry& f = *files_[size_t(i)];
        if (!f.temp_name || f.final_path.empty()) continue;
        if (!(FileComplete(i) || AllFinished()) || f.Unwanted()) continue;
        if (!fs_.Exists(f.path)) continue;
        f.file.Close();
        if (fs_.RenameNoReplace(f.path, f.final_path)) {
            MarkFolderUnsynced(f.final_path);
            f.temp_name = false;
            f.path = f.final_path;
            f.final_path.clear();
        } else {
            all = false;  // a later close tries again; an existing final file is never replaced
        }
    }
    return all;
}

void TPieces::MarkFolderUnsynced(const std::string& path) {
    const std::string folder = ParentDirectory(path);
    if (std::find(unsynced_folders_.begin(), unsynced_folders_.end(), folder) == unsynced_folders_.end())
        unsynced_folders_.push_back(folder);
}

void TPieces::MarkWritten(FileEntry& entry, int64_t position, int64_t length) {
    if (!entry.unsynced || entry.unsynced_to <= entry.unsynced_from) {
        entry.unsynced_from = position;
        entry.unsynced_to = position + length;
    } else {
        entry.unsynced_from = std::min(entry.unsynced_from, position);
        entry.unsynced_to = std::max(entry.unsynced_to, position + length);
    }
    entry.unsynced = true;
}

bool TPieces::AnyUnsynced() const {
    if (!unsynced_folders_.empty()) return true;
    for (const auto& f : files_)
        if (f->unsynced) return true;
    return false;
}

void TPieces::SettleFlush(bool cancel) {
    if (!flusher_.Busy()) return;
    if (cancel) {
        flusher_.Cancel();
        // Not flushed: the next flush takes these files again.
        for (const Flushing& f : flushing_files_)
            if (f.file < FileCount()) MarkWritten(*files_[size_t(f.file)], f.from, f.to - f.from);
        flushing_files_.clear();
        flushing_resume_.clear();
        return;
    }
    FlushEnded(flusher_.Wait().value_or(false));
}

void TPieces::FlushEnded(bool ok) {
    flushing_files_.clear();
    if (ok) {
        ProduceResumeData(flushing_resume_);
    } else if (!durability_lost_) {
        durability_lost_ = true;
        Notice(kNoticeFileOpenFailed, 1);
    }
    flushing_resume_.clear();
}

void TPieces::SaveProgress() {
    if (!host_ || geometry_.piece_count() <= 0) return;
    if (flusher_.Busy()) {
        const std::optional<bool> result = flusher_.TakeResult();
        if (!result) return;  // still flushing: the disk sets the pace of saves, not the download
        FlushEnded(*result);
    }
    if (durability_lost_) return;
    if (!AnyUnsynced() || AllFinished() || !options_.durable) {
        WriteResumeData();
        return;
    }
    DurableFlusher::Job job;
    for (auto& holder : files_) {
        FileEntry& f = *holder;
        if (!f.unsynced) continue;
        DurableFlusher::FileRange range;
        range.handle = fs_.Open(f.path, FileSystem::OpenMode::kRead);
        range.from = f.unsynced_from;
        range.to = f.unsynced_to;
        flushing_files_.push_back({f.index, range.from, range.to});
        job.files.push_back(std::move(range));
        f.unsynced = false;
        f.unsynced_from = f.unsynced_to = 0;
    }
    job.folders = std::move(unsynced_folders_);
    unsynced_folders_.clear();
    // Everything this names was written before the flush starts, so the flush covers it.
    flushing_resume_ = BuildResumeData();
    flusher_.Start(std::move(job));
}

bool TPieces::MakeDurable() {
    SettleFlush(false);
    if (durability_lost_) return false;
    if (!options_.durable) {
        for (auto& f : files_) f->unsynced = false;
        unsynced_folders_.clear();
        return true;
    }
    bool ok = true;
    // No disk lock: other tasks' transfers go on while this one's data is flushed.
    for (auto& holder : files_) {
        FileEntry& f = *holder;
        if (!f.unsynced) continue;
        bool synced;
        if (f.file.IsOpen()) {
            synced = f.file.SyncData();
        } else {
            // Closed since it was written: the flush is of the file, any handle will do.
            TargetFile handle;
            synced = handle.Open(fs_, f.path, TargetFile::Mode::ReadOnly) && handle.SyncData();
        }
        ++durable_syncs_;
        if (synced) {
            f.unsynced = false;
            f.unsynced_from = f.unsynced_to = 0;
        } else {
            ok = false;
        }
    }
    // The names of created and renamed files; a folder that cannot be flushed
    // (some file systems refuse) keeps the names it has.
    for (const std::string& folder : unsynced_folders_) {
        fs_.SyncDirectory(folder);
        ++durable_syncs_;
    }
    unsynced_folders_.clear();
    if (!ok) {
        durability_lost_ = true;
        Notice(kNoticeFileOpenFailed, 1);
    }
    return ok;
}

void TPieces::CloseAll(bool write_resume, bool flush, bool no_wait) {
    FinishHashing();
    const bool checked = CheckFinished() && geometry_.piece_count() > 0;
    if (flush && checked) FlushCompletePieces(no_wait);
    CloseFiles();
    if (flush && checked) {
        RenameCompleteFiles();
        if (AllFinished()) {
            for (auto& p : pieces_) ReleasePiece(*p);
            if (!piece_cache_path_.empty()) fs_.Remove(piece_cache_path_);
        } else {
            SavePieceCache();
        }
    }
    if (checked && (write_resume || flush)) WriteResumeData();
}

}  // namespace zl
