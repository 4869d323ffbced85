// The piece policy of a task in a crowd: while BitTorrent peers that still
// download are connected, the servers (mirrors) spend their bytes on what the
// crowd lacks. A server takes short runs of the least held pieces, starting
// at a random place, instead of working through whole-file shares from the
// front (every client of a flash crowd would then fetch the same pieces from
// the mirror, and have nothing to give each other). BitTorrent peers choose
// rarest first as well. Alone, or among seeds only, the task keeps the
// server ranges, which make the fastest single download.
#include <algorithm>
#include <climits>

#include "engine/core/driver/peer_driver.h"
#include "engine/core/sched/piece_rarity.h"

namespace zl {

namespace {
// The availability is counted again at most this often.
constexpr uint64_t kAvailabilityMs = 50;
}  // namespace

TaskPeerDriver::NodesConnected TaskPeerDriver::ConnectedNodeKinds() {
    NodesConnected kinds;
    for (size_t i = 0; i < active_.size(); ++i) {
        TBTPeer* node = AsNode(*active_[i].peer);
        if (!node || !node->HandshakeDone()) continue;
        kinds.any = true;
        kinds.downloading = kinds.downloading || !node->IsSeed();
    }
    return kinds;
}

bool TaskPeerDriver::MayMeetPeers() const {
    bool any = false;
    candidates_.list().ForEach([&](const TPeerId& c) { any = any || c.kind == kKindTracker || c.kind == kKindNode; });
    return any;
}

void TaskPeerDriver::UpdateCrowdMode() {
    bool crowd = false;
    crowd_expected_ = false;
    if (P2PEnabled() && HasMetadata() && !IsComplete()) {
        const NodesConnected nodes = ConnectedNodeKinds();
        crowd = nodes.downloading;
        // At the start the peers are still being found: a task that may meet
        // some chooses its first server pieces as in a crowd already, so the
        // clients of a flash crowd do not all begin with the same pieces.
        // Seeds alone make no crowd: the server ranges serve that best.
        if (!nodes.any && EngineSeconds() < started_ + kCrowdStartSeconds && MayMeetPeers())
            crowd = crowd_expected_ = true;
    }
    if (crowd && !crowd_mode_) claims_.clear();
    if (crowd && !crowd_expected_) {
        // With peers to give to, a server's range (a whole-file share, or a
        // run begun before the peers came) ends a run's length past where
        // its server is now: the rest is chosen by rarity.
        const std::vector<int32_t>& availability = Availability();
        int32_t fewest = INT32_MAX;
        for (int32_t p = 0; p < static_cast<int32_t>(availability.size()); ++p)
            if (PieceWanted(p)) fewest = std::min(fewest, availability[size_t(p)]);
        for (TPieceRange& r : ranges_.ranges()) {
            if (!r.owner || r.finished || r.current < 0 || static_cast<size_t>(r.current) >= availability.size()) continue;
            // It ends with the piece in progress, or goes on over pieces as
            // rare as that one when nothing wanted is rarer.
            const int32_t old_last = r.last;
            const auto within = [&](int32_t p) { return p <= old_last && PieceWanted(p); };
            r.last = availability[size_t(r.current)] <= fewest
                         ? std::max(r.current, RunEnd(availability, r.current, CrowdRunPieces(), within))
                         : r.current;
        }
    }
    if (crowd) DropUnownedRanges();
    crowd_mode_ = crowd;
}

int32_t TaskPeerDriver::CrowdRunPieces() {
    const int64_t piece_length = std::max<int64_t>(PieceLength(), 1);
    return static_cast<int32_t>(std::max<int64_t>(1, kCrowdRunBytes / piece_length));
}

const std::vector<int32_t>& TaskPeerDriver::Availability() {
    const uint64_t now = clock().TickMs();
    const int32_t count = PieceCount();
    if (availability_.size() == static_cast<size_t>(count) && now >= availability_ms_ &&
        now < availability_ms_ + kAvailabilityMs)
        return availability_;
    availability_ms_ = now;
    availability_.assign(static_cast<size_t>(std::max(count, 0)), 0);
    in_flight_.assign(static_cast<size_t>(std::max(count, 0)), false);
    for (size_t i = 0; i < active_.size(); ++i) {
        const TBTPeer* node = AsNode(*active_[i].peer);
        if (!node || !node->HandshakeDone()) continue;
        for (int32_t p = 0; p < count; ++p) availability_[size_t(p)] += node->RemoteHas(p) ? 1 : 0;
        for (const RequestRecord& r : node->outstanding().records())
            if (r.piece >= 0 && r.piece < count) in_flight_[size_t(r.piece)] = true;
    }
    return availability_;
}

bool TaskPeerDriver::FreeForServer(int32_t piece) {
    // What a connected BitTorrent peer has asked for is its own; the count
    // of requesters is not asked, so that no mark a peer left behind can
    // keep a piece from the servers.
    return PieceWanted(piece) && !in_flight_[size_t(piece)] && !ranges_.PieceInAnyRange(piece) &&
           !PieceInNodeClaim(piece);
}

void TaskPeerDriver::DropUnownedRanges() {
    // A run whose server left (or that it ended with pieces still wanted)
    // would hold its pieces from everybody: they go back to the choice.
    for (auto it = ranges_.ranges().begin(); it != ranges_.ranges().end();) {
        TPieceRange& r = *it++;
        // An owner is only looked at through the active list: one that left
        // is never touched.
        bool owned = false;
        for (size_t i = 0; i < active_.size() && r.owner && !owned; ++i)
            owned = active_[i].peer.get() == r.owner && active_[i].peer->range() == &r;
        if (!owned) ranges_.Remove(&r);
    }
}

TPieceRange* TaskPeerDriver::CrowdRange(TPeerObject& server) {
    DropUnownedRanges();
    const std::vector<int32_t>& availability = Availability();
    if (availability.empty()) return nullptr;
    const auto free = [&](int32_t p) { return FreeForServer(p); };
    // Going on right after its last piece saves the server a new request.
    const int32_t last = LastPiece(server);
    const int32_t start = static_cast<int32_t>(random_.Below(static_cast<int64_t>(availability.size())));
    const RarityPick pick = PickRarest(availability, start, last >= 0 ? last + 1 : -1, free);
    if (pick.piece < 0) return nullptr;
    // Before any peer is there, the run goes on as far as the free pieces do:
    // a client alone streams its file in one request from a random place.
    const int32_t max_run = crowd_expected_ ? static_cast<int32_t>(availability.size()) : CrowdRunPieces();
    const int32_t end = RunEnd(availability, pick.piece, max_run, free);
    TPieceRange* run = AddRange(pick.piece, end, server);
    if (run) run->bounded = true;
    return run;
}

int32_t TaskPeerDriver::ChooseRarest(const BtPieceQuery& query, const std::function<bool(int32_t)>& fresh) {
    const std::vector<int32_t>& availability = Availability();
    const int32_t count = static_cast<int32_t>(availability.size());
    if (count == 0) return -1;
    // Pieces a server works through are left to it.
    const auto eligible = [&](int32_t p) { return fresh(p) && !ranges_.PieceInAnyRange(p); };
    const int32_t start = static_cast<int32_t>(random_.Below(count));
    const RarityPick pick = PickRarest(availability, start, query.last_have, eligible);
    if (pick.piece < 0 || !task_.ViewMarkRequested(pick.piece, true, false)) return -1;
    return pick.piece;
}

}  // namespace zl
