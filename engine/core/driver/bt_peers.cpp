// The BitTorrent half of a task's peer driver: known peers and tracker
// answers become node candidates, the node connector dials them while the P2P
// switch is on (and two BitTorrent peers go each second while it is off), the
// piece choice shares the pieces with the server ranges, uploads are served,
// and every 4 s peers are pruned, choked and unchoked by the peer order.
#include <algorithm>
#include <cstring>

#include "engine/core/sched/peer_health.h"
#include "engine/core/peers/peer_order.h"
#include "engine/core/peers/source_penalty.h"
#include "engine/core/driver/peer_driver.h"
#include "engine/net/http_peer.h"

namespace zl {

namespace {
// A server reads past a piece it no longer wants when the next one it wants
// lies within this many bytes.
constexpr int64_t kServerSkipBytes = 128 * 1024;
// Peers at least this fast are served in every upload pass.
constexpr int64_t kFastPeerRate = 28672;
// Slow peers are also served once this many passes ran in a second.
constexpr uint64_t kSlowTurnPasses = 18;
}  // namespace

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
    // A piece another peer fetches already is shared only in the end game:
    // before it every peer gets pieces of its own, so no verified byte comes twice.
    const auto fresh = [&](int32_t p) { return qualifies(p) && task_.ViewRequesters(p) == 0; };
    const auto take_fresh = [&](int32_t p) { return fresh(p) && task_.ViewMarkRequested(p, true, false); };

    // The application reads there: fetch from its position first.
    const int32_t position = SchedulingPosition();
    if (position >= 0 && position < count)
        for (int32_t p = position; p < count; ++p)
            if (take_fresh(p)) return p;

    if (!crowd_mode_ && !ranges_.empty()) {
        const int32_t p = ChooseFromRanges(peer, take_fresh, fresh);
        if (p >= 0) return p;
    } else if (!crowd_mode_ && OpenServerConnections() > 0 && EngineSeconds() < started_ + 60) {
        // The servers are about to share the pieces out; wait for their ranges.
        return -1;
    }
    // Without ranges (or when the ranges offer nothing), or in a crowd: the
    // least held piece, from a random start, the remote's latest "have"
    // first among equals; pieces a server is working through are left to it.
    const int32_t rarest = ChooseRarest(query, fresh);
    if (rarest >= 0) return rarest;
    const int32_t start = std::clamp(task_.ViewRandomStartPiece(), 0, count - 1);
    bool offered = false;  // a wanted piece the remote has, fetched by others now
    for (int32_t i = 0; i < count && !offered; ++i) offered = qualifies((start + i) % count);
    if (!EndgameOpen()) {
        if (offered && query.busy) *query.busy = true;
        return -1;
    }
    // The end game: pieces others fetch are fetched once more, so a slow or
    // silent peer does not hold the end up; each peer one such piece at a
    // time, the position's first, then the one fewest peers fetch.
    if (query.may_double) {
        const auto take_any = [&](int32_t p) { return qualifies(p) && task_.ViewMarkRequested(p, true, false); };
        int32_t chosen = -1;
        if (position >= 0 && position < count)
            for (int32_t p = position; p < count && chosen < 0; ++p)
                if (take_any(p)) chosen = p;
        if (chosen < 0) {
            int32_t best = -1, fewest = INT32_MAX;
            for (int32_t i = 0; i < count; ++i) {
                const int32_t p = (start + i) % count;
                if (!qualifies(p)) continue;
                const int32_t requesters = task_.ViewRequesters(p);
                if (requesters < fewest) {
                    best = p;
                    fewest = requesters;
                }
            }
            if (best >= 0 && task_.ViewMarkRequested(best, true, false)) chosen = best;
        }
        if (chosen >= 0) {
            if (query.doubled) *query.doubled = true;
            return chosen;
        }
    }
    if (offered && query.busy) *query.busy = true;
    return -1;
}

bool TaskPeerDriver::EndgameOpen() {
    if (task_.ViewEndgameNow()) return true;
    // Every connection could hold one of the pieces left: the last round.
    const int64_t connections = static_cast<int64_t>(active_.size());
    return MissingPieces() <= std::max<int64_t>(connections, 8);
}

