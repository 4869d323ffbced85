#include "engine/core/driver/peer_driver.h"

#include <algorithm>

#include "engine/core/peers/peer_order.h"
#include "engine/core/peers/retry_backoff.h"
#include "engine/core/peers/source_penalty.h"

#include "engine/net/ftp_peer.h"
#include "engine/net/http_peer.h"
#include "engine/net/source_url.h"

namespace zl {

TaskPeerDriver::TaskPeerDriver(TaskPieceView& task, TransferStatistics& statistics,
                               std::shared_ptr<IResolverBackend> names)
    : task_(task),
      statistics_(statistics),
      resolver_(std::move(names)),
      random_(task.ViewRandomSeed() != 0 ? TaskRandom::Derive(task.ViewRandomSeed(), 2) : TaskRandom::FreshSeed()),
      ranges_(*this),
      filter_(task),
      candidates_([this](TPeerId& identity) { return ParseSourceUrl(identity, resolver_); }) {
    candidates_.rules().filter = &filter_;
    started_ = task_.ViewSeconds();
    trackers_ = MakeTrackerConnector();
}

TaskPeerDriver::~TaskPeerDriver() {
    CloseAll();
    pool_.Clear();
}

std::unique_ptr<TaskPeers> MakeTaskPeers(TaskPieceView& view, TransferStatistics& statistics) {
    return std::make_unique<TaskPeerDriver>(view, statistics);
}

// --- candidates ------------------------------------------------------------------

void TaskPeerDriver::AddSources(const std::vector<std::string>& texts) {
    trackers_->AddSources(texts);
    candidates_.rules().tick_ms = clock().TickMs();
    std::vector<std::string> servers;
    for (const std::string& text : texts) {
        // Known BitTorrent peers join as nodes; everything else as a server source.
        if (text.size() > 9 && (text.compare(0, 9, "btnode://") == 0 || text.compare(0, 9, "BTNODE://") == 0)) {
            auto node = RefPtr<TPeerId>::Adopt(new TPeerId(text));
            if (ParseSourceUrl(*node, resolver_) && node->IsNode()) AddKnownNode(*node);
            continue;
        }
        servers.push_back(text);
    }
    candidates_.RefreshSources(servers);
    ReportHostFailure();
    // New sources are dialled at the next pass, not a second later.
    if (candidates_.TakeAdmitted()) last_connector_pass_ = 0;
}

void TaskPeerDriver::AddCandidate(TPeerId* identity) {
    if (!identity) return;
    candidates_.rules().tick_ms = clock().TickMs();
    // A redirect target is fetched at once: the peer that found it has ended.
    if (candidates_.Admit(*identity)) last_connector_pass_ = 0;
    candidates_.TakeAdmitted();
}

void TaskPeerDriver::NoteHostUnresolved() {
    if (UsableCandidates() == 0) task_.ViewHostUnresolved();
}

void TaskPeerDriver::ReportHostFailure() {
    // An unresolved name is the task's status only while no other source can
    // serve it: one mistyped mirror must not make a working download look failed.
    if (candidates_.TakeHostFailure()) NoteHostUnresolved();
}

size_t TaskPeerDriver::UsableCandidates() const {
    size_t usable = 0;
    candidates_.list().ForEach([&](const TPeerId& c) { usable += c.IsUsable() ? 1 : 0; });
    return usable;
}

void TaskPeerDriver::PenaliseSource(TPeerId* identity, bool keep, int32_t passes) {
    if (identity && passing_ && !keep) NoteEnded(*passing_, true);
    // "Remove the source" (keep false) takes it off the list; the next
    // source refresh may bring it back with fresh counters.
    if (identity) candidates_.Forget(*identity, keep, passes);
}

bool TaskPeerDriver::ChargeBadPiece(TPeerObject& sender, int32_t piece) {
    // The piece map dropped the piece's bytes; its range still holds it, so
    // it is fetched again. Every source that sent blocks of it is counted.
    std::vector<RefPtr<TPeerId>> sources;
    if (auto it = contributors_.find(piece); it != contributors_.end()) {
        sources = std::move(it->second);
        contributors_.erase(it);
    }
    TPeerId* sender_source = sender.identity();
    const auto holds = [](const std::vector<RefPtr<TPeerId>>& list, const TPeerId* id) {
        return std::any_of(list.begin(), list.end(), [id](const RefPtr<TPeerId>& s) { return s.get() == id; });
    };
    if (sender_source && !holds(sources, sender_source))
        sources.push_back(RefPtr<TPeerId>::Share(sender_source));
    for (const RefPtr<TPeerId>& source : sources)
        if (source->failed_pieces < INT32_MAX) ++source->failed_pieces;
    // Nobody fetches the piece any more: it is free for every peer again.
    task_.ViewMarkRequested(piece, false, true);
    const bool alone = sources.size() == 1 && sources.front().get() == sender_source;
    if (!alone || !sender_source) return false;
    bad_sender_ = &sender;  // its connection ends: the failing list says why
    // A source caught alone with a bad piece: the blocks it sent for other
    // pieces are not trusted either, so an honest peer completing one of
    // them is not blamed for its bytes.
    for (auto it = contributors_.begin(); it != contributors_.end();) {
        const std::vector<RefPtr<TPeerId>>& list = it->second;
        if (!holds(list, sender_source)) {
            ++it;
            continue;
        }
        task_.ViewDiscardPiece(it->first);
        it = contributors_.erase(it);
    }
    return true;
}

void TaskPeerDriver::CandidateCleanUp() {
    bool dropped = false;
    for (size_t i = active_.size(); i-- > 0;) {
        TPeerObject& peer = *active_[i].peer;
        if (!peer.identity() || !IsFailedServer(*peer.identity())) continue;
        // Its pieces are not trusted: the range goes and its pieces return to the others.
        if (peer.range()) peer.range()->discard = true;
        EndPeer(i, 0);
        dropped = true;
    }
    if (candidates_.RemoveFailedServers() > 0 || dropped) candidates_.list().Sort();
}

void TaskPeerDriver::PickServers(int32_t n) {
    if (n <= 0) return;
    const ServerListView servers = task_.ViewServerList();
    if (servers.urls.empty()) return;
    candidates_.rules().tick_ms = clock().TickMs();
    candidates_.PickServers(n, servers.urls, servers.hosts, random_);
}

// --- peers ------------------------------------------------------------------------

RefPtr<TPeerObject> TaskPeerDriver::CreatePeer(int32_t kind) {
    if (kind != kKindHttp && kind != kKindFtp && kind != kKindNode) return {};
    if (RefPtr<TPeerObject> pooled = pool_.Take(kind)) return pooled;
    SocketEnv env;
    env.clock = &clock();
    env.seconds = [this] { return EngineSeconds(); };
    env.pool = task_.ViewSocketPool();
    env.tcp = task_.ViewStreamTransport();
    env.udp = task_.ViewUdpStream();
    env.resolver = &resolver_;
    RefPtr<TPeerObject> peer;
    if (kind == kKindNode) {
        peer = RefPtr<TPeerObject>::Adopt(new TBTPeer(*this, *this, env));
    } else if (kind == kKindFtp) {
        peer = RefPtr<TPeerObject>::Adopt(new TFtpPeer(*this, env));
    } else {
        peer = RefPtr<TPeerObject>::Adopt(new THttpPeer(*this, env));
    }
    peer->Reset();
    return peer;
}

void TaskPeerDriver::ReturnPeer(const RefPtr<TPeerObject>& peer) {
    // Serial numbers are not given back: a live peer's number stays its own.
    claimed_.erase(peer.get());
    pool_.Return(peer, task_.ViewConnectionBudget());
}

bool TaskPeerDriver::Connector::Dial(TPeerId& candidate, uint64_t serial) {
    RefPtr<TPeerObject> peer = driver_.CreatePeer(candidate.kind);
    if (!peer) return false;
    if (!peer->AttachIdentity(&candidate)) {
        // A peer that took the identity counts its connection down when it
        // is reset; the connector counts the failed one down itself.
        const bool took = peer->identity() == &candidate;
        driver_.ReturnPeer(peer);
        if (took) ++candidate.open_connections;
        // A connection refused at once is a failed connection like one that
        // fails in its first pass: without this a dead local server would be
        // dialled every second.
        driver_.candidates_.Penalise(candidate, EndedPeer{}, kPenaltyFailedPass, driver_.IsComplete());
        return false;
    }
    driver_.active_.Add(peer, serial);
    return true;
}

bool TaskPeerDriver::Connector::IsBlocked(uint32_t address) const { return driver_.task_.ViewAddressBlocked(address); }

bool TaskPeerDriver::Connector::HasConnectionTo(uint32_t address, int32_t port) const {
    for (size_t i = 0; i < driver_.active_.size(); ++i) {
        const TPeerId* id = driver_.active_[i].peer->identity();
        if (id && id->address == address && id->port == port) return true;
    }
    return false;
}

bool TaskPeerDriver::Connector::HasConnectedPeer(uint32_t address, const PeerIdBytes& peer_id) const {
    for (size_t i = 0; i < driver_.active_.size(); ++i) {
        const TPeerObject& peer = *driver_.active_[i].peer;
        const TPeerId* id = peer.identity();
        if (id && peer.HandshakeDone() && id->address == address && id->peer_id == peer_id) return true;
    }
    return false;
}

bool TaskPeerDriver::Connector::DataComplete() const { return driver_.IsComplete(); }

int64_t TaskPeerDriver::Connector::CurrentSpeed() const { return driver_.statistics_.CurrentDownloadSpeed(); }

uint64_t TaskPeerDriver::Connector::Now() const { return driver_.EngineSeconds(); }

int32_t TaskPeerDriver::OpenServerConnections() const {
    int32_t open = 0;
    for (size_t i = 0; i < active_.size(); ++i) open += active_[i].peer->IsServer() ? 1 : 0;
    return open;
}

void TaskPeerDriver::ConnectorSecond(uint64_t now) {
    // Peers asked to go leave first, their sources penalised.
    if (!drop_.empty()) {
        for (TPeerObject* peer : active_.TakeDropped(drop_)) {
            for (size_t i = 0; i < active_.size(); ++i) {
                if (active_[i].peer.get() != peer) continue;
                EndPeer(i, kPenaltyDropped);
                break;
            }
        }
    }

    const int32_t limit = std::max(task_.ViewMaxServerConnections(), 0);
    int32_t open = OpenServerConnections();
    ServerConnectorInput input;
    input.open_servers = open;
    input.server_limit = limit;
    input.connections_per_server = task_.ViewConnectionsPerServer();
    const int32_t opened = RunServerConnector(candidates_.list(), input, connector_, connector_, serials_);
    open += opened;
    if (idle_.NoteSecond(opened)) {
        // Ten seconds without a new connection: look for sources again.
        candidates_.rules().tick_ms = clock().TickMs();
        candidates_.RefreshKnownSources();
        candidates_.ReResolve();
        PickServers(limit - open);
    }

    const ServerListView servers = task_.ViewServerList();
    const uint64_t run_seconds = now >= started_ ? now - started_ : 0;
    if (!servers_picked_ && servers.server_mode && !servers.urls.empty()) {
        // A run starts with the server list's sources at once; rotation
        // brings in others from its 31st second on.
        servers_picked_ = true;
        candidates_.rules().tick_ms = clock().TickMs();
        candidates_.PickServers(limit - open, servers.urls, servers.hosts, random_);
    }
    ServerBalanceInput balance;
    balance.server_mode = servers.server_mode;
    balance.ever_admitted = candidates_.list().EverAdmitted();
    balance.run_seconds = run_seconds;
    // Counted from the start of the run, so the first rotation comes after
    // 31 seconds, not at the first second.
    balance.now = run_seconds;
    balance.open_servers = open;
    balance.server_limit = limit;
    if (!servers.server_mode) {
        candidates_.list().ForEach([&](const TPeerId& c) {
            if (c.IsServer() && WouldBeEligible(c, connector_)) ++balance.eligible_servers;
        });
    }
    const ServerBalanceAction action = balancer_.Decide(balance);
    if (action.drop > 0) DropServers(action.drop, action.speed_aware);
    if (action.pick > 0 && !servers.urls.empty()) {
        candidates_.rules().tick_ms = clock().TickMs();
        candidates_.PickServers(action.pick, servers.urls, servers.hosts, random_);
        if (action.re_resolve) candidates_.ReResolve();
    }
    if (watchdog_.OnSecond(SummedRate())) {
        // The servers together have delivered almost nothing for a while:
        // look for sources again and dial what comes back at once.
        candidates_.rules().tick_ms = clock().TickMs();
        candidates_.RefreshKnownSources();
        if (open < limit) candidates_.ReResolve();
        last_connector_pass_ = 0;
    }
    ReportHostFailure();
    // Sources admitted in this second are dialled at the next pass.
    if (candidates_.TakeAdmitted()) last_connector_pass_ = 0;
}

void TaskPeerDriver::SortActive() {
    std::vector<ActivePeer<TPeerObject>>& entries = active_.entries();
    std::stable_sort(entries.begin(), entries.end(),
                     [](const ActivePeer<TPeerObject>& a, const ActivePeer<TPeerObject>& b) {
                         auto facts = [](const ActivePeer<TPeerObject>& e) {
                             PeerOrderFacts f;
                             f.present = e.peer.get() != nullptr;
                             if (!e.peer) return f;
                             f.handshake_done = e.peer->HandshakeDone();
                             f.node = e.peer->kind() == kKindNode;
                             f.receive_rate = e.peer->transfer().download_rate;
                             // What it read since the last snapshot: a source that
                             // stalled since then sorts behind one still sending.
                             f.download_accumulator = e.peer->transfer().download_accumulator;
                             f.total_sent = e.peer->transfer().total_sent;
                             f.serial = e.serial;
                             return f;
                         };
                         return ComparePeers(facts(a), facts(b), false) < 0;
                     });
}

void TaskPeerDriver::DropServers(int32_t count, bool speed_aware) {
    SortActive();
    std::vector<DropFacts> facts;
    facts.reserve(active_.size());
    for (size_t i = 0; i < active_.size(); ++i) {
        const TPeerObject& peer = *active_[i].peer;
        DropFacts f;
        f.kind = peer.kind();
        f.exhausted_server = peer.IsServer() && peer.identity() && peer.identity()->exhausted;
        f.download_rate = peer.transfer().download_rate;
        facts.push_back(f);
    }
    const DropMode mode = speed_aware ? DropMode::kKeepGoodSpeedAware : DropMode::kKeepGood;
    const std::vector<size_t> chosen =
        ChoosePeersToDrop(facts, kKindServers, count, mode, statistics_.CurrentDownloadSpeed());
    if (chosen.empty()) return;
    // From the end, so that the indexes still hold.
    std::vector<size_t> order = chosen;
    std::sort(order.rbegin(), order.rend());
    for (size_t index : order) {
        if (TPeerId* id = active_[index].peer->identity()) id->order_key = OrderKeyAfterDrop(id->order_key);
        EndPeer(index, 0);
    }
    candidates_.list().Sort();
}

int32_t TaskPeerDriver::Pass() {
    blocks_taken_ = 0;
    if (!HasMetadata()) return 0;
    ++passes_;
    const uint64_t now = EngineSeconds();
    // Peers that came or went (or told what they hold) change the piece
    // policy within a fraction of a second, not at the next full second.
    if (const uint64_t ms = clock().TickMs(); ms < crowd_checked_ms_ || ms >= crowd_checked_ms_ + kCrowdCheckMs) {
        crowd_checked_ms_ = ms;
        UpdateCrowdMode();
    }
    if (IsComplete()) {
        // Servers have nothing left to give; BitTorrent peers stay to be served.
        for (size_t i = active_.size(); i-- > 0;)
            if (active_[i].peer->kind() != kKindNode) EndPeer(i, 0);
        ranges_.Clear();
        if (!P2PEnabled()) {
            CloseAll();
            return 0;
        }
        // Trackers still bring leechers to serve.
        trackers_->Pass(now);
        if (now != last_connector_pass_) {
            last_connector_pass_ = now;
            NodeSecond();
        }
        for (size_t i = 0; i < active_.size();) {
            TPeerObject& peer = *active_[i].peer;
            if (!peer.DownloadPass()) {
                EndPeer(i, kPenaltyFailedPass);
                continue;
            }
            statistics_.AddSent(peer.transfer().pass_sent);
            ++i;
        }
        UploadPasses();
        return 0;
    }
    trackers_->Pass(EngineSeconds());
    // The connector runs once a second of the engine clock: the retry
    // delays count these seconds.
    if (now != last_connector_pass_) {
        last_connector_pass_ = now;
        ConnectorSecond(now);
        NodeSecond();
    }
    UploadPasses();
    // The second's download allowance is spent: the peers read nothing more
    // until the statistics pass grants the next one.
    if (statistics_.DownloadAllowance() <= 0) return 0;
    bool lost_server = false;
    for (size_t i = 0; i < active_.size();) {
        TPeerObject& peer = *active_[i].peer;
        passing_ = &peer;
        passing_serial_ = active_[i].serial;
        const bool ok = peer.DownloadPass() && !peer.IsTimedOut();
        passing_ = nullptr;
        if (!ok) {
            lost_server = lost_server || (peer.IsServer() && peer.activity() != kActivityFinished);
            EndPeer(i, kPenaltyFailedPass);
            continue;
        }
        // The rate counts what the connection read, not only whole blocks: a
        // trickling source shows its trickle, not a rate of 0 between blocks.
        peer.transfer().download_accumulator += peer.transfer().pass_received;
        statistics_.AddSent(peer.transfer().pass_sent);
        ++i;
    }
    if (lost_server) candidates_.list().Sort();
    return blocks_taken_;
}

void TaskPeerDriver::EndPeer(size_t index, int32_t passes) {
    RefPtr<TPeerObject> peer = active_[index].peer;
    std::vector<ActivePeer<TPeerObject>>& entries = active_.entries();
    entries.erase(entries.begin() + static_cast<std::ptrdiff_t>(index));
    const int32_t activity = peer->activity();
    NoteEnded(*peer, passes > 0 && activity != kActivityFinished);
    // A peer that timed out penalised its source itself; one that finished
    // (nothing left, or a redirect handed over) is no failure.
    if (TPeerId* id = peer->identity(); id && passes > 0 && activity != kActivityTimedOut &&
                                        activity != kActivityFinished) {
        EndedPeer ended;
        ended.has_peer = true;
        const PeerStatistics* stats = peer->Info(0);
        ended.incoming = stats && stats->incoming;
        ended.handshake_done = peer->HandshakeDone();
        ended.stalled = peer->IsStalled();
        candidates_.Penalise(*id, ended, passes, IsComplete());
    }
    claims_.erase(peer.get());
    ReturnPeer(peer);
}

void TaskPeerDriver::CloseAll() {
    trackers_->CloseAll();
    if (dht_) dht_->Stop();
    while (!active_.empty()) EndPeer(active_.size() - 1, 0);
    ranges_.Clear();
    contributors_.clear();
    checking_.clear();
}

void TaskPeerDriver::PieceChecked(int32_t piece, bool matched) {
    Completer completer;
    if (auto it = checking_.find(piece); it != checking_.end()) {
        completer = std::move(it->second);
        checking_.erase(it);
    }
    // The completing connection, when it is still active.
    size_t index = active_.size();
    for (size_t i = 0; i < active_.size() && completer.peer; ++i)
        if (active_[i].peer.get() == completer.peer.get() && active_[i].serial == completer.serial) index = i;
    if (matched) {
        contributors_.erase(piece);
        if (completer.source) ++completer.source->finished_pieces;
        if (index < active_.size() && task_.ViewInEndgame()) completer.peer->outstanding().DropUnsent(piece);
        CancelPieceElsewhere(piece);
        return;
    }
    if (index < active_.size() && !passing_) {
        ChargeBadPiece(*completer.peer, piece);
        // As when the piece failed at its last block: the sender's connection ends.
        EndPeer(index, kPenaltyFailedPass);
        bad_sender_ = nullptr;
        return;
    }
    // The connection is gone: every source that sent blocks of it is counted.
    std::vector<RefPtr<TPeerId>> sources;
    if (auto it = contributors_.find(piece); it != contributors_.end()) {
        sources = std::move(it->second);
        contributors_.erase(it);
    }
    if (completer.source && std::none_of(sources.begin(), sources.end(), [&](const RefPtr<TPeerId>& s) {
            return s.get() == completer.source.get();
        }))
        sources.push_back(completer.source);
    for (const RefPtr<TPeerId>& source : sources)
        if (source->failed_pieces < INT32_MAX) ++source->failed_pieces;
    task_.ViewMarkRequested(piece, false, true);
}

void TaskPeerDriver::RateSnapshot(uint64_t elapsed_ms) {
    if (elapsed_ms == 0) return;
    int64_t sum = 0;
    int64_t upload_sum = 0;
    for (size_t i = 0; i < active_.size(); ++i) {
        TPeerObject& peer = *active_[i].peer;
        int64_t& received = peer.transfer().download_accumulator;
        const int64_t rate = std::max<int64_t>(received, 0) * 1000 / static_cast<int64_t>(elapsed_ms);
        received = 0;
        peer.transfer().download_rate = rate;
        if (peer.identity()) peer.identity()->last_download_rate = rate;
        sum += rate;
        if (TBTPeer* node = AsNode(peer)) {
            node->upload_rate = std::max<int64_t>(node->upload_accumulator, 0) * 1000 / static_cast<int64_t>(elapsed_ms);
            node->upload_accumulator = 0;
            node->choked_this_period = false;
            upload_sum += node->upload_rate;
        }
    }
    statistics_.SetRates(sum, upload_sum);
    if (IsComplete()) {
        SortActiveSeeding();
    } else {
        SortActive();
    }
    NodeFourSeconds();
}

void TaskPeerDriver::AddWaitEntries(std::vector<pollfd>& entries) const {
    for (size_t i = 0; i < active_.size(); ++i) active_[i].peer->AddWaitEntries(entries);
    trackers_->AddWaitEntries(entries);
}

uint64_t TaskPeerDriver::UdpStreamBytes() const {
    uint64_t sum = 0;
    for (size_t i = 0; i < active_.size(); ++i) {
        const TSocket* s = active_[i].peer->socket();
        if (s && s->udp_mode() && s->IsOpen()) sum += s->bytes_sent() + s->bytes_received();
    }
    return sum;
}

void TaskPeerDriver::SendToBitTorrentPeers(const uint8_t* bytes, size_t length) {
    if (!bytes || length == 0) return;
    for (size_t i = 0; i < active_.size(); ++i) {
        TPeerObject& peer = *active_[i].peer;
        if (peer.kind() == kKindNode && peer.HandshakeDone() && peer.socket())
            peer.socket()->Send(bytes, static_cast<int64_t>(length));
    }
}

int64_t TaskPeerDriver::SummedRate() const {
    int64_t sum = 0;
    for (size_t i = 0; i < active_.size(); ++i) sum += active_[i].peer->transfer().download_rate;
    return sum;
}

// --- piece map facts -----------------------------------------------------------

Clock& TaskPeerDriver::clock() { return task_.ViewClock(); }

uint64_t TaskPeerDriver::EngineSeconds() { return task_.ViewSeconds(); }

bool TaskPeerDriver::HasMetadata() { return task_.MapReady(); }

BlockInfo TaskPeerDriver::Geometry() { return task_.MapReady() ? task_.MapGeometry() : BlockInfo(); }

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
    for (int64_t offset = 0; offset < size; offset += BlockInfo::kBlock) {
        if (!task_.MapBlockPresent(piece, offset)) {
            *first_missing = offset;
            *piece_size = size;
            return true;
        }
    }
    return false;
}

