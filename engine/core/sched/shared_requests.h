// The task's list of block requests that peers handed back (a peer that left,
// or one whose own queue was full): another peer that has the piece takes
// them over. Owned by the piece layer of the task (TWorkWithPieces), which
// keeps the list itself (a RequestList); these functions hand requests out
// and drop the ones whose piece is complete. Piece numbers come from the
// block geometry, in 64 bits.
#pragma once
#include <cstdint>
#include <functional>

#include "engine/meta/block_info.h"
#include "engine/net/peer_requests.h"

namespace zl {

using PieceTest = std::function<bool(int32_t piece)>;

// Finds the first piece on the shared list that the peer has, that is not
// excluded and that the piece map still needs, and moves that piece's shared
// requests the peer does not already hold into the peer's list, until it
// holds `maximum` requests (16 when maximum <= 0). True when such a piece
// was found and the peer's list is not empty.
bool TakeSharedRequests(RequestList& shared, RequestList& mine, int64_t piece_length, const PieceTest& peer_has,
                        const PieceTest& excluded, const PieceTest& needed, int32_t maximum);

// Removes every shared request whose piece is complete; returns how many.
size_t DropCompleteSharedRequests(RequestList& shared, int64_t piece_length, const PieceTest& complete);

}  // namespace zl
