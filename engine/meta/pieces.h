// TPieces: a task's piece map. It owns the task's target files and the pieces
// in progress, keeps the have-bitfield and the progress counters, checks what
// is already on disk at start, and produces the resume data and the file
// selection list that let a later run continue without reading the data again.
// It talks to its task only through PiecesHost; a task that goes away before
// its last reference calls DetachHost (clearing the map produces the selection
// list as a notice). Used from the task's worker thread; target-file transfers
// of all tasks are serialised by the engine-wide disk lock given here.
#pragma once
#include <algorithm>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "engine/base/clock.h"
#include "engine/base/qmutex.h"
#include "engine/base/ref_object.h"
#include "engine/meta/block_info.h"
#include "engine/meta/block_write.h"
#include "engine/meta/buffer_pool.h"
#include "engine/meta/disk_space.h"
#include "engine/meta/durable_flusher.h"
#include "engine/meta/file_entry.h"
#include "engine/meta/file_piece_map.h"
#include "engine/meta/file_system.h"
#include "engine/meta/hash_workers.h"
#include "engine/meta/piece_in_progress.h"
#include "engine/meta/storage_layout.h"

namespace zl {

// {kind, flag, size, value}; `data` carries the bytes of kinds 1000 and 1001.
// A hash verdict of the workers comes as PiecesHost::OnPieceChecked instead.
struct PieceNotice {
    int32_t kind = 0;
    int32_t flag = 0;
    int32_t size = 0;
    int64_t value = 0;
    const uint8_t* data = nullptr;
};

enum PieceNoticeKind : int32_t {
    kNoticeHave = 1,            // flag: have; value: piece index
    kNoticeHaveAll = 2,         // flag: have
    kNoticeStateEstablished = 3,
    kNoticePiecesBuilt = 100,   // value: piece count
    kNoticeSelection = 1000,    // data/size: selection list bytes
    kNoticeResumeData = 1001,   // data/size: resume data bytes; size 0: clear
    kNoticeDiskFull = 1002,
    kNoticeDiskSpaceBack = 1003,
    kNoticeFileOpenFailed = 1004,
};

class PiecesHost {
public:
    virtual ~PiecesHost() = default;
    virtual void OnPieceNotice(const PieceNotice& notice) = 0;
    // The verdict on a piece hashed on a worker (CollectHashResults): it
    // matched and counts as verified, or it was emptied.
    virtual void OnPieceChecked(int32_t /*piece*/, bool /*ok*/) {}
    virtual bool StopRequested() { return false; }
    // The task's explicit target path for a single-file torrent ("" when none).
    virtual std::string ExplicitTargetPath() { return {}; }
};

struct StorageOptions {
    int32_t cache_units = 32;  // memory cache in units of 256 KiB, 4..8000 when set from a task
    bool preallocate = true;   // size whole files on first write
    bool quick_check = false;
    bool resume_enabled = true;
    bool force_full_check = false;
    std::string temp_suffix = ".zltmp";
    bool always_temp_name = true;
    // Only look: no file is created, sized or renamed (a check from the command line).
    bool read_only = false;
    // Flush the data before the resume data names it (off only to measure the cost).
    bool durable = true;
    // Trust resume data or nothing: when it does not fit, no check runs and
    // nothing counts as on disk (a map that only carries progress over).
    bool resume_only = false;
    // Worker threads that check the hash of pieces completed in memory (0:
    // each is checked at once, on the thread that delivered its last block).
    int32_t hash_threads = 0;
};

// WritePieceBytes: the written bytes did not read back as they were hashed.
constexpr int32_t kPieceWriteVerifyFailed = -100;

class TPieces : public TRefObject {
public:
    // The disk lock is the engine-wide one; `probe`, `pools` and `fs` default to
    // the real volume query, the shared pools and the real file system.
    TPieces(PiecesHost* host, QTMutex& disk_lock, Clock& clock, DiskSpaceProbe* probe = nullptr,
            BufferPools* pools = nullptr, FileSystem* fs = nullptr);

