// The BitTorrent half of a task's peer driver: known peers and tracker
// answers become node candidates, the node connector dials them while the P2P
// switch is on (and two BitTorrent peers go each second while it is off), the
// piece choice shares the pieces with the server ranges, uploads are served,
// and every 4 s peers are pruned, choked and unchoked by the peer order.
#include <algorithm>
#include <cstring>

#include "engine/core/peer_health.h"
#include "engine/core/peer_order.h"
#include "engine/core/source_penalty.h"
#include "engine/core/task_peer_driver.h"
#include "engine/net/http_peer.h"

namespace zl {

// --- identity and the handshake's facts ------------------------------------------------------

const BtHandshake& TaskPeerDriver::Handshake() {
    if (handshake_[0] != 19) {
        handshake_ = task_.ViewHandshake();
        if (handshake_[0] == 19) {
            // Our own peer id never becomes a candidate.
            candidates_.rules().refuse_own_peer_id = true;
            std::memcpy(candidates_.rules().own_peer_id.data(), handshake_.data() + 48, 20);
        }
    }
    return handshake_;
}

bool TaskPeerDriver::HasPeerWithId(const TPeerObject& self, uint32_t address, const PeerIdBytes& id) {
    for (size_t i = 0; i < active_.size(); ++i) {
        TPeerObject& peer = *active_[i].peer;
        if (&peer == &self || !peer.HandshakeDone() || peer.kind() != kKindNode || !peer.socket()) continue;
        if (peer.socket()->remote_address() == address && static_cast<TBTPeer&>(peer).remote_peer_id() == id)
            return true;
    }
    return false;
}

void TaskPeerDriver::NoteConnected(TPeerObject& peer) {
    // A node that completed a handshake is worth a quick retry after a drop.
    if (TPeerId* id = peer.identity()) id->retry_delay = std::min(id->retry_delay, 0);
}

void TaskPeerDriver::AddUploaded(int64_t bytes) {
    if (bytes > 0) uploaded_bytes_ += static_cast<uint64_t>(bytes);
}

int32_t TaskPeerDriver::ConnectedPeers() const {
    int32_t n = 0;
    for (size_t i = 0; i < active_.size(); ++i) {
        const TPeerObject& peer = *active_[i].peer;
        n += peer.kind() == kKindNode && peer.HandshakeDone() ? 1 : 0;
    }
    return n;
}

int32_t TaskPeerDriver::ConnectedSeeds() const {
    int32_t n = 0;
    for (size_t i = 0; i < active_.size(); ++i) {
        TPeerObject& peer = *active_[i].peer;
        n += peer.kind() == kKindNode && peer.HandshakeDone() && peer.IsSeed() ? 1 : 0;
    }
    return n;
}

int32_t TaskPeerDriver::ConnectingNodes() const {
    int32_t n = 0;
    for (size_t i = 0; i < active_.size(); ++i) {
        const TPeerObject& peer = *active_[i].peer;
        n += peer.kind() == kKindNode && !peer.HandshakeDone() ? 1 : 0;
    }
    return n;
}

void TaskPeerDriver::AddKnownNode(TPeerId& node) {
    // 127.0.0.1 is never a BitTorrent peer (it would be this very engine).
    if (!node.IsUsable() || node.address == LoopbackAddress()) return;
    TPeerId* c = candidates_.list().FindOrAddNode(node.address, static_cast<uint16_t>(node.port), kKindNode, false,
                                                  kOrderKeyNodeMin);
    if (c && c->text.empty()) c->text = node.text;
    if (NeedsRoomForNode(c ? c->order_key : 0, ConnectingNodes(), task_.ViewHalfOpenLimit(),
                         task_.ViewConnectionBudget()))
        DropNodes(2);
    last_connector_pass_ = 0;  // dialled at the next pass
}

// --- the piece choice ------------------------------------------------------------------------

int32_t TaskPeerDriver::ChoosePiece(TPeerObject& peer, const BtPieceQuery& query) {
    const int32_t count = PieceCount();
    if (count <= 0 || !query.offered) return -1;
    const auto qualifies = [&](int32_t p) { return query.offered(p) && PieceWanted(p); };
    const auto take = [&](int32_t p) { return qualifies(p) && task_.ViewMarkRequested(p, true, false); };

    // The application reads there: fetch from its position first.
    const int32_t position = SchedulingPosition();
    if (position >= 0 && position < count)
        for (int32_t p = position; p < count; ++p)
            if (take(p)) return p;

    if (!ranges_.empty()) {
        const int32_t p = ChooseFromRanges(peer, take, qualifies);
        if (p >= 0) return p;
    } else if (OpenServerConnections() > 0 && EngineSeconds() < started_ + 60) {
        // The servers are about to share the pieces out; wait for their ranges.
        return -1;
    }
    // Without ranges (or when the ranges offer nothing): from a random start,
    // the remote's latest "have" first.
    if (query.last_have >= 0 && query.last_have < count && take(query.last_have)) return query.last_have;
    const int32_t start = std::clamp(task_.ViewRandomStartPiece(), 0, count - 1);
    for (int32_t i = 0; i < count; ++i) {
        const int32_t p = (start + i) % count;
        if (take(p)) return p;
    }
    return -1;
}

int32_t TaskPeerDriver::ChooseFromRanges(TPeerObject& peer, const std::function<bool(int32_t)>& take,
                                         const std::function<bool(int32_t)>& qualifies) {
    // This peer's claim, handed out from its end downwards.
    if (auto it = claims_.find(&peer); it != claims_.end()) {
        NodeClaim& claim = it->second;
        while (claim.next >= claim.first) {
            const int32_t p = claim.next--;
            if (take(p)) return p;
        }
        claims_.erase(it);
    }
    std::vector<TPieceRange*> open;
    for (TPieceRange& r : ranges_.ranges())
        if (!r.finished && !r.discard) open.push_back(&r);
    if (open.empty()) return -1;
    const int64_t piece_length = std::max<int64_t>(PieceLength(), 1);
    // A claim covers at least 24 blocks' worth of bytes.
    const int32_t min_run = static_cast<int32_t>(
        std::max<int64_t>(1, (TBTPeer::kMinClaimBytes + piece_length - 1) / piece_length));
    const int32_t max_run = std::max(4 * min_run, 8);
    const size_t start = static_cast<size_t>(random_.Below(static_cast<int64_t>(open.size())));
    // Carve a claim out of a range's end: servers work a range from its start
    // upwards, BitTorrent peers from its end downwards.
    for (size_t k = 0; k < open.size(); ++k) {
        TPieceRange& r = *open[(start + k) % open.size()];
        int32_t p = r.last;
        while (p > r.current) {
            if (!qualifies(p)) {
                --p;
                continue;
            }
            const int32_t hi = p;
            while (p > r.current && qualifies(p) && hi - p + 1 < max_run) --p;
            const int32_t lo = qualifies(p) && p > r.current ? p : p + 1;
            if (hi - lo + 1 < min_run) {
                p = lo - 1;
                continue;
            }
            bool rest_done = true;
            for (int32_t q = hi + 1; q <= r.last && rest_done; ++q) rest_done = !PieceWanted(q);
            // The server's range ends below the claim, so it does not fetch it too.
            if (rest_done && lo > r.current) r.last = lo - 1;
            for (int32_t q = hi; q >= lo; --q) {
                if (!take(q)) continue;
                claims_[&peer] = NodeClaim{lo, q - 1};
                return q;
            }
            p = lo - 1;
        }
    }
    // No run long enough: the highest piece of a range the remote offers.
    for (size_t k = 0; k < open.size(); ++k) {
        TPieceRange& r = *open[(start + k) % open.size()];
        for (int32_t p = r.last; p > r.current; --p)
            if (take(p)) return p;
    }
    return -1;
}

// --- connecting, uploading, dropping ----------------------------------------------------------

void TaskPeerDriver::NodeSecond() {
    if (!P2PEnabled()) {
        // While the switch is off BitTorrent peers disappear two a second.
        DropNodes(2);
        return;
    }
    for (size_t i = 0; i < active_.size(); ++i)
        if (TBTPeer* node = AsNode(*active_[i].peer); node && node->HandshakeDone()) node->CancelObsolete();
    Handshake();
    if (handshake_[0] != 19 || !AcceptsPeers()) return;
    NodeConnectorInput input;
    for (size_t i = 0; i < active_.size(); ++i) input.open_nodes += active_[i].peer->kind() == kKindNode ? 1 : 0;
    input.peer_limit = task_.ViewPeerConnectionLimit();
    input.connecting = ConnectingNodes();
    input.half_open_limit = task_.ViewHalfOpenLimit();
    input.connection_budget = task_.ViewConnectionBudget();
    RunNodeConnector(candidates_.list(), input, connector_, connector_, serials_);
}

void TaskPeerDriver::UploadPasses() {
    for (size_t i = 0; i < active_.size();) {
        TBTPeer* node = AsNode(*active_[i].peer);
        if (!node || !node->HandshakeDone()) {
            ++i;
            continue;
        }
        if (!node->UploadPass()) {
            EndPeer(i, kPenaltyFailedPass);
            continue;
        }
        const int64_t sent = node->transfer().pass_sent;
        statistics_.AddSent(sent);
        node->upload_accumulator += sent;
        ++i;
    }
}

void TaskPeerDriver::DropNodes(int32_t count) {
    if (count <= 0) return;
    int32_t dropped = 0;
    for (size_t i = active_.size(); i-- > 0 && dropped < count;) {
        if (active_[i].peer->kind() != kKindNode) continue;
        EndPeer(i, 0);
        ++dropped;
    }
    if (dropped > 0) candidates_.list().Sort();
}

void TaskPeerDriver::SortActiveSeeding() {
    std::vector<ActivePeer<TPeerObject>>& entries = active_.entries();
    std::stable_sort(entries.begin(), entries.end(),
                     [](const ActivePeer<TPeerObject>& a, const ActivePeer<TPeerObject>& b) {
                         auto facts = [](const ActivePeer<TPeerObject>& e) {
                             PeerOrderFacts f;
                             f.present = e.peer.get() != nullptr;
                             if (!e.peer) return f;
                             f.handshake_done = e.peer->HandshakeDone();
                             f.node = e.peer->kind() == kKindNode;
                             f.seen_by_snapshot = true;
                             f.queued_output = e.peer->socket() && e.peer->socket()->queued_length() > 0;
                             if (const TBTPeer* node = AsNode(*e.peer)) {
                                 f.pieces_held = node->state().pieces_now;
                                 f.send_rate = node->upload_rate;
                                 f.upload_accumulator = node->upload_accumulator;
                             }
                             f.serial = e.serial;
                             return f;
                         };
                         return ComparePeers(facts(a), facts(b), true) < 0;
                     });
}

// Every 4 s after the rate snapshot: pruning (with its choking), then the
// peer statistics (have counts, long seeds, unchoking, stalls).
void TaskPeerDriver::NodeFourSeconds() {
    const bool complete = IsComplete();
    PruneInput input;
    input.connection_budget = task_.ViewConnectionBudget();
    input.metainfo_loaded = HasMetadata();
    input.missing_pieces = MissingPieces();
    input.average_download_speed = statistics_.AverageDownloadSpeed();
    input.pass_quota = statistics_.PassQuotaFigure();
    const PruneLimits limits = ComputePruneLimits(input);
    std::vector<PruneFacts> facts;
    facts.reserve(active_.size());
    for (size_t i = 0; i < active_.size(); ++i) {
        TPeerObject& peer = *active_[i].peer;
        PruneFacts f;
        f.server = peer.IsServer();
        f.node = peer.kind() == kKindNode;
        f.handshake_done = peer.HandshakeDone();
        f.download_rate = complete ? 0 : peer.transfer().download_rate;
        if (TBTPeer* node = AsNode(peer)) {
            f.should_disconnect = node->ShouldDisconnect(limits.near_end);
            f.not_interested = node->state().remote_has_nothing;
            f.we_choke = node->state().we_choke;
            if (complete) f.download_rate = node->upload_rate;
        }
        facts.push_back(f);
    }
    const std::vector<uint32_t> plan = PlanPruning(limits, facts, ConnectedPeers());
    for (size_t i = plan.size(); i-- > 0;) {
        if (i >= active_.size()) continue;
        TBTPeer* node = AsNode(*active_[i].peer);
        if (plan[i] & kPruneDrop) {
            EndPeer(i, kPenaltyPruned);
            continue;
        }
        if (!node) continue;
        if (plan[i] & kPruneChoke) {
            node->Choke();
            node->choked_this_period = true;
        }
        if (plan[i] & kPruneNotInterested) node->SendNotInterested();
    }

    ++peer_statistics_count_;
    const int64_t unchoke_limit = statistics_.UnchokeLimitFigure();
    const bool stall_check = StallCheckDue(peer_statistics_count_);
    for (size_t i = 0; i < active_.size();) {
        TBTPeer* node = AsNode(*active_[i].peer);
        if (!node || !node->HandshakeDone()) {
            ++i;
            continue;
        }
        node->ClearHaveCount();
        if (complete && node->IsLongSeed()) {
            // Two seeds have nothing to give each other.
            EndPeer(i, 0);
            continue;
        }
        if (ShouldUnchoke(node->state().we_choke, node->choked_this_period, static_cast<int64_t>(i), unchoke_limit))
            node->Unchoke();
        if (!node->outstanding().empty()) node->SendRequests();
        if (stall_check && node->socket()) {
            PeerStallState stall{node->stall_counter, node->stall_sent, node->stall_received};
            const StallVerdict verdict =
                CheckPeerStall(stall, node->socket()->bytes_sent(), node->socket()->bytes_received());
            node->stall_counter = stall.counter;
            node->stall_sent = stall.last_sent;
            node->stall_received = stall.last_received;
            if (verdict.disconnect) {
                EndPeer(i, kPenaltyFailedPass);
                continue;
            }
            if (verdict.choke && !node->state().we_choke) node->Choke();
        }
        ++i;
    }
}

}  // namespace zl

namespace zl {

std::string TaskPeerDriver::SourceName(const TPeerId& identity) {
    if (!identity.text.empty()) return identity.text;
    const uint8_t* a = reinterpret_cast<const uint8_t*>(&identity.address);
    return std::to_string(a[0]) + "." + std::to_string(a[1]) + "." + std::to_string(a[2]) + "." +
           std::to_string(a[3]) + ":" + std::to_string(identity.port);
}

void TaskPeerDriver::NoteEnded(TPeerObject& peer, bool failed) {
    const TPeerId* id = peer.identity();
    if (!id || !failed) return;
    int status = 0;
    if (const auto* http = dynamic_cast<const THttpPeer*>(&peer); http && http->header_received())
        status = http->response_header().status;
    const int32_t error = peer.socket() ? peer.socket()->last_error() : 0;
    health_.NoteFailure(SourceName(*id), DescribeFailure(status, error, peer.activity() == kActivityTimedOut,
                                                         peer.HandshakeDone()));
}

}  // namespace zl
