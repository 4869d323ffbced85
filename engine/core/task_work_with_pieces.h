// The piece layer of a task: its metainfo, the figures of its piece map and
// its bitfield. Building the piece map, block scheduling and piece events'
// sources are added by the scheduling layer; the hooks below keep their
// places in the loop.
#pragma once
#include <atomic>
#include <cstdint>
#include <vector>

#include "engine/core/metainfo_source.h"
#include "engine/core/task_work_with_peers.h"

namespace zl {

// Piece-map events a task reacts to.
inline constexpr int32_t kPieceEventDiskFull = 1002;
inline constexpr int32_t kPieceEventDiskRecovered = 1003;
inline constexpr int32_t kPieceEventWriteFailed = 1004;

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

class TWorkWithPieces : public TWorkWithPeers {
public:
    explicit TWorkWithPieces(EngineContext& context);

    bool IsMetainfoReady() const { return metainfo_ready_.load(std::memory_order_acquire); }

    // Bitfield queries (under the task lock): -1 never comes from here.
    int32_t GetBitfieldSize();
    int32_t GetBitfield(uint8_t* buffer, int32_t size);

    // Reacts to a piece-map event: disk full / write failure stop the thread.
    virtual void OnPieceEvent(int32_t kind, int32_t flag, int64_t size, int64_t value);
    bool DiskTrouble() const { return disk_trouble_.load(); }

    // Copies the piece map's figures into the live status; publishes while the
    // start-up check is still running.
    void Refresh() override;

    void Reset(bool full, bool b) override;

    // --- hooks of the scheduling layer ----------------------------------
    // Builds the metainfo (and piece map) from the "torrent" blob. The thin
    // form asks the engine's metainfo parser; false when none is available or
    // the bytes are no torrent.
    virtual bool BuildMetainfo();
    // Serves the queued block reads of the piece layer.
    virtual void ServeBlockReads() {}
    // Closes the target files (renaming finished ones); true when the piece
    // map still reports completion afterwards.
    virtual bool ClosePieceFiles() { return figures_.piece_count > 0 && figures_.finished_pieces >= figures_.piece_count; }
    virtual void FlushPieceMap() {}
    virtual void FlushPieceCaches() {}
    // Uptime seconds since the piece map last received data (0 = unknown).
    virtual uint32_t SecondsWithoutData() { return 0; }
    // Peer search in the DHT (inactive while the engine's DHT switch is off).
    virtual void DhtSearch() {}
    // A "torrent" blob received from a peer that is not built yet.
    virtual bool HasNewTorrentFromPeer() { return false; }

protected:
    PieceFigures figures_;
    ParsedMetainfo metainfo_;
    std::vector<uint8_t> bitfield_;  // published copy, under the task lock
    int32_t bitfield_pieces_ = 0;    // pieces the bitfield describes, under the task lock
    std::atomic<bool> metainfo_ready_{false};
    std::atomic<bool> disk_trouble_{false};
};

}  // namespace zl
