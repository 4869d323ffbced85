// The piece-scheduling state a task keeps for its BitTorrent peers: which
// pieces are requested and by how many peers, the end game, the shared list
// of handed-back block requests, and the completed pieces waiting to be
// announced. Owned by the piece layer of the task (TWorkWithPieces), which
// supplies the piece map's facts; used only by the worker thread.
#pragma once
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "engine/core/sched/have_announcer.h"
#include "engine/core/sched/requested_pieces.h"

namespace zl {

// The request records stay out of this header: the piece map's headers,
// which the task includes beside it, name their block size differently.
struct RequestRecord;
class RequestList;
using PieceTest = std::function<bool(int32_t piece)>;

// What marking a piece needs to know about the task at that moment.
struct MarkFacts {
    int64_t active_peers = 0;
    int32_t finished_pieces = 0;
    bool stop_requested = false;
};

struct MarkResult {
    bool changed = false;        // an entry was added or removed
    bool discard_data = false;   // drop-all: the piece's data in progress is to be discarded
};

class TaskScheduling {
public:
    TaskScheduling();
    ~TaskScheduling();
    TaskScheduling(const TaskScheduling&) = delete;
    TaskScheduling& operator=(const TaskScheduling&) = delete;

    // The piece map was (re)built with `piece_count` pieces: every request
    // and queued announcement of the old map is forgotten.
    void Resize(int32_t piece_count);
    // A new run: everything is emptied, the end game forgotten.
    void Reset();
    int32_t PieceCount() const { return requested_.PieceCount(); }

    // The piece became had after the check: no peer requests it any more and
    // it is announced with the next batch (once, however often it is reported).
    // False for an index outside the piece map.
    bool PieceHad(int32_t piece);

    // add: one more requester when the allowed-requesters rule lets it;
    // drop_all: every requester stops (and the data in progress is given up
    // unless in an end game with more than 3 missing pieces, or stopping);
    // otherwise one requester stops.
    MarkResult MarkRequested(int32_t piece, bool add, bool drop_all, const MarkFacts& facts);
    // Recomputes the end game from the entries and the missing pieces.
    bool UpdateEndgame(int32_t finished_pieces);
    bool InEndgame() const { return endgame_.InEndgame(); }
    bool EndgameSeen() const { return endgame_.Seen(); }
    // File priorities changed: the end game must be seen anew.
    void PrioritiesApplied() { endgame_.ClearSeen(); }
    const RequestedPieces& Requested() const { return requested_; }

    // --- the shared request list ---
    bool SharedListed(int64_t block) const;
    // False when the block is already listed.
    bool AddShared(const RequestRecord& record);
    // Removes the request for exactly (block, length); false when none matches.
    bool TakeShared(int64_t block, int32_t length);
    // A leaving peer's requests: listed for others, or freed when stopping.
    void ReturnRequests(std::vector<RequestRecord>& records, bool stop_requested);
    // The BitTorrent piece choice: the shared requests of the first piece the
    // peer has, that is not excluded and is still needed, move to the peer.
    bool TakeSharedRequests(RequestList& mine, int64_t piece_length, const PieceTest& peer_has,
                            const PieceTest& excluded, const PieceTest& needed, int32_t maximum);
    size_t SharedCount() const;

    // Once a second: shared requests of pieces already had go (all of them
    // once the data is complete).
    void Second(int64_t piece_length, bool data_complete, const PieceTest& had);
    // The have batch when due (HaveAnnouncer), else nothing.
    std::vector<std::vector<uint8_t>> TakeHaves(uint64_t now_ms) { return haves_.TakeBatch(now_ms); }
    size_t PendingAnnouncements() const { return haves_.Pending(); }

private:
    RequestedPieces requested_;
    EndgameState endgame_;
    HaveAnnouncer haves_;
    std::unique_ptr<RequestList> shared_;
};

}  // namespace zl
