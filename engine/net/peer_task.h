// What a peer needs from its task: piece-map facts, the server ranges, the
// shared request list, block delivery and source bookkeeping. The task object
// implements this; tests drive peers against a small fake.
#pragma once
#include <cstdint>
#include <vector>

#include "engine/base/ref_object.h"
#include "engine/meta/block_info.h"
#include "engine/meta/block_write.h"
#include "engine/net/peer_id.h"
#include "engine/net/peer_requests.h"

namespace zl {

class Clock;
class TPeerObject;

// One server work unit: a run of pieces a server peer works through.
struct TPieceRange {
    int32_t first = 0;
    int32_t last = 0;
    int32_t current = 0;
    bool finished = false;
    bool incomplete = false;
    bool discard = false;
    // A run chosen for a server on its own (not a share of the file): the
    // server asks for exactly its bytes, so nothing is sent past its end.
    bool bounded = false;
    uint64_t assigned_at = 0;  // engine seconds of the last assignment
    RefPtr<TPeerId> source;
    TPeerObject* owner = nullptr;
    int64_t blocks_received = 0;
};

class IPeerTask {
public:
    virtual ~IPeerTask() = default;

    virtual Clock& clock() = 0;
    // The engine clock in seconds: request times, attach and last-data times.
    virtual uint64_t EngineSeconds() = 0;

    // Piece map facts.
    virtual bool HasMetadata() = 0;
    // The block geometry of the task's data; empty while the piece map is unknown.
    virtual BlockInfo Geometry() = 0;
    int32_t PieceCount() { return Geometry().piece_count(); }
    int64_t PieceLength() { return Geometry().piece_length(); }
    int64_t PieceSize(int32_t piece) { return Geometry().PieceSize(piece); }  // the last may be shorter
    virtual bool PieceWanted(int32_t piece) = 0;
    // First missing byte of a piece and the piece's size; false when nothing is missing.
    virtual bool MissingSpan(int32_t piece, int64_t* first_missing, int64_t* piece_size) = 0;
    virtual bool BlockPresent(int32_t piece, int64_t offset, int32_t length) = 0;
    virtual bool IsComplete() = 0;

    // Server ranges. The task owns them; a peer holds at most one.
    virtual bool HasRanges() = 0;
    virtual void BuildRanges() = 0;
    // A range for the peer (owner set), or null.
    virtual TPieceRange* AssignRange(TPeerObject& peer) = 0;
    virtual bool PieceInAnyRange(int32_t piece) = 0;
    virtual TPieceRange* AddRange(int32_t first, int32_t last, TPeerObject& owner) = 0;
    virtual void RemoveRange(TPieceRange* range) = 0;
    // Splits the open range holding `position` so the peer owns [position, end]; null if none.
    virtual TPieceRange* SplitRangeAt(int32_t position, TPeerObject& peer) = 0;
    // A server with no range left takes over pieces a BitTorrent remote still
    // has queued and would deliver last (a range, owner set); null when none
    // is worth it.
    virtual TPieceRange* TakeOverRange(TPeerObject& /*server*/) { return nullptr; }
    virtual void MarkNotRequested(int32_t piece) = 0;

    // Scheduling.
    virtual int32_t SchedulingPosition() = 0;
    virtual bool InEndgame() = 0;
    virtual bool SharedRequestListed(int64_t block) = 0;
    virtual void AddSharedRequest(const RequestRecord& record) = 0;
    // Removes a matching request from the shared list; false when none matches.
    virtual bool TakeSharedRequest(int64_t block, int32_t length) = 0;
    // A leaving peer's requests go back to the shared list (or are freed when stopping).
    virtual void ReturnRequests(std::vector<RequestRecord>& records) = 0;

    // Data.
    virtual BlockWriteResult WriteBlock(int32_t piece, int64_t offset, int32_t length, const uint8_t* data,
                                        int32_t origin) = 0;
    // Where a wanted, missing block may be received in place (WriteBlock then
    // takes it from there without a copy); null: receive it the usual way.
    virtual uint8_t* BlockBuffer(int32_t /*piece*/, int64_t /*offset*/, int32_t /*length*/) { return nullptr; }
    // `sender` delivered the block that completed a piece which then failed its
    // hash (the piece map already emptied it): the sources that sent its
    // blocks are charged. True when the sender sent every block of it and
    // alone is to blame (its connection ends).
    virtual bool ChargeBadPiece(TPeerObject& sender, int32_t piece) = 0;
    virtual void AddReceived(int64_t bytes) = 0;
    virtual void AddKindBytes(int32_t kind, int64_t bytes) = 0;

    // Sources and passes.
    virtual void PenaliseSource(TPeerId* identity, bool keep, int32_t passes) = 0;
    virtual void AddCandidate(TPeerId* identity) = 0;
    virtual int64_t DownloadAllowance() = 0;  // bytes; 0: read nothing now
    virtual bool P2PEnabled() = 0;
    virtual void NoteSendPending(TPeerObject& peer) = 0;
    // A whole-content peer started fetching the task's metainfo source.
    virtual void NoteMetainfoFetchStarted() {}
    // A redirect named a host that did not resolve (the task reports it in its status).
    virtual void NoteHostUnresolved() {}
};

}  // namespace zl