    // The task lets go of the map: no notice reaches it afterwards.
    void DetachHost() { host_ = nullptr; }

    // --- configuration (before loading) ---
    void SetSaveDirectory(const std::string& dir);  // stored with a trailing "/"
    void SetOptions(const StorageOptions& options);
    void SetCacheUnits(int32_t units);               // clamped to 4..8000
    void SetPieceCachePath(const std::string& path) { piece_cache_path_ = path; }
    void SetSelection(std::string bytes) { selection_ = std::move(bytes); }
    void SetResumeData(std::string bytes) { resume_data_ = std::move(bytes); }

    // --- loading ---
    // Builds files and pieces from `layout` and establishes which pieces are on
    // disk. With a `previous` map of the same files (an earlier load with
    // another piece length or other hashes) its progress is carried over
    // (TransferFrom) instead of reading resume data.
    [[nodiscard]] bool LoadLayout(const StorageLayout& layout, TPieces* previous = nullptr);
    // Frees files and pieces (after producing the selection list).
    void Clear();

    // --- state ---
    bool SetPieceHave(int32_t index, bool have);
    bool SetFileWanted(int32_t file, bool wanted);
    bool PieceValid(int32_t index) const;
    bool Have(int32_t index) const;
    bool Wanted(int32_t index) const;
    bool FileComplete(int32_t file) const;
    bool FileFullyUnwanted(int32_t file) const;
    bool AllFinished() const { return finished_pieces_ >= geometry_.piece_count() && verified_bytes_ >= geometry_.total_size(); }
    bool CheckFinished() const { return checked_bytes_ >= geometry_.total_size(); }
    // Pieces wanted and neither had nor complete in memory (kept as they change).
    int64_t NeededPieces() const {
        return std::max<int64_t>(0, int64_t(geometry_.piece_count()) - finished_pieces_ - complete_not_had_);
    }

    // --- receiving data ---
    // Stores a block. A block that completes its piece verifies it at once; a
    // piece that fails its hash is emptied, and the caller charges whoever sent it.
    // With hash workers the piece is handed to them instead (kPieceQueued):
    // it takes no more blocks until CollectHashResults gives the verdict.
    BlockWriteResult ReceiveBlock(int32_t index, int64_t offset, int32_t length, const uint8_t* bytes);
    // Memory where the bytes of a wanted, missing block of a piece in progress
    // may be received in place (one span of the piece's memory), or null.
    // Nothing counts until ReceiveBlock is called with these bytes; the
    // pointer holds only until the piece map is called again.
    uint8_t* BlockBuffer(int32_t index, int64_t offset, int32_t length);
    // Takes the verdicts of the workers that are ready, in the order the pieces
    // completed: a piece that matched counts as verified (as one checked at
    // once), one that failed is emptied; each reaches the host's OnPieceChecked.
    // Returns the verdicts taken.
    size_t CollectHashResults();
    // Waits for every piece on the workers and takes the verdicts.
    void FinishHashing();
    // Pieces on the workers whose verdict was not taken yet.
    bool HashesInFlight() const { return hashing_pieces_ > 0; }
    // Gives up the blocks of a piece still in progress that are only in memory
    // (a piece every peer stopped requesting). A verified piece and the bytes
    // already written with their hash state stay. True when bytes were dropped.
    bool DiscardProgress(int32_t index);
    // Bytes of a piece for an upload; from memory when present, else read from disk
    // with read-ahead into the cache. `readahead_hint` counts blocks (0: 64 KiB).
    int32_t ReadForUpload(int32_t index, uint8_t* out, int32_t length, int32_t offset, int32_t readahead_hint = 0,
                          bool regardless = false);