// Asked by every peer on every pass: the piece map keeps the count, so the
// answer costs the same with 32 KiB pieces as with 4 MiB ones.
bool TaskPeerDriver::IsComplete() {
    const int32_t count = PieceCount();
    if (count == 0) return false;
    return MissingPieces() == 0;
}

int64_t TaskPeerDriver::MissingPieces() {
    const int32_t count = PieceCount();
    if (count == 0) return 0;
    const int64_t kept = task_.MapNeededPieces();
    if (kept >= 0) return kept;
    int64_t missing = 0;
    for (int32_t p = 0; p < count; ++p)
        if (PieceWanted(p)) ++missing;
    return missing;
}

// --- ranges --------------------------------------------------------------------

void TaskPeerDriver::BuildRanges() {
    // In a crowd a server's work is chosen run by run (CrowdRange).
    UpdateCrowdMode();
    if (crowd_mode_) return;
    std::vector<ServerCandidateInfo> infos;
    std::vector<TPeerId*> ids;
    const int32_t per_server = task_.ViewConnectionsPerServer();
    candidates_.list().ForEach([&](TPeerId& c) {
        if (!c.IsUsable()) return;
        ServerCandidateInfo info;
        info.server = c.IsServer();
        info.whole_content = c.SourceIfAny() && c.SourceIfAny()->whole_content;
        info.metainfo_source = c.metainfo_source;
        info.max_connections = ConnectLimit(c, per_server);
        infos.push_back(info);
        ids.push_back(&c);
    });
    const RangePlan plan = PlanServerRanges(PieceCount(), infos);
    if (!plan.ok) return;
    // Each server may hold as many connections as its share has sub-ranges.
    for (size_t i = 0; i < ids.size() && i < plan.max_connections.size(); ++i)
        if (plan.max_connections[i] > 0) ids[i]->max_connections = plan.max_connections[i];
    ranges_.AddPlanned(plan, ids, EngineSeconds());
}

