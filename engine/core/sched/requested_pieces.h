// Which pieces BitTorrent peers are requesting right now, and how many peers
// request each: a count per piece (one entry per requesting peer), the cap
// that lets several peers share a piece only in the last pieces, and the
// end-game state derived from it. Owned by the piece layer of the task
// (TWorkWithPieces); peers call it through the task's MarkRequested and
// IsEndgame.
#pragma once
#include <cstdint>
#include <vector>

namespace zl {

// How many entries a piece may already have for one more peer to request it:
// one requester while many pieces are missing, more in the last pieces.
int64_t AllowedRequesters(int64_t active_peers, int64_t finished_pieces, int64_t piece_count);

class RequestedPieces {
public:
    // Empties the set and sizes it for `piece_count` pieces.
    void Resize(int32_t piece_count);
    int32_t PieceCount() const { return int32_t(counts_.size()); }

    // One more peer requests `piece`, when the piece holds at most
    // AllowedRequesters entries; false (nothing added) otherwise or for an
    // index outside the piece map.
    bool Add(int32_t piece, int64_t active_peers, int64_t finished_pieces);
    // One peer stops requesting it; false when it had no entry.
    bool RemoveOne(int32_t piece);
    // Every peer stops requesting it (the piece completed or was given up);
    // true when it had an entry.
    bool RemoveAll(int32_t piece);
    void Clear();

    int32_t Count(int32_t piece) const;
    int64_t Entries() const { return entries_; }

private:
    std::vector<int32_t> counts_;
    int64_t entries_ = 0;
};

// End game: as many request entries as missing pieces. Once seen it stays
// seen until the next change of file priorities or a reset.
class EndgameState {
public:
    // Recomputes the flag; returns it.
    bool Update(int64_t entries, int64_t piece_count, int64_t finished_pieces);
    bool InEndgame() const { return endgame_; }
    bool Seen() const { return seen_; }
    void ClearSeen() { seen_ = false; }
    void Reset() { endgame_ = seen_ = false; }

private:
    bool endgame_ = false;
    bool seen_ = false;
};

// Whether dropping every request of a piece also discards the piece's data in
// progress: not in an end game with more than 3 pieces missing (others may
// still be filling it), and not while the task is stopping (its data is kept).
bool DiscardOnDropAll(bool in_endgame, int64_t missing_pieces, bool stop_requested);

}  // namespace zl
