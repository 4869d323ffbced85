#include "engine/udp/kademlia.h"

#include <algorithm>
#include <cassert>

#include "engine/meta/atomic_file.h"
#include "engine/meta/bencode.h"
#include "engine/net/address.h"
#include "engine/net/resolver.h"
#include "engine/udp/kad_messages.h"

namespace zl {

std::vector<KadRouter> DefaultKadRouters() {
    return {{"127.0.0.11", 6881}, {"127.0.0.12", 53}, {"127.0.0.13", 53}, {"127.0.0.14", 554}};
}

CKademlia::CKademlia(Clock& clock, IUdpSender* sender)
    : QThread(clock), clock_(clock), sender_(sender), routers_(DefaultKadRouters()),
      table_(KadId::Fresh(clock.SystemSeconds()), clock.TickMs() / 1000),
      transaction_counter_(clock.TickMs() & 0xFFFFFFFFu) {
    seconds_ = [this] { return clock_.TickMs() / 1000; };
}

CKademlia::~CKademlia() { Stop(); }

void CKademlia::SetSecondsSource(std::function<uint64_t()> seconds) {
    if (seconds) seconds_ = std::move(seconds);
}

void CKademlia::SetRouters(std::vector<KadRouter> routers) {
    ScopedLock lock(Lock());
    routers_ = std::move(routers);
}

void CKademlia::SetNodeCachePath(std::string path) {
    ScopedLock lock(Lock());
    cache_path_ = std::move(path);
}

std::vector<KadRouter> CKademlia::Routers() {
    ScopedLock lock(Lock());
    return routers_;
}

std::string CKademlia::NodeCachePath() {
    ScopedLock lock(Lock());
    return cache_path_;
}

uint64_t CKademlia::NowSeconds() { return seconds_(); }

uint64_t CKademlia::NextTransaction() {
    std::lock_guard guard(transaction_mutex_);
    return ++transaction_counter_;
}

// --- thread ---

void CKademlia::Run() {
    Begin();
    while (!CheckStop()) {
        Pass();
        // A full inbox ends the pause at once, so a burst is answered at the
        // pace this thread can keep rather than dropped until the next pass.
        GetClock().SleepMsUnless(kPassMs, [this] { return IsStopRequested() || inbox_waiting_.load(); });
    }
    End();
}

void CKademlia::Begin() {
    const uint64_t now = NowSeconds();
    last_sent_ = now;
    last_save_ = now;
    last_periodic_.reset();
    last_own_lookup_.reset();
    last_refresh_.reset();
    running_ = true;
    LoadCache();
    if (table_.Count() < kWantedNodes) Bootstrap();
}

void CKademlia::Pass() {
    ProcessInbox();
    Maintenance();
    Periodic();
}

void CKademlia::End() {
    running_ = false;
    SaveCache();
    {
        ScopedLock lock(Lock());
        own_lookups_.clear();
        lookups_.clear();  // lookups owned by tasks live on with their owners
        pings_.clear();
        ping_transactions_.clear();
        bootstrap_pings_.clear();
        table_.Clear();
        store_.Clear();
    }
    PublishStoreCounts();
    {
        std::lock_guard guard(inbox_mutex_);
        inbox_.clear();
        inbox_elements_ = 0;
        inbox_full_ = false;
    }
    std::lock_guard guard(to_add_mutex_);
    to_add_.clear();
}

// --- receiving ---

namespace {
size_t ElementsIn(const QElement& element) {
    size_t n = 1;
    for (int64_t i = 0; i < element.ChildCount(); ++i)
        if (const QElement* child = element.ChildAt(i)) n += ElementsIn(*child);
    return n;
}
}  // namespace

void CKademlia::OnDhtDatagram(const uint8_t* data, size_t length, uint32_t address, uint16_t port) {
    if (!running_.load()) return;
    {
        std::lock_guard guard(inbox_mutex_);
        if (inbox_full_) {
            ++dropped_;
            return;
        }
    }
    // KRPC messages are shallow; these limits keep a hostile datagram cheap.
    ParseLimits limits;
    limits.max_depth = 8;
    limits.max_elements = 4096;
    auto message = ParseElement(data, int64_t(length), limits);
    if (!message) {
        ++dropped_;
        return;
    }
    const size_t elements = ElementsIn(*message);
    std::lock_guard guard(inbox_mutex_);
    if (inbox_full_) {
        ++dropped_;
        return;
    }
    inbox_.push_back(KadInboxEntry{std::move(message), length, address, port});
    inbox_elements_ += elements;
    ++received_messages_;
    received_bytes_ += length;
    // Full by count, or by what the parsed messages hold: one datagram of
    // 8 KiB can parse into half a MiB.
    if (inbox_.size() >= kInboxFull || inbox_elements_ >= kInboxElementLimit) {
        inbox_full_ = true;
        inbox_waiting_ = true;
        GetClock().WakeSleepers();
    }
}

void CKademlia::ProcessInbox() {
    std::vector<KadInboxEntry> entries;
    {
        std::lock_guard guard(inbox_mutex_);
        entries.swap(inbox_);
        inbox_elements_ = 0;
        inbox_full_ = false;
        inbox_waiting_ = false;
    }
    KadOutbox outbox;
    for (KadInboxEntry& entry : entries) {
        HandleMessage(entry, outbox);
        Flush(outbox);
        entry.message.reset();
    }
}

void CKademlia::HandleMessage(KadInboxEntry& entry, KadOutbox& outbox) {
    const QDictionaryElement* message = entry.message ? entry.message->AsDictionary() : nullptr;
    if (!message) return;
    const auto y = message->BytesOf("y");
    if (!y || y->empty()) return;
    const char c = (*y)[0];
    const auto transaction = message->BytesOf("t");
    if (c == 'e') {
        HandleError(*message, transaction, entry.address);
        return;
    }
    const QElement* named = message->FindValue(std::string_view(&c, 1));
    const QDictionaryElement* body = nullptr;
    if (c == 'q')
        body = message->DictionaryOf("a");
    else if (c == 'r')
        body = message->DictionaryOf("r");
    if (!named || !transaction || !body || transaction->size() != kKadTransactionSize) return;
    const auto id = body->BytesOf("id");
    if (!id || id->size() != kKadIdSize) return;
    const KadNode sender(KadId::FromBytes(*id), entry.address, entry.port);
    if (c == 'q') {
        const auto method = message->BytesOf("q");
        if (method) HandleQuery(*method, *body, *transaction, sender);
        table_.Insert(sender, false, false, NowSeconds());
    } else if (c == 'r') {
        // An answer confirms a node we know; an unknown one enters the table
        // only when it answers something we asked.
        if (table_.Find(sender)) table_.Insert(sender, true, false, NowSeconds());
        DispatchResponse(*TransactionFromBytes(*transaction), sender, *body, outbox);
    }
}

void CKademlia::HandleError(const QDictionaryElement& message, std::optional<std::string_view> transaction,
                            uint32_t address) {
    // An error names no node id: it is matched to our query by its
    // transaction and the address it came from.
    if (!ReadKadError(message)) return;
    ++error_replies_;
    const std::optional<uint64_t> id = transaction ? TransactionFromBytes(*transaction) : std::nullopt;
    if (!id) return;
    std::vector<std::shared_ptr<CKadActionBase>> lookups;
    {
        ScopedLock lock(Lock());
        lookups = lookups_;
    }
    for (const auto& lookup : lookups)
        if (lookup->OnError(*id, address)) break;
}

void CKademlia::Respond(const KadNode& to, std::string_view transaction, std::string_view body) {
    const auto message = BuildResponse(table_.OwnId(), body, transaction);
    if (message) SendNow(*message, to.address, to.port);
}

void CKademlia::HandleQuery(std::string_view method, const QDictionaryElement& arguments,
                            std::string_view transaction, const KadNode& sender) {
    const uint64_t now = NowSeconds();
    if (method == kKadPing) {
        Respond(sender, transaction, {});
    } else if (method == kKadFindNode) {
        const auto target_bytes = arguments.BytesOf("target");
        if (!target_bytes || target_bytes->size() != kKadIdSize) return;
        const KadId target = KadId::FromBytes(*target_bytes);
        if (target.IsZero() || target == table_.OwnId()) return;
        std::vector<KadNode> nodes;
        table_.Closest(target, false, nodes);
        Respond(sender, transaction, NodesBody(nodes, table_.MakeToken(sender.address, sender.port)));
    } else if (method == kKadGetPeers) {
        const auto hash_bytes = arguments.BytesOf("info_hash");
        if (!hash_bytes || hash_bytes->size() != kKadIdSize) return;
        const KadId info_hash = KadId::FromBytes(*hash_bytes);
        const std::string token = table_.MakeToken(sender.address, sender.port);
        if (store_.Has(info_hash)) {
            Respond(sender, transaction, ValuesBody(store_.ValuesText(info_hash, now), token));
        } else {
            std::vector<KadNode> nodes;
            table_.Closest(info_hash, false, nodes);
            Respond(sender, transaction, NodesBody(nodes, token));
        }
    } else if (method == kKadAnnouncePeer) {
        const auto port = arguments.IntegerOf("port");
        const auto hash_bytes = arguments.BytesOf("info_hash");
        // A port outside 1..65535 is not answered, like a missing one.
        if (!port || !IsValidPort(*port) || !hash_bytes || hash_bytes->size() != kKadIdSize) return;
        const auto token = arguments.BytesOf("token");
        if (token && token->size() == kKadTokenSize && table_.CheckToken(*token, sender.address, sender.port)) {
            store_.Store(KadId::FromBytes(*hash_bytes), sender.address, uint16_t(*port), now);
            PublishStoreCounts();
            Respond(sender, transaction, {});
        } else {
            SendNow(BuildInvalidTokenError(transaction), sender.address, sender.port);
        }
    }
}

void CKademlia::DispatchResponse(uint64_t transaction, const KadNode& responder, const QDictionaryElement& response,
                                 KadOutbox& outbox) {
    const uint64_t now = NowSeconds();
    std::vector<std::shared_ptr<CKadActionBase>> lookups;
    {
        ScopedLock lock(Lock());
        auto boot = bootstrap_pings_.find(transaction);
        if (boot != bootstrap_pings_.end() && boot->second.address == responder.address) {
            bootstrap_pings_.erase(boot);
            AddNodeLocked(responder, true, outbox);
            return;
        }
        auto ping = ping_transactions_.find(transaction);
        if (ping != ping_transactions_.end() && ping->second.second == responder.address) {
            const NodeKey pinged = ping->second;
            ping_transactions_.erase(ping);
            if (pinged == KeyOf(responder)) {
                PingAnsweredLocked(responder, outbox);
            } else {
                // The address answers with another id now.
                auto record = pings_.find(pinged);
                const KadNode old_node =
                    record != pings_.end() ? record->second.node : KadNode(pinged.first, pinged.second, 0);
                PingFailedLocked(old_node, outbox);
                AddNodeLocked(responder, true, outbox);
            }
            return;
        }
        lookups = lookups_;
    }
    for (const auto& lookup : lookups) {
        if (lookup->OnResponse(*this, transaction, responder, response)) {
            table_.Insert(responder, true, false, now);
            break;
        }
    }
}

// --- pings ---

void CKademlia::PingLocked(const KadNode& node, KadOutbox& outbox) {
    const uint64_t transaction = NextTransaction();
    auto message = BuildQuery(table_.OwnId(), kKadPing, {}, transaction);
    if (!message) return;
    const uint64_t now = NowSeconds();
    if (node.id.IsZero()) {
        bootstrap_pings_[transaction] = BootstrapPing{node.address, node.port, now};
    } else {
        pings_.try_emplace(KeyOf(node), PendingPing{node, now, {}});
        ping_transactions_[transaction] = KeyOf(node);
    }
    outbox.push_back(KadDatagram{std::move(*message), node.address, node.port});
}

void CKademlia::AddNodeLocked(const KadNode& node, bool answered, KadOutbox& outbox) {
    const auto q = table_.Insert(node, answered, false, NowSeconds());
    if (!q || q->SameAs(node)) return;
    if (!pings_.count(KeyOf(*q))) PingLocked(*q, outbox);
    auto record = pings_.find(KeyOf(*q));
    if (record == pings_.end()) return;
    auto& waiting = record->second.waiting;
    if (waiting.size() >= kMaxWaiting) return;
    if (std::any_of(waiting.begin(), waiting.end(), [&](const KadNode& w) { return w.SameAs(node); })) return;
    KadNode newcomer = node;
    if (answered) newcomer.MarkAnswered(NowSeconds());
    waiting.push_back(newcomer);
}

void CKademlia::PingAnsweredLocked(const KadNode& node, KadOutbox& outbox) {
    table_.Insert(node, true, false, NowSeconds());
    auto record = pings_.find(KeyOf(node));
    if (record == pings_.end()) return;
    const std::vector<KadNode> waiting = std::move(record->second.waiting);
    pings_.erase(record);
    for (const KadNode& w : waiting) AddNodeLocked(w, false, outbox);
}

void CKademlia::PingFailedLocked(const KadNode& node, KadOutbox& outbox) {
    auto record = pings_.find(KeyOf(node));
    if (record == pings_.end()) {
        table_.NoteFailure(node);
        return;
    }
    std::vector<KadNode> waiting = std::move(record->second.waiting);
    pings_.erase(record);
    for (auto it = ping_transactions_.begin(); it != ping_transactions_.end();) {
        if (it->second == KeyOf(node))
            it = ping_transactions_.erase(it);
        else
            ++it;
    }
    const int32_t failures = table_.NoteFailure(node);
    if (failures < 2) {
        // The pinged node keeps its place for now.
        for (const KadNode& w : waiting) AddNodeLocked(w, false, outbox);
        return;
    }
    if (waiting.empty()) return;
    const KadNode first = waiting.front();
    const auto r = table_.Replace(node, first, NowSeconds());
    if (r && r->Usable() && !r->SameAs(first)) {
        if (!pings_.count(KeyOf(*r))) PingLocked(*r, outbox);
        auto next = pings_.find(KeyOf(*r));
        if (next != pings_.end()) {
            auto& list = next->second.waiting;
            for (size_t i = 1; i < waiting.size() && list.size() < kMaxWaiting; ++i) list.push_back(waiting[i]);
        }
        return;
    }
    for (size_t i = 1; i < waiting.size(); ++i) AddNodeLocked(waiting[i], false, outbox);
}

std::vector<KadNode> CKademlia::ExpirePingsLocked(uint64_t now) {
    std::vector<KadNode> failed;
    for (const auto& [key, record] : pings_)
        if (now - record.sent >= kPingTimeoutSeconds) failed.push_back(record.node);
    for (auto it = ping_transactions_.begin(); it != ping_transactions_.end();) {
        auto record = pings_.find(it->second);
        if (record == pings_.end() || now - record->second.sent >= kPingTimeoutSeconds)
            it = ping_transactions_.erase(it);
        else
            ++it;
    }
    for (auto it = bootstrap_pings_.begin(); it != bootstrap_pings_.end();) {
        if (now - it->second.sent >= kPingTimeoutSeconds)
            it = bootstrap_pings_.erase(it);
        else
            ++it;
    }
    return failed;
}

void CKademlia::PingAddress(uint32_t address, uint16_t port) {
    if (!IsValidAddress(address) || port == 0) return;
    KadOutbox outbox;
    {
        ScopedLock lock(Lock());
        PingLocked(KadNode(KadId(), address, port), outbox);
    }
    Flush(outbox);
}

// --- lookups ---

void CKademlia::AddLookupLocked(const std::shared_ptr<CKadActionBase>& lookup) {
    if (std::find(lookups_.begin(), lookups_.end(), lookup) == lookups_.end()) lookups_.push_back(lookup);
    if (lookup->NotStarted()) lookup->Start(*this);
}

void CKademlia::AddLookup(const std::shared_ptr<CKadActionBase>& lookup) {
    if (!lookup) return;
    ScopedLock lock(Lock());
    AddLookupLocked(lookup);
}

void CKademlia::RemoveLookup(const CKadActionBase* lookup) {
    ScopedLock lock(Lock());
    auto same = [&](const std::shared_ptr<CKadActionBase>& l) { return l.get() == lookup; };
    lookups_.erase(std::remove_if(lookups_.begin(), lookups_.end(), same), lookups_.end());
    own_lookups_.erase(std::remove_if(own_lookups_.begin(), own_lookups_.end(), same), own_lookups_.end());
}

void CKademlia::StartOwnFind(const KadId& target) {
    auto lookup = std::make_shared<CKadActionFind>(target);
    ScopedLock lock(Lock());
    own_lookups_.push_back(lookup);
    AddLookupLocked(lookup);
}

// --- the lookup host ---

uint64_t CKademlia::QueueQuery(const KadNode& node, std::string_view method, std::string_view arguments,
                               uint64_t transaction, KadOutbox& outbox) {
    const uint64_t used = transaction != 0 ? transaction : NextTransaction();
    auto message = BuildQuery(table_.OwnId(), method, arguments, used);
    if (!message) return 0;
    outbox.push_back(KadDatagram{std::move(*message), node.address, node.port});
    return used;
}

void CKademlia::SeedNodes(const KadId& target, std::vector<KadNode>& out) {
    table_.Closest(target, false, out);
    table_.Closest(target, true, out);
}

void CKademlia::LearnNode(const KadNode& node) {
    std::lock_guard guard(to_add_mutex_);
    if (to_add_.size() >= kMaxToAdd) return;
    if (std::any_of(to_add_.begin(), to_add_.end(), [&](const KadNode& n) { return n.SameAs(node); })) return;
    to_add_.push_back(node);
}

void CKademlia::InsertNode(const KadNode& node) { table_.Insert(node, false, false, NowSeconds()); }

std::string CKademlia::StoredPeers(const KadId& info_hash) { return store_.PlainPeers(info_hash, NowSeconds()); }

void CKademlia::RememberToken(const KadNode& node, std::string_view token) {
    table_.RememberToken(node, token, NowSeconds());
}

std::string CKademlia::ReceivedToken(const KadNode& node) { return table_.ReceivedToken(node, NowSeconds()); }

// --- sending ---

void CKademlia::SendNow(const std::string& bytes, uint32_t address, uint16_t port) {
    // Sending under the DHT lock could deadlock against the UDP server.
    assert(Lock().Owner() != CurrentThreadId());
    ++sent_messages_;
    sent_bytes_ += bytes.size();
    last_sent_ = NowSeconds();
    IUdpSender* sender = sender_.load();
    if (sender) sender->Send(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(), address, port);
}

void CKademlia::Flush(KadOutbox& outbox) {
    for (const KadDatagram& d : outbox) SendNow(d.bytes, d.address, d.port);
    outbox.clear();
}

// --- upkeep ---

void CKademlia::Maintenance() {
    const uint64_t now = NowSeconds();
    std::vector<KadNode> failed;
    std::vector<std::shared_ptr<CKadActionBase>> lookups;
    std::vector<KadNode> to_add;
    {
        ScopedLock lock(Lock());
        failed = ExpirePingsLocked(now);
        for (auto it = own_lookups_.begin(); it != own_lookups_.end();) {
            if ((*it)->IsDone()) {
                const CKadActionBase* done = it->get();
                lookups_.erase(std::remove_if(lookups_.begin(), lookups_.end(),
                                              [&](const auto& l) { return l.get() == done; }),
                               lookups_.end());
                it = own_lookups_.erase(it);
            } else {
                ++it;
            }
        }
        lookups = lookups_;
    }
    {
        std::lock_guard guard(to_add_mutex_);
        to_add.swap(to_add_);
    }
    KadOutbox outbox;
    for (const auto& lookup : lookups) lookup->CheckTimeouts(*this, failed, outbox);
    lookups.clear();  // a lookup its owner dropped meanwhile goes here
    Flush(outbox);
    {
        ScopedLock lock(Lock());
        for (const KadNode& n : failed) PingFailedLocked(n, outbox);
        for (const KadNode& n : to_add) AddNodeLocked(n, false, outbox);
    }
    Flush(outbox);
}

void CKademlia::Bootstrap() {
    std::vector<KadRouter> routers;
    {
        ScopedLock lock(Lock());
        routers = routers_;
    }
    for (const KadRouter& r : routers) {
        if (CheckStop()) return;
        const uint32_t address = resolver_ ? resolver_->ResolveHost(r.host) : ParseDottedLoose(r.host);
        if (IsValidAddress(address)) PingAddress(address, r.port);
    }
}

void CKademlia::Periodic() {
    const uint64_t now = NowSeconds();
    if (last_periodic_ && now - *last_periodic_ < kPeriodicSeconds) return;
    last_periodic_ = now;
    const size_t count = table_.Count();
    const size_t answered = table_.AnsweredCount();
    if (count < kWantedNodes) Bootstrap();
    if (store_.Expire(now)) PublishStoreCounts();
    table_.RotateTokens(now, false);
    if (!last_own_lookup_ || now - *last_own_lookup_ >= kOwnLookupSeconds) {
        last_own_lookup_ = now;
        StartOwnFind(table_.OwnId().Plus(uint32_t(clock_.TickMs() % 268435455u)));
    }
    size_t own_count;
    {
        ScopedLock lock(Lock());
        own_count = own_lookups_.size();
    }
    const bool forced = answered < kWantedNodes && own_count <= 1;
    if (forced || !last_refresh_ || now - *last_refresh_ >= kRefreshSeconds) {
        const bool earlier = last_refresh_.has_value();
        last_refresh_ = now;
        for (const KadBucketRange& range : table_.Ranges()) {
            if (!forced && earlier && now - range.changed < kBucketQuietSeconds) continue;
            StartOwnFind(range.low.Halved() + range.high.Halved());
        }
    }
    if (now - last_sent_.load() > kIdlePingSeconds) {
        const auto node = table_.LeastRecentlyAnswered();
        if (node && node->Usable()) {
            KadOutbox outbox;
            {
                ScopedLock lock(Lock());
                if (!pings_.count(KeyOf(*node))) PingLocked(*node, outbox);
            }
            Flush(outbox);
        }
    }
    if (now - last_save_ > kSaveSeconds) {
        last_save_ = now;
        SaveCache();
    }
}

// --- node cache ---

bool CKademlia::SaveCache() {
    const std::string path = NodeCachePath();
    if (path.empty()) return false;
    return WriteFileAtomic(path, table_.Serialise());
}

bool CKademlia::LoadCache() {
    const std::string path = NodeCachePath();
    if (path.empty()) return false;
    const auto text = ReadWholeFile(path, kMaxCacheBytes);
    if (!text || text->empty()) return false;
    return table_.Load(*text, NowSeconds());
}

void CKademlia::PublishStoreCounts() {
    stored_hashes_ = store_.InfoHashCount();
    stored_peers_ = store_.PeerCount();
}

KadStats CKademlia::Stats() {
    KadStats s;
    s.received_messages = received_messages_.load();
    s.received_bytes = received_bytes_.load();
    s.sent_messages = sent_messages_.load();
    s.sent_bytes = sent_bytes_.load();
    s.dropped_datagrams = dropped_.load();
    s.error_replies = error_replies_.load();
    {
        std::lock_guard guard(inbox_mutex_);
        s.inbox = inbox_.size();
    }
    s.nodes = table_.Count();
    s.answered_nodes = table_.AnsweredCount();
    ScopedLock lock(Lock());
    s.pending_pings = pings_.size();
    s.bootstrap_pings = bootstrap_pings_.size();
    s.lookups = lookups_.size();
    s.own_lookups = own_lookups_.size();
    s.stored_info_hashes = stored_hashes_.load();
    s.stored_peers = stored_peers_.load();
    return s;
}

}  // namespace zl