TPieceRange* TaskPeerDriver::AssignRange(TPeerObject& peer) {
    if (crowd_mode_ && peer.IsServer()) {
        if (TPieceRange* run = CrowdRange(peer)) return run;
        // Nothing is free: a share of a slower server's run, as without a
        // crowd, asked for with its end as well.
        TPieceRange* share = ranges_.Assign(peer, EngineSeconds(), random_);
        if (share) share->bounded = true;
        return share;
    }
    return ranges_.Assign(peer, EngineSeconds(), random_);
}

TPieceRange* TaskPeerDriver::AddRange(int32_t first, int32_t last, TPeerObject& owner) {
    TPieceRange* range = ranges_.Add(first, last, owner.identity(), &owner, EngineSeconds());
    if (range && owner.identity()) ++owner.identity()->ranges_claimed;
    return range;
}

int64_t TaskPeerDriver::DownloadRate(const TPeerObject& peer) {
    // A connection not yet measured speaks for its source with the source's
    // latest rate: the range split weighs sources, not connections.
    if (peer.transfer().download_rate > 0 || !peer.identity()) return peer.transfer().download_rate;
    return peer.identity()->last_download_rate;
}

void TaskPeerDriver::NoteClaimed(TPeerObject& peer) {
    ++claimed_[&peer];
    if (peer.identity()) ++peer.identity()->ranges_claimed;
}

