#include "engine/core/task_peer_driver.h"

#include <algorithm>

#include "engine/core/retry_backoff.h"
#include "engine/core/source_penalty.h"

#include "engine/net/ftp_peer.h"
#include "engine/net/http_peer.h"
#include "engine/net/source_url.h"

namespace zl {

TaskPeerDriver::TaskPeerDriver(TaskPieceView& task, TransferStatistics& statistics)
    : task_(task), statistics_(statistics), random_(TaskRandom::FreshSeed()), ranges_(*this) {}

TaskPeerDriver::~TaskPeerDriver() { CloseAll(); }

std::unique_ptr<TaskPeers> MakeTaskPeers(TaskPieceView& view, TransferStatistics& statistics) {
    return std::make_unique<TaskPeerDriver>(view, statistics);
}

// --- candidates and peers ------------------------------------------------------

void TaskPeerDriver::AddSources(const std::vector<std::string>& texts) {
    for (const std::string& text : texts) {
        const bool known = std::any_of(candidates_.begin(), candidates_.end(),
                                       [&](const Candidate& c) { return c.identity->text == text; });
        if (known) continue;
        auto identity = RefPtr<TPeerId>::Adopt(new TPeerId(text));
        // Only server sources become candidates here; a text that does not
        // parse (unknown scheme, bad port, unresolved host) is left out.
        if (!ParseSourceUrl(*identity, resolver_) || !identity->IsServer() || !identity->IsUsable()) continue;
        identity->order_key = kOrderKeyServer;
        candidates_.push_back(Candidate{identity, false});
        // New sources are dialled at the next pass, not a second later.
        last_connector_pass_ = 0;
    }
}

size_t TaskPeerDriver::UsableCandidates() const {
    return static_cast<size_t>(
        std::count_if(candidates_.begin(), candidates_.end(), [](const Candidate& c) { return !c.dropped; }));
}

TaskPeerDriver::Candidate* TaskPeerDriver::Find(const TPeerId* identity) {
    for (Candidate& c : candidates_)
        if (c.identity.get() == identity) return &c;
    return nullptr;
}

void TaskPeerDriver::Dial() {
    // A connector pass runs once a second of the engine clock: the retry
    // delays count these passes.
    const uint64_t now = EngineSeconds();
    if (now == last_connector_pass_) return;
    last_connector_pass_ = now;
    const int32_t limit = std::max(task_.ViewMaxServerConnections(), 0);
    const int64_t speed = statistics_.CurrentDownloadSpeed();
    for (Candidate& c : candidates_) {
        if (static_cast<int32_t>(active_.size()) >= limit) return;
        // One connection per source: its share of the ranges is worked
        // through in turn, and a finished source takes over others' ranges.
        if (c.dropped || c.identity->open_connections > 0) continue;
        if (!MayTry(*c.identity, speed, now)) continue;
        SocketEnv env;
        env.clock = &clock();
        env.seconds = [this] { return EngineSeconds(); };
        env.pool = task_.ViewSocketPool();
        env.tcp = task_.ViewStreamTransport();
        env.resolver = &resolver_;
        RefPtr<TPeerObject> peer;
        if (c.identity->kind == kKindFtp) {
            peer = RefPtr<TPeerObject>::Adopt(new TFtpPeer(*this, env));
        } else {
            peer = RefPtr<TPeerObject>::Adopt(new THttpPeer(*this, env));
        }
        ++c.identity->open_connections;
        ++c.identity->attempts;
        if (!peer->AttachIdentity(c.identity.get())) {
            --c.identity->open_connections;
            c.identity->retry_delay += kPenaltyDropped;
            continue;
        }
        active_.push_back(peer);
    }
}

int32_t TaskPeerDriver::Pass() {
    blocks_taken_ = 0;
    if (!HasMetadata()) return 0;
    if (IsComplete()) {
        CloseAll();
        return 0;
    }
    Dial();
    // The second's download allowance is spent: the peers read nothing more
    // until the statistics pass grants the next one.
    if (statistics_.DownloadAllowance() <= 0) return 0;
    for (size_t i = 0; i < active_.size();) {
        TPeerObject& peer = *active_[i];
        passing_ = &peer;
        const bool ok = peer.DownloadPass() && !peer.IsTimedOut();
        passing_ = nullptr;
        if (!ok) {
            Drop(i);
            continue;
        }
        ++i;
    }
    return blocks_taken_;
}

void TaskPeerDriver::Drop(size_t index) {
    RefPtr<TPeerObject> peer = active_[index];
    active_.erase(active_.begin() + static_cast<std::ptrdiff_t>(index));
    if (Candidate* c = Find(peer->identity())) {
        // A source whose connection ended waits a connector pass at least
        // (its range may still hold pieces, or another's may).
        c->identity->retry_delay += kPenaltyFailedPass;
    }
    claimed_.erase(peer.get());
    bytes_at_snapshot_.erase(peer.get());
    peer->Reset();
}

void TaskPeerDriver::CloseAll() {
    while (!active_.empty()) Drop(active_.size() - 1);
    ranges_.Clear();
    shared_.clear();
}

void TaskPeerDriver::RateSnapshot(uint64_t elapsed_ms) {
    if (elapsed_ms == 0) return;
    int64_t sum = 0;
    for (const RefPtr<TPeerObject>& peer : active_) {
        const int64_t total = peer->bytes_received_total();
        int64_t& before = bytes_at_snapshot_[peer.get()];
        const int64_t rate = std::max<int64_t>(total - before, 0) * 1000 / static_cast<int64_t>(elapsed_ms);
        before = total;
        peer->transfer().download_rate = rate;
        sum += rate;
    }
    statistics_.SetRates(sum, 0);
}

void TaskPeerDriver::AddWaitEntries(std::vector<pollfd>& entries) const {
    for (const RefPtr<TPeerObject>& peer : active_) peer->AddWaitEntries(entries);
}

int64_t TaskPeerDriver::SummedRate() const {
    int64_t sum = 0;
    for (const RefPtr<TPeerObject>& peer : active_) sum += peer->transfer().download_rate;
    return sum;
}

// --- piece map facts -----------------------------------------------------------

Clock& TaskPeerDriver::clock() { return task_.ViewClock(); }

uint64_t TaskPeerDriver::EngineSeconds() { return task_.ViewSeconds(); }

bool TaskPeerDriver::HasMetadata() { return task_.MapReady(); }

int32_t TaskPeerDriver::PieceCount() { return task_.MapReady() ? task_.MapPieceCount() : 0; }

int64_t TaskPeerDriver::PieceLength() { return task_.MapReady() ? task_.MapPieceLength() : 0; }

int64_t TaskPeerDriver::PieceSize(int32_t piece) {
    if (piece < 0 || piece >= PieceCount()) return 0;
    return task_.MapPieceSize(piece);
}

bool TaskPeerDriver::PieceWanted(int32_t piece) {
    return piece >= 0 && piece < PieceCount() && task_.MapPieceNeeded(piece);
}

bool TaskPeerDriver::BlockPresent(int32_t piece, int64_t offset, int32_t) {
    if (piece < 0 || piece >= PieceCount()) return false;
    return task_.MapBlockPresent(piece, offset);
}

bool TaskPeerDriver::MissingSpan(int32_t piece, int64_t* first_missing, int64_t* piece_size) {
    if (!PieceWanted(piece)) return false;
    const int64_t size = PieceSize(piece);
    for (int64_t offset = 0; offset < size; offset += kBlockSize) {
        if (!BlockPresent(piece, offset, kBlockSize)) {
            *first_missing = offset;
            *piece_size = size;
            return true;
        }
    }
    return false;
}

bool TaskPeerDriver::IsComplete() {
    const int32_t count = PieceCount();
    if (count == 0) return false;
    for (int32_t p = 0; p < count; ++p)
        if (PieceWanted(p)) return false;
    return true;
}

int64_t TaskPeerDriver::MissingPieces() {
    int64_t missing = 0;
    const int32_t count = PieceCount();
    for (int32_t p = 0; p < count; ++p)
        if (PieceWanted(p)) ++missing;
    return missing;
}

// --- ranges --------------------------------------------------------------------

void TaskPeerDriver::BuildRanges() {
    std::vector<ServerCandidateInfo> infos;
    std::vector<TPeerId*> ids;
    for (Candidate& c : candidates_) {
        if (c.dropped) continue;
        ServerCandidateInfo info;
        info.server = c.identity->IsServer();
        info.whole_content = c.identity->Source().whole_content;
        infos.push_back(info);
        ids.push_back(c.identity.get());
    }
    const RangePlan plan = PlanServerRanges(PieceCount(), infos);
    if (plan.ok) ranges_.AddPlanned(plan, ids, EngineSeconds());
}

TPieceRange* TaskPeerDriver::AssignRange(TPeerObject& peer) { return ranges_.Assign(peer, EngineSeconds(), random_); }

TPieceRange* TaskPeerDriver::AddRange(int32_t first, int32_t last, TPeerObject& owner) {
    return ranges_.Add(first, last, owner.identity(), &owner, EngineSeconds());
}

TPieceRange* TaskPeerDriver::SplitRangeAt(int32_t position, TPeerObject& peer) {
    return ranges_.SplitAt(position, peer, EngineSeconds());
}

int32_t TaskPeerDriver::RangesClaimed(const TPeerObject& peer) {
    auto it = claimed_.find(&peer);
    const int32_t own = const_cast<TPeerObject&>(peer).Info(0) ? const_cast<TPeerObject&>(peer).Info(0)->ranges_claimed : 0;
    return own + (it == claimed_.end() ? 0 : it->second);
}

int32_t TaskPeerDriver::LastPiece(const TPeerObject& peer) {
    const PeerStatistics* stats = const_cast<TPeerObject&>(peer).Info(0);
    return stats ? stats->current_piece : -1;
}

// --- requests and data -----------------------------------------------------------

bool TaskPeerDriver::SharedRequestListed(int64_t block) {
    return std::any_of(shared_.begin(), shared_.end(), [&](const RequestRecord& r) { return r.block == block; });
}

bool TaskPeerDriver::TakeSharedRequest(int64_t block, int32_t length) {
    for (auto it = shared_.begin(); it != shared_.end(); ++it) {
        if (it->block == block && it->length == length) {
            shared_.erase(it);
            return true;
        }
    }
    return false;
}

void TaskPeerDriver::ReturnRequests(std::vector<RequestRecord>& records) {
    // Server peers request by range: their pieces go back with the range, and
    // no other peer picks requests up from the shared list yet.
    records.clear();
}

BlockWriteResult TaskPeerDriver::WriteBlock(int32_t piece, int64_t offset, int32_t length, const uint8_t* data,
                                            int32_t) {
    BlockWriteResult result;
    if (!HasMetadata() || offset < 0 || offset > INT32_MAX) return result;
    bool complete = false;
    const int32_t taken = task_.ReceivePieceBlock(piece, offset, length, data, &complete);
    if (taken == TaskPieceView::kHashFailed) {
        result.taken = true;
        result.hash_failed = true;
        return result;
    }
    if (taken <= 0) return result;
    result.taken = true;
    result.piece_complete = complete;
    // A source that completes pieces is dialled again sooner after a failure.
    if (complete && passing_ && passing_->identity()) ++passing_->identity()->finished_pieces;
    statistics_.AddPayload(taken);
    ++blocks_taken_;
    return result;
}

void TaskPeerDriver::AddReceived(int64_t bytes) { statistics_.AddReceived(bytes); }

void TaskPeerDriver::AddKindBytes(int32_t kind, int64_t bytes) {
    if (bytes <= 0) return;
    if (kind == kKindFtp) {
        ftp_bytes_ += static_cast<uint64_t>(bytes);
    } else {
        http_bytes_ += static_cast<uint64_t>(bytes);
    }
}

int64_t TaskPeerDriver::DownloadAllowance() { return statistics_.DownloadAllowance(); }

// --- sources ---------------------------------------------------------------------

void TaskPeerDriver::PenaliseSource(TPeerId* identity, bool keep, int32_t passes) {
    Candidate* c = Find(identity);
    if (!c) return;
    if (!keep) {
        c->dropped = true;
        return;
    }
    // The delay counts connector passes; the back-off shortens it for a
    // source that delivered pieces or while nothing arrives.
    c->identity->retry_delay += std::max(passes, 0);
}

void TaskPeerDriver::AddCandidate(TPeerId* identity) {
    if (!identity || !identity->IsUsable()) return;
    const bool known = std::any_of(candidates_.begin(), candidates_.end(), [&](const Candidate& c) {
        return c.identity.get() == identity || (c.identity->text == identity->text && !c.dropped);
    });
    if (!known) candidates_.push_back(Candidate{RefPtr<TPeerId>::Share(identity), false});
}

}  // namespace zl
