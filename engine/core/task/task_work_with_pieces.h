// The piece layer of a task: its metainfo, its piece map (the target files,
// the check of what is on disk, the resume data), the figures of the map and
// the published bitfield. Block scheduling is added by the scheduling layer;
// its hooks below keep their places in the loop.
#pragma once
#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "engine/core/peers/ip_filter.h"
#include "engine/core/task/metainfo_source.h"
#include "engine/core/sched/task_random.h"
#include "engine/core/sched/scheduling_state.h"
#include "engine/core/task/task_work_with_peers.h"
#include "engine/meta/pieces.h"
#include "engine/meta/torrent.h"

namespace zl {

// What the piece map knows, copied into the live status by Refresh.
struct PieceFigures {
    int32_t piece_count = 0;
    int32_t finished_pieces = 0;
    int32_t wanted_pieces = 0;
    uint64_t downloaded = 0;
    uint64_t wanted_size = 0;
    uint64_t checked = 0;
    int32_t memory_cache_bytes = 0;
};

class TWorkWithPieces : public TWorkWithPeers, public PiecesHost {
public:
    explicit TWorkWithPieces(EngineContext& context);
    ~TWorkWithPieces() override;

    bool IsMetainfoReady() const { return metainfo_ready_.load(std::memory_order_acquire); }

    // Bitfield queries (under the task lock): -1 never comes from here.
    int32_t GetBitfieldSize();
    int32_t GetBitfield(uint8_t* buffer, int32_t size);

    // Reacts to a piece-map event (the PieceNotice kinds without bytes): have
    // bits keep the bitfield copy in step, disk full / write failure stop the
    // thread, disk space coming back clears the trouble.
    virtual void OnPieceEvent(int32_t kind, int32_t flag, int64_t size, int64_t value);
    // Takes the verdicts of pieces hashed on the piece map's workers (each
    // loop step, before the peers' pass).
    void CollectCheckedPieces();
    bool DiskTrouble() const { return disk_trouble_.load(); }

    // --- PiecesHost: the piece map's side of the task (worker thread) ---
    void OnPieceNotice(const PieceNotice& notice) override;
    // Asked between pieces of the start-up check: also shows how far it is (task_check_progress.cpp).
    bool StopRequested() override;
    std::string ExplicitTargetPath() override;

    // Bytes the first target file (or its temporary companion) occupies on
    // disk; -1 before the piece map has named the files. Any thread.
    int64_t TargetDiskSize();

    // The task's copy of the engine's IP filter, taken when the piece map is built.
    const CIPFilter& TaskIpFilter() const { return ip_filter_; }
    // The piece map and its torrent; null before the map is built (worker thread).
    TPieces* PieceMap() { return pieces_.get(); }
    TTorrent* Torrent() { return torrent_.get(); }

    // Copies the piece map's figures into the live status; publishes while the
    // start-up check is still running.
    void Refresh() override;

    void Reset(ResetScope scope) override;

    // --- hooks of the scheduling layer ----------------------------------
    // Builds the metainfo and the piece map from the "torrent" blob: the
    // engine's metainfo parser gives the figures; bytes that load as a torrent
    // also get a piece map over the target files, which checks what is on disk
    // (or trusts matching resume data). False when no parser is available, the
    // bytes are no torrent, or the piece map cannot be loaded.
    virtual bool BuildMetainfo();
    // Builds the metainfo and the piece map of a task link text: a single
    // file whose pieces are accepted without hashing. A text that cannot be
    // read stops the task with the metainfo status.
    bool BuildLinkTextMetainfo(const std::string& text);
    // Reads `length` bytes at `offset` of file `file_index` of the task's data
    // through the worker thread (any other thread): the bytes read, or one of
    // the block-read codes (block_read.h). The read also tells server sources
    // where the reader is, so they fetch from there first.
    int32_t ReadBlock(int32_t file_index, uint8_t* destination, int64_t offset, int32_t length);
    // Serves the queued block reads (worker thread, from every step).
    virtual void ServeBlockReads();
    // The first piece of the latest block read; -1 before any.
    int32_t SchedulingPosition() const { return scheduling_position_.load(std::memory_order_relaxed); }
    // Closes the target files (renaming finished ones, writing the resume
    // data); true when the piece map still reports completion afterwards.
    virtual bool ClosePieceFiles();
    // Writes complete pieces held in memory and refreshes the resume data.
    virtual void FlushPieceMap();
    // Lets the piece map flush idle partial pieces and trim its cache.
    virtual void FlushPieceCaches();
    // Uptime seconds since the piece map last received data (0 = unknown).
    virtual uint32_t SecondsWithoutData() { return 0; }
    // Peer search in the DHT (inactive while the engine's DHT switch is off).
    virtual void DhtSearch() {}
    // A "torrent" blob received from a peer that is not built yet.
    virtual bool HasNewTorrentFromPeer() { return false; }