TPieceRange* TaskPeerDriver::SplitRangeAt(int32_t position, TPeerObject& peer) {
    return ranges_.SplitAt(position, peer, EngineSeconds());
}

int32_t TaskPeerDriver::RangesClaimed(const TPeerObject& peer) {
    auto it = claimed_.find(&peer);
    const int32_t own = const_cast<TPeerObject&>(peer).Info(0) ? const_cast<TPeerObject&>(peer).Info(0)->ranges_claimed : 0;
    const int32_t by_connection = own + (it == claimed_.end() ? 0 : it->second);
    const TPeerId* identity = peer.identity();
    return identity ? std::max(by_connection, identity->ranges_claimed) : by_connection;
}

int32_t TaskPeerDriver::LastPiece(const TPeerObject& peer) {
    const PeerStatistics* stats = const_cast<TPeerObject&>(peer).Info(0);
    return stats ? stats->current_piece : -1;
}

// --- requests and data -----------------------------------------------------------

// The shared request list is the task's (its piece layer keeps it).
bool TaskPeerDriver::SharedRequestListed(int64_t block) { return task_.ViewSharedRequestListed(block); }

bool TaskPeerDriver::TakeSharedRequest(int64_t block, int32_t length) {
    return task_.ViewTakeSharedRequest(block, length);
}

