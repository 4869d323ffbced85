// How HTTP and FTP servers share the pieces of a task: each server candidate
// gets a contiguous share of the pieces, cut into sub-ranges for its
// connections; a server connection takes a free range, continues where it
// left off, takes over a range that made no progress, or splits the slowest
// running range according to the two connections' speeds. Owned by the piece
// layer of the task (TWorkWithPieces), which answers the peers' BuildRanges,
// AssignRange and SplitRangeAt through it; facts about the peers come through
// RangePeerFacts. Times are engine-clock seconds.
#pragma once
#include <cstdint>
#include <list>
#include <vector>

#include "engine/core/sched/task_random.h"
#include "engine/net/peer_task.h"

namespace zl {

// --- Building the ranges -----------------------------------------------------

struct ServerCandidateInfo {
    bool server = false;           // HTTP or FTP
    bool whole_content = false;    // fetched whole into memory, never as pieces
    bool metainfo_source = false;  // the source of the task's metainfo
    int32_t max_connections = 1;
};

struct PlannedRange {
    size_t candidate = 0;  // index into the candidates given
    int32_t first = 0;
    int32_t last = 0;
};

struct RangePlan {
    bool ok = false;
    std::vector<PlannedRange> ranges;
    // Per candidate: its new maximum connections (the number of sub-ranges of
    // its share), or -1 when it got no share.
    std::vector<int32_t> max_connections;
};

// Sub-ranges for a share of `length` pieces: min(length, (length + 5) / 5,
// max connections), and at least 1 (a candidate allowed no connection still
// works its share through one).
int32_t SubRangeCount(int64_t length, int32_t max_connections);

// Shares for the server candidates taking part (servers that are neither
// whole-content nor metainfo sources), in candidate order: piece count / n
// pieces each, the last share running to the last piece; with more
// candidates than pieces, one piece each until the pieces run out. Fails
// without pieces or without such candidates.
RangePlan PlanServerRanges(int32_t piece_count, const std::vector<ServerCandidateInfo>& candidates);

// --- Splitting a running range -----------------------------------------------

// The percentage of the remaining pieces a joining connection takes: 50 when
// it never claimed a range, else its share of the two rates; one point more
// when it is more than twice as fast as the owner.
int64_t SplitSharePercent(int64_t peer_rate, int64_t owner_rate, bool peer_claimed_before);

// Pieces taken from the end of `remaining` pieces at `percent` (0: no split).
int64_t SplitTakenPieces(int64_t remaining, int64_t percent, int64_t peer_rate, int64_t owner_rate);

// A server connection whose task's reading position moved more than 6 pieces
// away from where it last looked leaves its range and restarts there.
bool ShouldJumpToPosition(bool is_server, int32_t found_piece, int32_t position, int32_t position_snapshot);

// --- The range list ------------------------------------------------------------

class RangePeerFacts {
public:
    virtual ~RangePeerFacts() = default;
    virtual int64_t DownloadRate(const TPeerObject& peer) = 0;
    virtual int32_t RangesClaimed(const TPeerObject& peer) = 0;
    // The last piece the peer worked on, -1 when none.
    virtual int32_t LastPiece(const TPeerObject& peer) = 0;
    virtual TPeerId* Identity(TPeerObject& peer) = 0;
    // The peer took a range: its claimed-range count goes up.
    virtual void NoteClaimed(TPeerObject& peer) = 0;
    // The owner lets go of its range (the peer's own ReleaseRange).
    virtual void ReleaseOwnedRange(TPeerObject& owner) = 0;
    // The piece map still needs the piece.
    virtual bool PieceNeeded(int32_t piece) = 0;
    virtual int64_t MissingPieces() = 0;
    virtual int64_t PieceLength() = 0;
};

class ServerRanges {
public:
    explicit ServerRanges(RangePeerFacts& facts) : facts_(facts) {}

    bool empty() const { return ranges_.empty(); }
    size_t size() const { return ranges_.size(); }
    std::list<TPieceRange>& ranges() { return ranges_; }
    void Clear() { ranges_.clear(); }

    TPieceRange* Add(int32_t first, int32_t last, TPeerId* source, TPeerObject* owner, uint64_t now);
    // Appends the planned ranges with their candidates as sources.
    void AddPlanned(const RangePlan& plan, const std::vector<TPeerId*>& candidates, uint64_t now);
    void Remove(TPieceRange* range);
    bool PieceInAnyRange(int32_t piece) const;

    // A range for `peer` (it becomes the owner), or null.
    TPieceRange* Assign(TPeerObject& peer, uint64_t now, TaskRandom& random);
    // The running range best split for `peer`, or null.
    TPieceRange* PickToSplit(TPeerObject& peer, uint64_t now);
    // Splits the open range holding `position` so that `peer` owns the part
    // from the position to its end; null when no open range holds it or its
    // owner is working on that very piece.
    TPieceRange* SplitAt(int32_t position, TPeerObject& peer, uint64_t now);

private:
    TPieceRange* Take(TPieceRange& range, TPeerObject& peer, uint64_t now);
    TPieceRange* Split(TPeerObject& peer, uint64_t now);
    TPieceRange* InsertAfter(TPieceRange& old, int32_t first, int32_t last, TPeerObject& peer, uint64_t now);

    RangePeerFacts& facts_;
    std::list<TPieceRange> ranges_;
};

}  // namespace zl