int32_t TaskPeerDriver::ChooseFromRanges(TPeerObject& peer, const std::function<bool(int32_t)>& take,
                                         const std::function<bool(int32_t)>& qualifies) {
    // This peer's claim, handed out from its end downwards; a piece a server
    // took up meanwhile is the server's.
    if (auto it = claims_.find(&peer); it != claims_.end()) {
        NodeClaim& claim = it->second;
        while (claim.next >= claim.first) {
            const int32_t p = claim.next--;
            if (!ranges_.PieceInAnyRange(p) && take(p)) return p;
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
            CutRange(r, lo, hi);
            for (int32_t q = hi; q >= lo; --q) {
                if (!take(q)) continue;
                claims_[&peer] = NodeClaim{lo, q - 1};
                return q;
            }
            p = lo - 1;
        }
    }
    // No run long enough: the highest piece of a range the remote offers,
    // not one the server reaches so soon that it would read it anyway (a
    // server skips a piece it no longer wants by reading up to 128 KiB).
    const int32_t margin = static_cast<int32_t>((kServerSkipBytes + piece_length - 1) / piece_length);
    for (size_t k = 0; k < open.size(); ++k) {
        TPieceRange& r = *open[(start + k) % open.size()];
        const int32_t lowest = r.owner ? r.current + margin : r.current;
        for (int32_t p = r.last; p > lowest; --p) {
            if (!take(p)) continue;
            CutRange(r, p, p);
            return p;
        }
    }
    return -1;
}

void TaskPeerDriver::CutRange(TPieceRange& r, int32_t lo, int32_t hi) {
    if (lo <= r.current || hi > r.last) return;
    // The server's range ends below the pieces a BitTorrent peer takes, so it
    // does not fetch them too; the wanted pieces above them that nobody
    // fetches stay for the servers as ranges of their own.
    const uint64_t now = EngineSeconds();
    int32_t run = -1;
    for (int32_t q = hi + 1; q <= r.last + 1; ++q) {
        const bool free = q <= r.last && PieceWanted(q) && task_.ViewRequesters(q) == 0 && !PieceInNodeClaim(q) &&
                          std::none_of(ranges_.ranges().begin(), ranges_.ranges().end(), [&](const TPieceRange& o) {
                              return &o != &r && q >= o.first && q <= o.last;
                          });
        if (free && run < 0) run = q;
        if (!free && run >= 0) {
            ranges_.Add(run, q - 1, r.source.get(), nullptr, now);
            run = -1;
        }
    }
    r.last = lo - 1;
}

bool TaskPeerDriver::PieceInNodeClaim(int32_t piece) const {
    for (const auto& [peer, claim] : claims_)
        if (piece >= claim.first && piece <= claim.next) return true;
    return false;
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
    // Pieces completed (or given up) no longer need their senders remembered.
    for (auto it = contributors_.begin(); it != contributors_.end();)
        it = PieceWanted(it->first) ? std::next(it) : contributors_.erase(it);
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
    // The pass counter restarts with every engine second; that pass serves
    // with an extra quota. Fast peers are served in every pass, slow ones only
    // every slow-upload period, so many slow peers cost little.
    const uint64_t now = EngineSeconds();
    int32_t extra = 0;
    if (now != upload_second_) {
        upload_second_ = now;
        upload_pass_ = 0;
        extra = std::max(statistics_.PassQuotaFigure() / 6, 1);
    } else {
        ++upload_pass_;
    }
    const RatePace& pace = statistics_.Pace();
    const bool slow_turn = upload_pass_ % std::max(pace.slow_upload_period, 1) == 0 &&
                           (extra > 0 || upload_pass_ >= kSlowTurnPasses);
    const bool complete = IsComplete();
    // Peers with output still queued from the download passes count against the quota.
    int32_t queued = 0;
    for (size_t i = 0; i < active_.size(); ++i)
        if (const TBTPeer* node = AsNode(*active_[i].peer); node && node->HandshakeDone() && node->socket())
            queued += node->socket()->queued_length() > 0 ? 1 : 0;
    const int32_t stop_at = extra + std::max(queued, statistics_.PassQuotaFigure());
    for (size_t i = 0; i < active_.size() && queued < stop_at;) {
        TBTPeer* node = AsNode(*active_[i].peer);
        if (!node || !node->HandshakeDone()) {
            ++i;
            continue;
        }
        // A remote waiting for blocks we hold is served in every pass: its
        // wait is our upload lost. Which peers we download from has no say.
        const bool asking = node->queued_remote_requests() > 0 && !node->state().we_choke;
        const int64_t rate = complete ? node->CurrentUploadRate() : node->CurrentDownloadRate();
        const bool had_queued = node->socket() && node->socket()->queued_length() > 0;
        if (rate < kFastPeerRate && !asking && !slow_turn) {
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
        if (!had_queued && node->socket() && node->socket()->queued_length() > 0) ++queued;
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
            // Two seeds have nothing to give each other: it is not dialled
            // again while this task seeds.
            if (TPeerId* id = node->identity()) id->exhausted = true;
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
    if (&peer == bad_sender_) {
        bad_sender_ = nullptr;
        health_.NoteFailure(SourceName(*id), "sent bad data");
        return;
    }
    const int32_t error = peer.socket() ? peer.socket()->last_error() : 0;
    health_.NoteFailure(SourceName(*id), DescribeFailure(status, error, peer.activity() == kActivityTimedOut,
                                                         peer.HandshakeDone()));
}

}  // namespace zl
