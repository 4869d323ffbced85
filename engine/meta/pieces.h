// TPieces: a task's piece map. It owns the task's target files and the pieces
// in progress, keeps the have-bitfield and the progress counters, checks what
// is already on disk at start, and produces the resume data and the file
// selection list that let a later run continue without reading the data again.
// It talks to its task only through PiecesHost; a task that goes away before
// its last reference calls DetachHost (clearing the map produces the selection
// list as a notice). Used from the task's worker thread; target-file transfers
// of all tasks are serialised by the engine-wide disk lock given here.
#pragma once
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
#include "engine/meta/file_entry.h"
#include "engine/meta/file_piece_map.h"
#include "engine/meta/piece_in_progress.h"
#include "engine/meta/storage_layout.h"

namespace zl {

// {kind, flag, size, value}; `data` carries the bytes of kinds 1000 and 1001.
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
};

// WritePieceBytes: the written bytes did not read back as they were hashed.
constexpr int32_t kPieceWriteVerifyFailed = -100;

class TPieces : public TRefObject {
public:
    // The disk lock is the engine-wide one; `probe` and `pools` default to the
    // real volume query and the shared pools.
    TPieces(PiecesHost* host, QTMutex& disk_lock, Clock& clock, DiskSpaceProbe* probe = nullptr,
            BufferPools* pools = nullptr);

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
    // Builds files and pieces from `layout` and establishes which pieces are on disk.
    [[nodiscard]] bool LoadLayout(const StorageLayout& layout);
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

    // --- receiving data ---
    // Stores a block. A block that completes its piece verifies it at once; a
    // piece that fails its hash is emptied, and the caller charges whoever sent it.
    BlockWriteResult ReceiveBlock(int32_t index, const uint8_t* bytes, int32_t length, int64_t offset);
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

    // --- checks ---
    bool FullCheck();
    bool QuickCheck();
    bool VerifyPieceBuffer(int32_t index, const uint8_t* data);

    // --- resume data and selection ---
    void WriteResumeData();
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
    void Notice(int32_t kind, int32_t flag, int32_t size = 0, int64_t value = 0, const uint8_t* data = nullptr);
    bool Stop() const { return host_ && host_->StopRequested(); }
    int64_t Now() const { return int64_t(clock_.TickMs() / 1000); }
    int32_t PieceSize(int32_t index) const;

    // Storage helpers.
    bool PrepareFile(FileEntry& entry, int64_t required, bool for_writing, ScopedLock* lock, bool no_extend);
    bool WaitForSpace(const FileEntry& entry, int64_t missing, ScopedLock* lock);
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

    // Piece helpers.
    bool HashMatches(PieceInProgress& piece, bool from_memory_tail);
    void ResetPiece(PieceInProgress& piece);
    void ReleasePiece(PieceInProgress& piece);
    void DropMemory(PieceInProgress& piece);
    int32_t FlushPartial(PieceInProgress& piece, int32_t minimum);
    int32_t FlushComplete(PieceInProgress& piece);
    // Bytes of verified pieces that may wait in memory for the periodic flush.
    int64_t HeldCompleteLimit() const;
    void MarkPartial(int32_t index);
    void UnmarkPartial(int32_t index);
    void RecountFinished();
    uint8_t* Scratch();

    PiecesHost* host_;
    QTMutex& disk_lock_;
    Clock& clock_;
    DiskSpaceProbe& probe_;
    BufferPools& pools_;

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
    int64_t memory_cache_bytes_ = 0;
    int32_t last_completed_ = -1;
    int64_t check_progress_ = 0;
    int64_t created_at_ = 0;
    int64_t last_trim_ = 0;
    uint64_t block_reads_ = 0;
    uint64_t block_cache_hits_ = 0;
    int64_t complete_in_memory_ = 0;
    int64_t in_progress_written_ = 0;
    int64_t in_progress_present_ = 0;
    bool stop_wait_ = false;
    bool waiting_for_space_ = false;
};

}  // namespace zl