    // --- piece scheduling for BitTorrent peers (worker thread) -----------
    // add: one more peer requests the piece (false when enough peers do);
    // drop_all: every peer stops requesting it, and its data in progress is
    // given up unless in an end game with more than 3 pieces missing or while
    // stopping; otherwise one peer stops. True when an entry changed.
    bool MarkRequested(int32_t piece, bool add, bool drop_all);
    // Recomputes the end game: as many request entries as missing pieces.
    bool IsEndgame();
    bool InEndgame() const { return scheduling_.InEndgame(); }
    // The end game was reached since the last priority change or reset.
    bool EndgameSeen() const { return scheduling_.EndgameSeen(); }
    // Where a BitTorrent peer starts its piece choice (always a valid piece; 0
    // when random start is off or there are no pieces).
    int32_t RandomStartPiece();
    // Moves the shared requests of the first piece the peer has, that is not
    // excluded and that is still needed, into the peer's list.
    bool TakeSharedRequests(RequestList& mine, const PieceTest& peer_has, const PieceTest& excluded, int32_t maximum);
    TaskScheduling& Scheduling() { return scheduling_; }
    // Queues a change of a file's wanted state (any thread); the worker
    // applies it with the next second's pending changes.
    void QueueFileWanted(int32_t file, bool wanted);
    // Applies the queued file changes to the piece map (worker thread, under
    // the task lock) and takes the scheduling settings.
    void ApplyPendingChanges() override;
    // Once a second: shared requests of pieces already had are dropped (all
    // of them once the data is complete), and the have announcements come out
    // as a batch of "have" message buffers when one is due (every 7 s at most).
    void SchedulingSecond();
    // Completed pieces to announce, when their batch is due.
    std::vector<std::vector<uint8_t>> TakeHaveBatch(uint64_t now_ms) { return scheduling_.TakeHaves(now_ms); }

protected:
    // Peers connected right now (the allowed-requesters rule counts them).
    virtual int64_t ActivePeerCount() { return 0; }
    // The task's generator: seeded once when the task is built.
    TaskRandom& Random() { return random_; }
    // The seed this task's generators derive from (the peers take stream 2).
    uint64_t RandomSeed() const { return seed_; }

    // Copies the piece map's counters into the figures, and the figures into
    // the live status (worker thread).
    void SyncFigures();
    void CopyFiguresToLive();
    // Final path of the first target file, "" before the files are known (under the task lock).
    std::string FirstTargetPath();

    PieceFigures figures_;
    ParsedMetainfo metainfo_;
    std::vector<uint8_t> bitfield_;  // published copy, under the task lock
    int32_t bitfield_pieces_ = 0;    // pieces the bitfield describes, under the task lock
    std::atomic<bool> metainfo_ready_{false};
    std::atomic<bool> disk_trouble_{false};
    // The torrent an earlier run used, when the current one replaces it: the
    // next piece map carries its progress over (worker thread).
    std::string previous_torrent_;

private:
    // Shows the figures of new metainfo and drops the old piece map.
    void TakeMetainfo(const ParsedMetainfo& parsed);
    bool BuildPieceMap(const TTorrent& torrent);
    // Clears the map (its selection list still reaches the blobs) and lets it go.
    void DropPieceMap();
    void StoreSelection(const PieceNotice& notice);
    void StoreResumeData(const PieceNotice& notice);

    struct BlockReadRequest;
    void ServeBlockRead(BlockReadRequest& request);

    RefPtr<TTorrent> torrent_;
    RefPtr<TPieces> pieces_;
    TaskScheduling scheduling_;
    uint64_t seed_;  // from the engine context: the generators of this task derive from it
    TaskRandom random_;
    bool random_start_ = true;  // the settings' switch, taken under the task lock
    struct FileWantedChange {
        int32_t file = 0;
        bool wanted = true;
    };
    std::vector<FileWantedChange> file_changes_;  // under the task lock
    // Block reads waiting for the worker: the readers' own records, listed
    // and withdrawn under the piece-layer lock.
    QTMutex piece_layer_lock_;
    std::vector<BlockReadRequest*> read_queue_;
    std::atomic<int32_t> scheduling_position_{-1};
    CIPFilter ip_filter_;
    bool files_completed_ = false;   // a have bit after the check: rename complete files (worker thread)
    std::string first_target_path_;  // under the task lock
    // The same path for the disk-size query, which the loop asks on every pass
    // without waiting for the task lock.
    std::mutex disk_size_path_mutex_;
    std::string disk_size_path_;
    // A clear of the resume data followed by the same bytes is no change, so
    // an idle task does not rewrite its resume file (under the task lock).
    bool bits_clear_pending_ = false;
    bool bits_dirty_before_clear_ = false;
    std::string bits_before_clear_;
    uint64_t last_check_publish_ms_ = 0;  // the start-up check's progress was last shown
};

}  // namespace zl