    // --- periodic work and closing ---
    void PeriodicFlush();
    void TrimCache(bool force = false);
    // Writes complete pieces held in memory; `no_wait`: give up rather than wait for space.
    void FlushCompletePieces(bool no_wait);
    // Closes every file; with `flush`, complete pieces held in memory are written
    // first (`no_wait`: without waiting for disk space, as when the task stops
    // because the disk is full), complete files are renamed and the piece-cache
    // file saved.
    void CloseAll(bool write_resume, bool flush, bool no_wait = false);
    // Closes every handle when too many are open.
    void EnforceOpenFileLimit();

    // --- storage (files) ---
    bool PrepareAllFiles();
    [[nodiscard]] int64_t WritePieceBytes(int32_t index, const uint8_t* bytes, int64_t n, int64_t offset, bool verified);
    [[nodiscard]] int64_t ReadPieceBytes(int32_t index, uint8_t* out, int64_t n, int64_t offset);
    // Entries covered by a piece (empty when it cannot be located); sets the piece's position cache.
    // The non-empty files holding a piece's bytes, in order (nothing is opened or closed).
    std::vector<FileEntry*> LocatePiece(int32_t index);
    const FilePieceMap& FileMap() const { return file_map_; }
    bool RenameCompleteFiles();
    // Makes every byte written so far, the files' sizes and their names
    // durable (one fdatasync per written file, one fsync per changed folder).
    // Resume data names a piece only after this: a power cut never leaves a
    // trusted piece whose bytes did not reach the disk. False when a file
    // could not be flushed (the task then stops with a write failure).
    bool MakeDurable();
    // Durability steps taken (file and folder flushes), for measurements.
    uint64_t DurableSyncs() const { return durable_syncs_; }

    // --- checks ---
    // Carries the progress of `previous` over: every new piece whose bytes
    // the previous map holds (verified, written or in memory) is hashed and
    // kept when it matches; the held blocks of a piece that is not whole yet
    // stay as its progress (on disk from its start, else in memory up to half
    // the memory cache). False, with nothing changed, unless both maps hold
    // the same files at the same paths, all of them wanted, and this map has
    // piece hashes.
    bool TransferFrom(TPieces& previous);
    bool FullCheck();
    bool QuickCheck();
    bool VerifyPieceBuffer(int32_t index, const uint8_t* data);

    // --- resume data and selection ---
    // Produces the resume data now, after making what it names durable (a
    // complete download whose bytes are not durable yet produces none: it
    // would trust pieces a power cut can take, and nothing needs it).
    void WriteResumeData();
    // The periodic save, which never waits for the disk: it hands what was
    // written since the last save to the flusher thread with the resume data
    // of this moment, and a later call, once that flush ended, produces that
    // resume data. Without anything to flush it produces it at once.
    void SaveProgress();
    // A flush runs whose resume data is still to be produced.
    bool ProgressSavePending() const { return flusher_.Busy(); }
    bool ReadResumeData();
    void ExportSelection();
    void ImportSelection();
    bool SavePieceCache();
    bool LoadPieceCache();

