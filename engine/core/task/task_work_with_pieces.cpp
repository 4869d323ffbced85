#include "engine/core/task/task_work_with_pieces.h"

#include <algorithm>
#include <climits>
#include <cstring>
#include <utility>

#include "engine/core/api/engine_codes.h"
#include "engine/core/api/engine_context.h"
#include "engine/core/sched/random_start.h"
#include "engine/core/task/task_status.h"
#include "engine/meta/disk_space.h"
#include "engine/meta/link_text.h"
#include "engine/meta/previous_piece_map.h"
#include "engine/meta/storage_layout_info.h"

namespace zl {

TWorkWithPieces::TWorkWithPieces(EngineContext& context)
    : TWorkWithPeers(context), seed_(context.NextTaskSeed()), random_(TaskRandom::Derive(seed_, 1)) {}

TWorkWithPieces::~TWorkWithPieces() {
    // The most derived layer has stopped the worker already; no notice may
    // reach a half-destroyed task.
    if (pieces_) pieces_->DetachHost();
}

int32_t TWorkWithPieces::GetBitfieldSize() {
    ScopedLock guard(Lock());
    return static_cast<int32_t>(bitfield_.size());
}

int32_t TWorkWithPieces::GetBitfield(uint8_t* buffer, int32_t size) {
    if (!buffer || size <= 0) return 0;
    ScopedLock guard(Lock());
    const size_t bytes = bitfield_.size();
    // Before the metainfo is read the bitfield is empty: nothing to copy
    // (and memcpy from its null data would be undefined even for 0 bytes).
    if (bytes > 0) std::memcpy(buffer, bitfield_.data(), std::min(bytes, static_cast<size_t>(size)));
    const int64_t bits = static_cast<int64_t>(bytes) * 8;
    return static_cast<int32_t>(std::min<int64_t>(bits, bitfield_pieces_));
}

std::string TWorkWithPieces::ExplicitTargetPath() {
    ScopedLock guard(Lock());
    return Identity().full_path ? Identity().target_file : std::string();
}

int64_t TWorkWithPieces::TargetDiskSize() {
    std::string path;
    {
        std::lock_guard<std::mutex> guard(disk_size_path_mutex_);
        path = disk_size_path_;
    }
    if (path.empty()) return -1;
    const int64_t size = FileDiskSizeOf(path);
    return size >= 0 ? size : -1;
}

std::string TWorkWithPieces::FirstTargetPath() {
    ScopedLock guard(Lock());
    return first_target_path_;
}

void TWorkWithPieces::OnPieceNotice(const PieceNotice& notice) {
    switch (notice.kind) {
        case kNoticeSelection:
            StoreSelection(notice);
            return;
        case kNoticeResumeData:
            StoreResumeData(notice);
            return;
        default:
            OnPieceEvent(notice.kind, notice.flag, notice.size, notice.value);
    }
}

void TWorkWithPieces::StoreSelection(const PieceNotice& notice) {
    if (notice.size < 0 || (notice.size > 0 && !notice.data)) return;
    std::string bytes(reinterpret_cast<const char*>(notice.data), static_cast<size_t>(notice.size));
    ScopedLock guard(Lock());
    if (Blobs().value[ResumeBlobs::kPart] != bytes) Blobs().Set(ResumeBlobs::kPart, std::move(bytes));
}

void TWorkWithPieces::StoreResumeData(const PieceNotice& notice) {
    ScopedLock guard(Lock());
    ResumeBlobs& blobs = Blobs();
    if (notice.size <= 0 || !notice.data) {
        if (!bits_clear_pending_) {
            bits_clear_pending_ = true;
            bits_before_clear_ = blobs.value[ResumeBlobs::kBits];
            bits_dirty_before_clear_ = blobs.dirty[ResumeBlobs::kBits];
        }
        if (!blobs.value[ResumeBlobs::kBits].empty()) blobs.Set(ResumeBlobs::kBits, std::string());
        return;
    }
    std::string bytes(reinterpret_cast<const char*>(notice.data), static_cast<size_t>(notice.size));
    if (bits_clear_pending_ && bytes == bits_before_clear_) {
        blobs.value[ResumeBlobs::kBits] = std::move(bytes);
        blobs.dirty[ResumeBlobs::kBits] = bits_dirty_before_clear_;
    } else if (blobs.value[ResumeBlobs::kBits] != bytes) {
        blobs.Set(ResumeBlobs::kBits, std::move(bytes));
    }
    bits_clear_pending_ = false;
    bits_before_clear_.clear();
}

void TWorkWithPieces::OnPieceEvent(int32_t kind, int32_t flag, int64_t, int64_t value) {
    switch (kind) {
        case kNoticeHave: {
            if (!pieces_) return;
            {
                ScopedLock guard(Lock());
                // A have index beyond the piece count is ignored: it would write
                // outside the bitfield copy.
                if (value < 0 || value >= bitfield_pieces_ || static_cast<size_t>(value / 8) >= bitfield_.size())
                    return;
                const uint8_t bit = static_cast<uint8_t>(0x80u >> (value % 8));
                uint8_t& byte = bitfield_[static_cast<size_t>(value / 8)];
                byte = flag ? static_cast<uint8_t>(byte | bit) : static_cast<uint8_t>(byte & ~bit);
            }
            // A piece completed after the check may have completed its file: the
            // loop renames such files (never from inside the piece map's own call).
            // Nobody requests it any more, and peers hear of it with the next batch.
            if (flag && pieces_->CheckFinished()) {
                files_completed_ = true;
                scheduling_.PieceHad(static_cast<int32_t>(value));
            }
            const bool first = live_.finished_pieces == 0;
            SyncFigures();
            live_.finished_pieces = figures_.finished_pieces;
            live_.memory_cache_bytes = figures_.memory_cache_bytes;
            live_.downloaded = figures_.downloaded;
            // The first verified piece shows at once, not at the next
            // once-a-second publication.
            if (first && live_.finished_pieces > 0) Publish(PublishScope::kStatus, LockWait::kSkipIfBusy);
            return;
        }
        case kNoticeHaveAll: {
            if (!pieces_) return;
            {
                ScopedLock guard(Lock());
                std::fill(bitfield_.begin(), bitfield_.end(), flag ? 0xFF : 0x00);
                // Bits past the last piece stay clear, as peers expect.
                const int32_t spare = static_cast<int32_t>(bitfield_.size()) * 8 - bitfield_pieces_;
                if (flag && !bitfield_.empty() && spare > 0 && spare < 8)
                    bitfield_.back() = static_cast<uint8_t>(0xFFu << spare);
            }
            SyncFigures();
            live_.finished_pieces = figures_.finished_pieces;
            live_.downloaded = figures_.downloaded;
            live_.checked = figures_.checked;
            return;
        }
        case kNoticeStateEstablished:
            if (!pieces_) return;
            SyncFigures();
            CopyFiguresToLive();
            Publish(flag != 0 ? PublishScope::kStatusAndSnapshots : PublishScope::kStatus, LockWait::kWait);
            return;
        case kNoticePiecesBuilt: {
            if (!pieces_) return;
            if (value <= 0 || value > INT32_MAX) {
                RequestStop();
                return;
            }
            scheduling_.Resize(static_cast<int32_t>(value));
            ScopedLock guard(Lock());
            bitfield_.assign(static_cast<size_t>((value + 7) / 8), 0);
            bitfield_pieces_ = static_cast<int32_t>(value);
            live_.name = pieces_->Name();
            return;
        }
        case kNoticeDiskFull:
        case kNoticeFileOpenFailed:
            live_.status = kind == kNoticeDiskFull ? STATUS_DISK_FULL : STATUS_WRITE_FAILED;
            disk_trouble_ = true;
            RequestStop();
            return;
        case kNoticeDiskSpaceBack:
            disk_trouble_ = false;
            // Space came back before the stop took effect: the task is downloading again.
            if (live_.status == STATUS_DISK_FULL) live_.status = STATUS_DOWNLOADING;
            return;
        default:
            return;
    }
}

bool TWorkWithPieces::BuildMetainfo() {
    std::shared_ptr<MetainfoParser> parser = Context().Parser();
    std::string torrent;
    {
        ScopedLock guard(Lock());
        torrent = Blobs().value[ResumeBlobs::kTorrent];
    }
    ParsedMetainfo parsed;
    if (!parser || torrent.empty() || !parser->Parse(torrent, parsed)) return false;
    if (parsed.piece_count < 0) return false;
    TakeMetainfo(parsed);
    // Bytes the engine's parser accepted but that do not load as a torrent
    // (a stand-in parser) keep the parser's figures without a piece map.
    RefPtr<TTorrent> loaded = RefPtr<TTorrent>::Adopt(new TTorrent());
    if (loaded->LoadFromData(torrent.data(), static_cast<int64_t>(torrent.size()))) {
        if (!BuildPieceMap(*loaded)) return false;
        torrent_ = loaded;
    }
    metainfo_ready_ = true;
    return true;
}

void TWorkWithPieces::TakeMetainfo(const ParsedMetainfo& parsed) {
    {
        ScopedLock guard(Lock());
        NormaliseTaskSettings(Settings());
        random_start_ = Settings().random_start;
    }
    // A rebuild starts from a fresh map; the old one hands over its selection list first.
    DropPieceMap();
    metainfo_ready_ = false;
    metainfo_ = parsed;
    live_.name = parsed.name;
    live_.comment = parsed.comment;
    live_.announce = parsed.announce;
    live_.info_hash = parsed.info_hash_hex;
    live_.total_size = parsed.total_size;
    live_.piece_length = parsed.piece_length;
    live_.piece_count = parsed.piece_count;
    figures_ = PieceFigures{};
    figures_.piece_count = parsed.piece_count;
    figures_.wanted_pieces = parsed.piece_count;
    figures_.wanted_size = parsed.total_size;
    {
        ScopedLock guard(Lock());
        bitfield_.assign((static_cast<size_t>(parsed.piece_count) + 7) / 8, 0);
        bitfield_pieces_ = parsed.piece_count;
    }
}

bool TWorkWithPieces::BuildPieceMap(const TTorrent& torrent) {
    EngineContext& context = Context();
    ip_filter_ = context.TaskIpFilter();
    // A new map starts without the disk trouble of an earlier run.
    disk_trouble_ = false;
    StorageOptions options;
    std::string directory, piece_cache_path, selection, resume_data;
    int32_t cache_units = 0;
    {
        ScopedLock guard(Lock());
        const TaskIdentity& id = Identity();
        directory = id.directory;
        options.quick_check = Settings().quick_check;
        options.durable = context.DurableProgress();
        options.hash_threads = context.HashThreads();
        // A task that only serves reads its files and never creates or sizes one.
        options.read_only = Settings().serve_only;
        // Without a resume file nothing is kept between runs.
        options.resume_enabled = !id.resume_path.empty();
        if (options.resume_enabled) piece_cache_path = id.piece_cache_path;
        cache_units = Settings().memory_cache_units;
        selection = Blobs().value[ResumeBlobs::kPart];
        resume_data = Blobs().value[ResumeBlobs::kBits];
    }
    RefPtr<TPieces> map = RefPtr<TPieces>::Adopt(
        new TPieces(this, context.DiskLock(), context.GetClock(), context.DiskProbe(), &context.Pools(), &context.Files()));
    map->SetSaveDirectory(directory);
    map->SetOptions(options);
    map->SetCacheUnits(cache_units);
    map->SetPieceCachePath(piece_cache_path);
    map->SetSelection(selection);
    // A link text carries its own cache size.
    if (torrent.FromLinkText()) map->SetCacheUnits(kLinkTextCacheUnits);
    // The progress of a torrent this one replaces is carried over.
    PreviousPieceMap previous(*this, context.DiskLock(), context.GetClock(), context.DiskProbe(), &context.Pools());
    previous.Load(std::exchange(previous_torrent_, std::string()), torrent.InfoHash(),
                  PreviousMapSetup{directory, piece_cache_path, selection, resume_data, options, map->Options().cache_units});
    map->SetResumeData(std::move(resume_data));
    StorageLayout layout = LayoutFromTorrentInfo(torrent.Info());
    layout.info_hash = torrent.InfoHash();
    // Notices of the load (pieces built, have bits, resume data) look at the map.
    pieces_ = map;
    if (!map->LoadLayout(layout, previous.Map())) {
        map->DetachHost();
        pieces_ = RefPtr<TPieces>();
        figures_ = PieceFigures{};
        {
            ScopedLock guard(Lock());
            bitfield_.clear();
            bitfield_pieces_ = 0;
        }
        // Disk trouble and stop requests have their own status; anything else
        // is a torrent whose files cannot be stored (an unsafe name, a bad layout).
        if (!disk_trouble_ && !CheckStop()) {
            live_.status = STATUS_METAINFO_FAILED;
            RequestStop();
        }
        return false;
    }
    SyncFigures();
    CopyFiguresToLive();
    live_.total_size = static_cast<uint64_t>(map->TotalSize());
    live_.piece_length = static_cast<int32_t>(map->PieceLength());
    live_.name = map->Name();
    {
        ScopedLock guard(Lock());
        bitfield_ = map->Bitfield();
        bitfield_pieces_ = static_cast<int32_t>(map->PieceCount());
        for (int32_t i = 0; i < map->FileCount(); ++i) {
            const FileEntry& first = map->File(i);
            if (first.padding) continue;  // never on disk
            first_target_path_ = first.final_path.empty() ? first.path : first.final_path;
            if (Identity().target_file.empty()) Identity().target_file = first_target_path_;
            break;
        }
    }
    {
        std::lock_guard<std::mutex> guard(disk_size_path_mutex_);
        disk_size_path_ = first_target_path_;
    }
    return true;
}

void TWorkWithPieces::DropPieceMap() {
    if (pieces_) {
        pieces_->Clear();
        pieces_->DetachHost();
        pieces_ = RefPtr<TPieces>();
    }
    torrent_ = RefPtr<TTorrent>();
}

bool TWorkWithPieces::ClosePieceFiles() {
    if (!pieces_) return figures_.piece_count > 0 && figures_.finished_pieces >= figures_.piece_count;
    // A task stopped for want of space does not wait for it while closing.
    pieces_->CloseAll(true, true, disk_trouble_.load());
    SyncFigures();
    CopyFiguresToLive();
    return pieces_->AllFinished();
}

void TWorkWithPieces::CollectCheckedPieces() {
    if (!pieces_ || !pieces_->HashesInFlight() || pieces_->CollectHashResults() == 0) return;
    SyncFigures();
    // The last piece matched: it is written and the files closed now, as when
    // a peer's block completes the data (the loop's end condition sees it).
    if (pieces_->NeededPieces() == 0) ClosePieceFiles();
}

void TWorkWithPieces::FlushPieceMap() {
    if (!pieces_) return;
    pieces_->FlushCompletePieces(disk_trouble_.load());
    // The data is flushed to disk off this thread; the resume data naming it
    // follows once that is done.
    pieces_->SaveProgress();
    SyncFigures();
}

void TWorkWithPieces::FlushPieceCaches() {
    if (!pieces_) return;
    if (files_completed_) {
        files_completed_ = false;
        // Complete files get their final names as soon as their data is on disk;
        // the resume data then names them so.
        pieces_->FlushCompletePieces(disk_trouble_.load());
        pieces_->RenameCompleteFiles();
        pieces_->SaveProgress();
    }
    pieces_->PeriodicFlush();
    pieces_->EnforceOpenFileLimit();
    SyncFigures();
}

void TWorkWithPieces::SyncFigures() {
    if (!pieces_) return;
    const TPieces& map = *pieces_;
    figures_.piece_count = static_cast<int32_t>(map.PieceCount());
    figures_.finished_pieces = map.FinishedPieces();
    figures_.wanted_pieces = static_cast<int32_t>(std::clamp<int64_t>(map.WantedPieces(), 0, INT32_MAX));
    figures_.downloaded = static_cast<uint64_t>(std::max<int64_t>(map.VerifiedBytes(), 0));
    figures_.wanted_size = static_cast<uint64_t>(std::max<int64_t>(map.WantedBytes(), 0));
    const int64_t checked = map.CheckProgress() != 0 ? map.CheckProgress() : map.CheckedBytes();
    figures_.checked = static_cast<uint64_t>(std::max<int64_t>(checked, 0));
    figures_.memory_cache_bytes = static_cast<int32_t>(std::clamp<int64_t>(map.MemoryCacheBytes(), 0, INT32_MAX));
}

void TWorkWithPieces::CopyFiguresToLive() {
    live_.piece_count = figures_.piece_count;
    live_.finished_pieces = figures_.finished_pieces;
    live_.wanted_pieces = figures_.wanted_pieces;
    live_.downloaded = figures_.downloaded;
    live_.wanted_size = figures_.wanted_size;
    live_.checked = figures_.checked;
    live_.memory_cache_bytes = figures_.memory_cache_bytes;
}

void TWorkWithPieces::Refresh() {
    SyncFigures();
    CopyFiguresToLive();
    if (live_.checked != live_.total_size) Publish(PublishScope::kStatus, LockWait::kSkipIfBusy);
}

void TWorkWithPieces::Reset(ResetScope scope) {
    if (IsMetainfoReady()) {
        ClosePieceFiles();
        FlushPieceMap();
    }
    DropPieceMap();
    scheduling_position_.store(-1, std::memory_order_relaxed);
    files_completed_ = false;
    // Disk trouble belongs to the run that met it (the files are closed now).
    disk_trouble_ = false;
    {
        ScopedLock guard(Lock());
        bitfield_.clear();
        bitfield_pieces_ = 0;
        if (scope == ResetScope::kAll) first_target_path_.clear();
    }
    if (scope == ResetScope::kAll) {
        std::lock_guard<std::mutex> guard(disk_size_path_mutex_);
        disk_size_path_.clear();
    }
    metainfo_ = ParsedMetainfo{};
    figures_ = PieceFigures{};
    metainfo_ready_ = false;
    scheduling_.Reset();
    {
        ScopedLock guard(Lock());
        file_changes_.clear();
    }
    TWorkWithPeers::Reset(scope);
}

// --- piece scheduling ----------------------------------------------------------

bool TWorkWithPieces::MarkRequested(int32_t piece, bool add, bool drop_all) {
    MarkFacts facts;
    facts.active_peers = ActivePeerCount();
    facts.finished_pieces = figures_.finished_pieces;
    facts.stop_requested = CheckStop();
    const MarkResult result = scheduling_.MarkRequested(piece, add, drop_all, facts);
    if (result.discard_data && pieces_) pieces_->DiscardProgress(piece);
    return result.changed;
}

bool TWorkWithPieces::IsEndgame() { return scheduling_.UpdateEndgame(figures_.finished_pieces); }

int32_t TWorkWithPieces::RandomStartPiece() {
    return zl::RandomStartPiece(random_start_, figures_.piece_count, figures_.finished_pieces, random_);
}

bool TWorkWithPieces::TakeSharedRequests(RequestList& mine, const PieceTest& peer_has, const PieceTest& excluded,
                                         int32_t maximum) {
    if (!pieces_) return false;
    TPieces& map = *pieces_;
    const PieceTest needed = [&map](int32_t piece) {
        return map.PieceValid(piece) && map.Wanted(piece) && !map.Piece(piece).complete;
    };
    return scheduling_.TakeSharedRequests(mine, map.PieceLength(), peer_has, excluded, needed, maximum);
}

void TWorkWithPieces::QueueFileWanted(int32_t file, bool wanted) {
    ScopedLock guard(Lock());
    file_changes_.push_back({file, wanted});
}

void TWorkWithPieces::ApplyPendingChanges() {
    ScopedLock guard(Lock());
    random_start_ = Settings().random_start;
    if (file_changes_.empty() || !IsMetainfoReady() || !pieces_) return;
    for (const FileWantedChange& change : file_changes_)
        if (change.file >= 0 && change.file < pieces_->FileCount()) pieces_->SetFileWanted(change.file, change.wanted);
    file_changes_.clear();
    // Other pieces are missing now: the end game has to be reached again.
    scheduling_.PrioritiesApplied();
    SyncFigures();
    CopyFiguresToLive();
}

void TWorkWithPieces::SchedulingSecond() {
    const bool complete = figures_.piece_count > 0 && figures_.finished_pieces >= figures_.piece_count;
    TPieces* map = pieces_.get();
    const PieceTest had = [map](int32_t piece) {
        return !map || !map->PieceValid(piece) || map->Have(piece) || map->Piece(piece).complete;
    };
    scheduling_.Second(map ? map->PieceLength() : 0, complete, had);
}

}  // namespace zl