void TaskPeerDriver::ReturnRequests(std::vector<RequestRecord>& records) { task_.ViewReturnRequests(records); }

BlockWriteResult TaskPeerDriver::WriteBlock(int32_t piece, int64_t offset, int32_t length, const uint8_t* data,
                                            int32_t) {
    if (!HasMetadata()) return {};
    const bool had = task_.MapBlockPresent(piece, offset);
    const BlockWriteResult result = task_.ReceivePieceBlock(piece, offset, length, data);
    if (had || result.status == BlockWrite::kNotNeeded) twice_bytes_ += static_cast<uint64_t>(std::max(length, 0));
    if (passing_ && passing_->IsServer() && (result.taken() || result.status == BlockWrite::kNotNeeded))
        CancelElsewhere(piece, offset);
    if (result.taken() && !result.piece_verified() && passing_ && passing_->identity()) {
        // Who sent the blocks of a piece is remembered until it verifies.
        std::vector<RefPtr<TPeerId>>& sources = contributors_[piece];
        TPeerId* id = passing_->identity();
        if (std::none_of(sources.begin(), sources.end(), [id](const RefPtr<TPeerId>& s) { return s.get() == id; }))
            sources.push_back(RefPtr<TPeerId>::Share(id));
    }
    if (result.piece_verified()) {
        contributors_.erase(piece);
        CancelPieceElsewhere(piece);
    }
    if (result.piece_queued() && passing_)
        checking_[piece] = Completer{RefPtr<TPeerObject>::Share(passing_), RefPtr<TPeerId>::Share(passing_->identity()),
                                     passing_serial_};
    if (!result.taken() || result.hash_failed()) return result;
    // A source that completes pieces is dialled again sooner after a failure.
    if (result.piece_verified() && passing_ && passing_->identity()) ++passing_->identity()->finished_pieces;
    statistics_.AddPayload(result.bytes);
    ++blocks_taken_;
    return result;
}

void TaskPeerDriver::AddReceived(int64_t bytes) { statistics_.AddReceived(bytes); }

void TaskPeerDriver::AddKindBytes(int32_t kind, int64_t bytes) {
    if (bytes <= 0) return;
    if (passing_ && passing_->identity()) health_.NoteSuccess(SourceName(*passing_->identity()));
    if (kind == kKindNode) {
        bt_bytes_ += static_cast<uint64_t>(bytes);
    } else if (kind == kKindFtp) {
        ftp_bytes_ += static_cast<uint64_t>(bytes);
    } else {
        http_bytes_ += static_cast<uint64_t>(bytes);
    }
}

int64_t TaskPeerDriver::DownloadAllowance() { return statistics_.DownloadAllowance(); }

}  // namespace zl