    // --- accessors ---
    const BlockInfo& Geometry() const { return geometry_; }
    int64_t PieceCount() const { return geometry_.piece_count(); }
    int64_t PieceLength() const { return geometry_.piece_length(); }
    int64_t TotalSize() const { return geometry_.total_size(); }
    int64_t CheckedBytes() const { return checked_bytes_; }
    int64_t VerifiedBytes() const { return verified_bytes_; }
    // Bytes the last quick check actually hashed (its sampled pieces).
    int64_t SampledBytes() const { return sampled_bytes_; }
    int64_t WantedBytes() const { return wanted_bytes_; }
    int64_t WantedPieces() const { return wanted_pieces_; }
    int32_t FinishedPieces() const { return finished_pieces_; }
    int64_t CheckProgress() const { return check_progress_; }
    int64_t MemoryCacheBytes() const { return memory_cache_bytes_; }
    int64_t CompleteInMemoryBytes() const { return complete_in_memory_; }
    int64_t MemoryCacheSize() const;
    int32_t LastCompleted() const { return last_completed_; }
    const std::vector<uint8_t>& Bitfield() const { return bitfield_; }
    const std::string& Name() const { return name_; }
    const std::string& SaveDirectory() const { return save_dir_; }
    int32_t FileCount() const { return int32_t(files_.size()); }
    FileEntry& File(int32_t i) { return *files_[size_t(i)]; }
    const FileEntry& File(int32_t i) const { return *files_[size_t(i)]; }
    PieceInProgress& Piece(int32_t i) { return *pieces_[size_t(i)]; }
    bool InfoLoaded() const { return info_loaded_; }
    const Sha1Digest& InfoHash() const { return info_hash_; }
    const std::string& ResumeData() const { return resume_data_; }
    const std::vector<int32_t>& PartialPieces() const { return partial_; }
    const StorageOptions& Options() const { return options_; }
    uint64_t BlockReads() const { return block_reads_; }
    uint64_t BlockCacheHits() const { return block_cache_hits_; }

protected:
    ~TPieces() override;

private:
    friend class TPiecesTestPeer;

    bool BuildPieces();
    bool EstablishState();
    bool SameFilesAs(const TPieces& other) const;
    // Transfer helpers (transfer_from.cpp).
    enum class HeldAt : uint8_t { kNowhere, kDisk, kMemory };
    HeldAt WhereHeld(int64_t block, bool verified_only) const;
    bool ReadHeldBytes(TPieces& previous, int32_t index, const std::vector<HeldAt>& held, int32_t from, int32_t to,
                       uint8_t* out);
    void Notice(int32_t kind, int32_t flag, int32_t size = 0, int64_t value = 0, const uint8_t* data = nullptr);
    bool Stop() const { return host_ && host_->StopRequested(); }
    int64_t Now() const { return int64_t(clock_.TickMs() / 1000); }
    int32_t PieceSize(int32_t index) const;

    // Storage helpers.
    bool PrepareFile(FileEntry& entry, int64_t required, bool for_writing, ScopedLock* lock, bool no_extend);
    bool WaitForSpace(const FileEntry& entry, int64_t missing, ScopedLock* lock);
    // A write or sizing the file system refused with `error` (errno): a full
    // volume or quota is the disk full, any other error a failed write.
    void ReportWriteError(int error);
    // Where bytes at in-file position `p` of a piece that starts at in-file `start`
    // are stored in an unwanted file (only the first piece length is kept in place).
    int64_t UnwantedPosition(int64_t start, int64_t p, int64_t n) const;
    // Calls fn(file, position in the file, length, piece-relative start) for each
    // stretch of the piece's bytes [offset, end) in the files that hold them, until
    // fn returns false. False when no file holds the piece.
    template <class Fn>
    bool ForEachFileSpan(int32_t index, int64_t offset, int64_t end, Fn&& fn);
    void CloseFiles();
    int32_t CountOpenFiles() const;
    // A file (or its name) changed: the next MakeDurable flushes it.
    void MarkUnsynced(FileEntry& entry) { entry.unsynced = true; }
    void MarkWritten(FileEntry& entry, int64_t position, int64_t length);
    bool AnyUnsynced() const;
    std::string BuildResumeData();
    void ProduceResumeData(const std::string& bytes);
    // Ends the flush in flight: waits for it (or cancels it) and takes its
    // result; a cancelled flush leaves its files to the next one.
    void SettleFlush(bool cancel);
    void FlushEnded(bool ok);
    void MarkFolderUnsynced(const std::string& path);

