#include "engine/core/sched/shared_requests.h"

#include <cstdint>
#include <vector>

namespace zl {

bool TakeSharedRequests(RequestList& shared, RequestList& mine, int64_t piece_length, const PieceTest& peer_has,
                        const PieceTest& excluded, const PieceTest& needed, int32_t maximum) {
    const size_t limit = size_t(maximum > 0 ? maximum : 16);
    int32_t found = -1;
    int32_t previous = -1;
    for (const RequestRecord& record : shared.records()) {
        const int32_t piece = BlockInfo::PieceOfBlock(record.block, piece_length);
        if (piece < 0 || piece == previous) continue;
        previous = piece;
        if (peer_has(piece) && !excluded(piece) && needed(piece)) {
            found = piece;
            break;
        }
    }
    if (found < 0) return false;
    std::vector<int64_t> moved;
    for (const RequestRecord& record : shared.records()) {
        if (mine.size() >= limit) break;
        if (BlockInfo::PieceOfBlock(record.block, piece_length) != found || mine.Contains(record.block)) continue;
        RequestRecord copy = record;
        copy.piece = found;
        copy.sent = false;
        if (mine.Add(copy)) moved.push_back(record.block);
    }
    for (int64_t block : moved) shared.Remove(block);
    return !mine.empty();
}

size_t DropCompleteSharedRequests(RequestList& shared, int64_t piece_length, const PieceTest& complete) {
    std::vector<int64_t> drop;
    for (const RequestRecord& record : shared.records()) {
        const int32_t piece = BlockInfo::PieceOfBlock(record.block, piece_length);
        // A request that maps to no piece can never be served either.
        if (piece < 0 || complete(piece)) drop.push_back(record.block);
    }
    for (int64_t block : drop) shared.Remove(block);
    return drop.size();
}

}  // namespace zl
