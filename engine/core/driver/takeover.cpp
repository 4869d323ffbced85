// The end of a download with servers and BitTorrent peers. A server that has
// no range left would end its connection while remotes still have pieces
// queued: instead it takes over the pieces the slowest remote would deliver
// last, its share of them by the two rates. When a server delivers a block,
// the BitTorrent peers that still have it requested cancel it, so a remote
// stops sending what arrived from elsewhere and the bytes fetched twice stay
// few. (Between BitTorrent peers the end game's own doubling and its cancels
// at a piece's completion hold: a slow remote whose request is taken back at
// once would only reach for more of the last blocks. Those cancels go out as
// soon as the piece verifies: at the next second's sweep a remote would have
// sent up to a second of blocks of a piece that was done.)
#include <algorithm>
#include <vector>

#include "engine/core/driver/peer_driver.h"

namespace zl {

namespace {
// A remote's queue is taken from only while it would take longer to drain
// than the server needs for this many pieces: the server then delivers its
// tail before the remote reaches it.
constexpr int64_t kDrainPieces = 2;
}  // namespace

void TaskPeerDriver::CancelElsewhere(int32_t piece, int64_t offset) {
    const BlockInfo geometry = Geometry();
    if (!geometry.IsPiece(piece) || offset < 0 || offset >= geometry.PieceSize(piece)) return;
    const int64_t block = geometry.BlockOf(piece, offset);
    for (size_t i = 0; i < active_.size(); ++i) {
        TPeerObject& peer = *active_[i].peer;
        if (&peer == passing_) continue;
        if (TBTPeer* node = AsNode(peer); node && !node->outstanding().empty()) node->CancelRequest(block);
    }
}

void TaskPeerDriver::CancelPieceElsewhere(int32_t piece) {
    const BlockInfo geometry = Geometry();
    if (!geometry.IsPiece(piece)) return;
    std::vector<int64_t> blocks;
    for (size_t i = 0; i < active_.size(); ++i) {
        TPeerObject& peer = *active_[i].peer;
        if (&peer == passing_) continue;
        TBTPeer* node = AsNode(peer);
        if (!node || !node->outstanding().HasPiece(piece)) continue;
        blocks.clear();
        // The block's own place decides, so no request of another piece goes.
        for (const RequestRecord& r : node->outstanding().records())
            if (geometry.LocateBlock(r.block).piece == piece) blocks.push_back(r.block);
        for (int64_t block : blocks) node->CancelRequest(block);
    }
}

TPieceRange* TaskPeerDriver::TakeOverRange(TPeerObject& server) {
    if (!server.IsServer() || !HasMetadata()) return nullptr;
    const int64_t piece_length = std::max<int64_t>(PieceLength(), 1);
    const int64_t server_rate = DownloadRate(server);
    // What the server needs for a piece (a server not measured yet: no bar).
    const int64_t bar_ms = server_rate > 0 ? kDrainPieces * piece_length * 1000 / server_rate : 0;
    struct Queue {
        TBTPeer* node;
        int64_t rate;
        int64_t drain_ms;
    };
    std::vector<Queue> queues;
    for (size_t i = 0; i < active_.size(); ++i) {
        TBTPeer* node = AsNode(*active_[i].peer);
        if (!node || !node->HandshakeDone() || node->outstanding().empty()) continue;
        const int64_t rate = std::max<int64_t>(node->CurrentDownloadRate(), BlockInfo::kBlock);
        const int64_t queued = static_cast<int64_t>(node->outstanding().size()) * BlockInfo::kBlock;
        const int64_t drain_ms = queued * 1000 / rate;
        if (drain_ms > bar_ms) queues.push_back({node, rate, drain_ms});
    }
    // The remote that needs longest first.
    std::sort(queues.begin(), queues.end(), [](const Queue& a, const Queue& b) { return a.drain_ms > b.drain_ms; });
    const auto free = [&](int32_t piece) { return PieceWanted(piece) && !ranges_.PieceInAnyRange(piece); };
    for (const Queue& q : queues) {
        // Its queue's pieces no server fetches, and the last of them it would
        // deliver. A remote asks for a run of pieces from the highest down,
        // so the pieces above that last one come just before it.
        const RequestList& queue = q.node->outstanding();
        int32_t tail = -1;
        int64_t pieces = 0;
        for (auto it = queue.records().rbegin(); it != queue.records().rend(); ++it) {
            if (std::next(it) != queue.records().rend() && std::next(it)->piece == it->piece) continue;
            if (!free(it->piece)) continue;
            ++pieces;
            if (tail < 0) tail = it->piece;
        }
        if (tail < 0) continue;
        // The server's share of them, by the two rates, taken as one run from
        // the end: it streams them in one request while the remote works
        // from the front, and the two meet about when both are done.
        const int64_t share = server_rate > 0 ? (pieces * server_rate + server_rate + q.rate - 1) / (server_rate + q.rate)
                                              : (pieces + 1) / 2;
        int32_t last = tail;
        while (last + 1 - tail < share && queue.HasPiece(last + 1) && free(last + 1)) ++last;
        ++takeovers_;
        TPieceRange* range = AddRange(tail, last, server);
        // In a crowd, servers ask for their runs' bytes only.
        if (range) range->bounded = crowd_mode_;
        return range;
    }
    return nullptr;
}

}  // namespace zl