    // Piece helpers.
    bool HashMatches(PieceInProgress& piece, bool from_memory_tail);
    // The piece (whole in memory) goes to the hash workers.
    void SubmitHash(PieceInProgress& piece);
    // The piece matched its hash: it is held complete until written.
    void PieceVerified(PieceInProgress& piece);
    void ResetPiece(PieceInProgress& piece);
    void ReleasePiece(PieceInProgress& piece);
    void DropMemory(PieceInProgress& piece);
    int32_t FlushPartial(PieceInProgress& piece, int32_t minimum);
    int32_t FlushComplete(PieceInProgress& piece);
    // A piece became held complete: it joins the list the next write takes.
    void MarkHeld(PieceInProgress& piece);
    // Writes every held-complete piece: runs of adjacent pieces go out as one
    // gathered write per file, straight from the pieces' chunks.
    void FlushHeldPieces();
    // Writes pieces [first, last] (adjacent, held complete, whole in memory,
    // every piece after the first with nothing written yet) and marks them
    // had; false (the run's pieces emptied) when the write fell short.
    bool WriteHeldRun(int32_t first, int32_t last);
    // The piece's bytes lie in wanted files only (gathered writes do not map
    // the unwanted-file layout).
    bool InWantedFilesOnly(int32_t index) const;
    // Bytes of verified pieces that may wait in memory for the periodic flush.
    int64_t HeldCompleteLimit() const;
    // Every change of a piece's complete flag goes through here (NeededPieces).
    void SetComplete(PieceInProgress& piece, bool complete);
    void MarkPartial(int32_t index);
    void UnmarkPartial(int32_t index);
    void RecountFinished();
    uint8_t* Scratch();

    PiecesHost* host_;
    QTMutex& disk_lock_;
    Clock& clock_;
    DiskSpaceProbe& probe_;
    BufferPools& pools_;
    FileSystem& fs_;

    bool info_loaded_ = false;
    StorageOptions options_;
    std::string piece_cache_path_;
    std::string selection_;
    std::string resume_data_;
    std::unique_ptr<uint8_t[]> scratch_;
    std::vector<uint8_t> bitfield_;
    std::string piece_hashes_;
    std::string save_dir_;
    std::string name_;
    Sha1Digest info_hash_{};
    BlockInfo geometry_;
    FilePieceMap file_map_;
    std::vector<std::unique_ptr<PieceInProgress>> pieces_;
    std::vector<std::unique_ptr<FileEntry>> files_;
    std::vector<int32_t> partial_;
    int64_t checked_bytes_ = 0;
    int64_t sampled_bytes_ = 0;
    int64_t verified_bytes_ = 0;
    int64_t wanted_bytes_ = 0;
    int64_t wanted_pieces_ = 0;
    int32_t finished_pieces_ = 0;
    int64_t complete_not_had_ = 0;  // pieces complete (verified) and wanted but not had
    int64_t memory_cache_bytes_ = 0;
    int32_t last_completed_ = -1;
    int64_t check_progress_ = 0;
    int64_t created_at_ = 0;
    int64_t last_trim_ = 0;
    uint64_t block_reads_ = 0;
    uint64_t block_cache_hits_ = 0;
    int64_t complete_in_memory_ = 0;
    std::vector<int32_t> held_;  // pieces marked held complete since the last write (may repeat)
    int64_t in_progress_written_ = 0;
    int64_t in_progress_present_ = 0;
    bool stop_wait_ = false;
    bool waiting_for_space_ = false;
    std::vector<std::string> unsynced_folders_;
    DurableFlusher flusher_;
    std::string flushing_resume_;  // the resume data the flush in flight makes true
    struct Flushing {
        int32_t file;
        int64_t from, to;
    };
    std::vector<Flushing> flushing_files_;
    // A flush failed: what was written since may not be on disk, so no resume
    // data naming it is produced any more.
    bool durability_lost_ = false;
    uint64_t durable_syncs_ = 0;
    TPieces* previous_ = nullptr;  // during LoadLayout only
    std::unique_ptr<HashWorkers> hashers_;
    int64_t hashing_pieces_ = 0;
    uint64_t hash_serial_ = 0;
};

}  // namespace zl
