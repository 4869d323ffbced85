#include "engine/udp/kad_lookup.h"

#include <algorithm>

#include "engine/meta/qelement.h"
#include "engine/udp/kad_messages.h"

namespace zl {

CKadActionBase::CKadActionBase(const KadId& target, std::string method, bool exact_match, int32_t timeout_seconds)
    : target_(target), method_(std::move(method)), exact_match_(exact_match), timeout_seconds_(timeout_seconds) {}

std::string CKadActionBase::Method() {
    ScopedLock lock(lock_);
    return method_;
}

bool CKadActionBase::IsRunning() {
    ScopedLock lock(lock_);
    return RunningLocked();
}

bool CKadActionBase::IsDone() {
    ScopedLock lock(lock_);
    return done_time_ != 0;
}

bool CKadActionBase::NotStarted() {
    ScopedLock lock(lock_);
    return start_time_ == 0;
}

uint64_t CKadActionBase::DoneTime() {
    ScopedLock lock(lock_);
    return done_time_;
}

int32_t CKadActionBase::InFlight() {
    ScopedLock lock(lock_);
    return in_flight_;
}

size_t CKadActionBase::CandidateCount() {
    ScopedLock lock(lock_);
    return candidates_.size();
}

void CKadActionBase::BaseReset() {
    start_time_ = 0;
    done_time_ = 0;
    in_flight_ = 0;
    pending_.clear();
    asked_.clear();
    queried_.clear();
    answered_.clear();
    candidates_.clear();
}

void CKadActionBase::Reset() {
    ScopedLock lock(lock_);
    BaseReset();
}

void CKadActionBase::Start(KadLookupHost& host) {
    ScopedLock lock(lock_);
    Reset();
    if (target_.IsZero()) return;
    std::vector<KadNode> nodes;
    host.SeedNodes(target_, nodes);
    Seed(host, std::move(nodes));
}

bool CKadActionBase::Seed(KadLookupHost& host, std::vector<KadNode> nodes) {
    ScopedLock lock(lock_);
    const uint64_t now = host.NowSeconds();
    if (nodes.empty()) {
        Finish(host);
        return false;
    }
    start_time_ = now;
    const KadId own = host.OwnId();
    for (const KadNode& n : nodes)
        if (n.id != own) AddCandidate(n);
    if (candidates_.empty()) {
        Finish(host);
        return false;
    }
    return true;
}

void CKadActionBase::BaseFinish(uint64_t now) {
    done_time_ = now;
    in_flight_ = 0;
    asked_.clear();
    queried_.clear();
    answered_.clear();
    pending_.clear();
}

void CKadActionBase::Finish(KadLookupHost& host) {
    ScopedLock lock(lock_);
    BaseFinish(host.NowSeconds());
}

void CKadActionBase::SortByDistance(std::vector<KadNode>& nodes) const {
    std::stable_sort(nodes.begin(), nodes.end(),
                     [&](const KadNode& a, const KadNode& b) { return NearerTo(target_, a.id, b.id); });
}

bool CKadActionBase::AddCandidate(const KadNode& node) {
    if (!node.Usable()) return false;
    for (const KadNode& c : candidates_)
        if (c.SameAs(node)) return false;
    candidates_.push_back(node);
    if (candidates_.size() <= kMaxCandidates) return true;
    // Full: keep the nearest, so a long lookup still closes in on its target.
    SortByDistance(candidates_);
    const bool kept = !candidates_.back().SameAs(node);
    candidates_.pop_back();
    return kept;
}

bool CKadActionBase::MayQuery(KadLookupHost& host, const KadNode& node) {
    if (in_flight_ >= kMaxInFlight) return false;
    if (node.id == host.OwnId()) return false;
    if (queried_.count(EndpointOf(node)) || asked_.count(KeyOf(node))) return false;
    asked_.insert(KeyOf(node));
    queried_.insert(EndpointOf(node));
    return true;
}

void CKadActionBase::RecordPending(uint64_t transaction, const KadNode& node, uint64_t now) {
    pending_[transaction] = Pending{node, now, false};
}

bool CKadActionBase::Walk(KadLookupHost& host, KadOutbox& outbox) {
    if (in_flight_ >= kMaxInFlight) return true;
    SortByDistance(candidates_);
    const size_t limit = answered_.empty() ? candidates_.size() : std::min(kWalkAfterAnswer, candidates_.size());
    const std::vector<KadNode> walk(candidates_.begin(), candidates_.begin() + std::ptrdiff_t(limit));
    for (const KadNode& c : walk) {
        if (exact_match_ && c.id == target_) {
            Finish(host);
            return false;
        }
        if (MayQuery(host, c) && SendQuery(host, c, 0, outbox)) ++in_flight_;
    }
    return true;
}

void CKadActionBase::FinishIfIdleOrLate(KadLookupHost& host) {
    if (in_flight_ == 0) {
        Finish(host);
    } else if (timeout_seconds_ >= 1 && host.NowSeconds() - start_time_ >= uint64_t(timeout_seconds_)) {
        Finish(host);
    }
}

void CKadActionBase::Step(KadLookupHost& host, KadOutbox& outbox) {
    ScopedLock lock(lock_);
    if (!RunningLocked()) return;
    if (Walk(host, outbox)) FinishIfIdleOrLate(host);
}

void CKadActionBase::CheckTimeouts(KadLookupHost& host, std::vector<KadNode>& failed, KadOutbox& outbox) {
    ScopedLock lock(lock_);
    if (!RunningLocked()) return;
    const uint64_t now = host.NowSeconds();
    for (auto it = pending_.begin(); it != pending_.end();) {
        Pending& p = it->second;
        const uint64_t age = now - p.sent;
        if (age < kGiveUpAfterSeconds) {
            if (!p.resent && age > kResendAfterSeconds) {
                p.resent = true;
                SendQuery(host, p.node, it->first, outbox);
            }
            ++it;
            continue;
        }
        if (std::none_of(failed.begin(), failed.end(), [&](const KadNode& n) { return n.SameAs(p.node); }))
            failed.push_back(p.node);
        it = pending_.erase(it);
    }
    in_flight_ = int32_t(pending_.size());
    Step(host, outbox);
}

bool CKadActionBase::OnResponse(KadLookupHost& host, uint64_t transaction, const KadNode& node,
                                const QDictionaryElement& response) {
    ScopedLock lock(lock_);
    if (!RunningLocked()) return false;
    auto it = pending_.find(transaction);
    if (it == pending_.end() || !it->second.node.SameAs(node)) return false;
    pending_.erase(it);
    if (in_flight_ > 0) --in_flight_;
    if (done_time_ == 0 && answered_.insert(KeyOf(node)).second) {
        OnResponseBody(host, node, response);
        const auto token = response.BytesOf("token");
        if (token && !token->empty() && token->size() <= kKadMaxReceivedTokenSize) host.RememberToken(node, *token);
    }
    return true;
}

bool CKadActionBase::OnError(uint64_t transaction, uint32_t address) {
    ScopedLock lock(lock_);
    if (!RunningLocked()) return false;
    auto it = pending_.find(transaction);
    if (it == pending_.end() || it->second.node.address != address) return false;
    pending_.erase(it);
    if (in_flight_ > 0) --in_flight_;
    return true;
}

void CKadActionBase::Results(std::vector<KadNode>& out) {
    ScopedLock lock(lock_);
    if (done_time_ == 0) return;
    std::vector<KadNode> sorted = candidates_;
    SortByDistance(sorted);
    const size_t n = std::min(exact_match_ ? size_t(1) : kResultNodes, sorted.size());
    out.insert(out.end(), sorted.begin(), sorted.begin() + std::ptrdiff_t(n));
}

// --- find_node ---

CKadActionFind::CKadActionFind(const KadId& target)
    : CKadActionBase(target, std::string(kKadFindNode), true, kTimeoutSeconds) {}

bool CKadActionFind::SendQuery(KadLookupHost& host, const KadNode& node, uint64_t transaction, KadOutbox& outbox) {
    ScopedLock lock(lock_);
    const uint64_t used = host.QueueQuery(node, method_, FindNodeArguments(target_), transaction, outbox);
    if (transaction == 0 && used != 0) RecordPending(used, node, host.NowSeconds());
    return used != 0;
}

void CKadActionFind::OnResponseBody(KadLookupHost& host, const KadNode&, const QDictionaryElement& response) {
    const auto nodes = response.BytesOf("nodes");
    if (!nodes) return;
    const auto* p = reinterpret_cast<const uint8_t*>(nodes->data());
    for (size_t at = 0; at + kCompactNodeSize <= nodes->size(); at += kCompactNodeSize) {
        const KadNode n = ReadCompactNode(p + at);
        if (AddCandidate(n)) host.LearnNode(n);
    }
}

// --- get_peers and announce_peer ---

CKadActionBitTorrent::CKadActionBitTorrent(const KadId& info_hash)
    : CKadActionBase(info_hash, std::string(kKadGetPeers), false, kTimeoutSeconds) {}

void CKadActionBitTorrent::SetAnnouncedPort(uint16_t port) {
    ScopedLock lock(lock_);
    announced_port_ = port;
}

bool CKadActionBitTorrent::InAnnouncePhase() {
    ScopedLock lock(lock_);
    return announce_phase_;
}

int32_t CKadActionBitTorrent::AnnounceCount() {
    ScopedLock lock(lock_);
    return announce_count_;
}

std::vector<KadNode> CKadActionBitTorrent::AnnounceList() {
    ScopedLock lock(lock_);
    return announce_list_;
}

void CKadActionBitTorrent::BitTorrentReset() {
    announce_phase_ = false;
    method_ = std::string(kKadGetPeers);
    announce_count_ = 0;
    take_stored_peers_ = true;
    results_.clear();
    results_.reserve(kResultReserve);
    value_counts_.clear();
    announce_list_.clear();
}

void CKadActionBitTorrent::Reset() {
    ScopedLock lock(lock_);
    BaseReset();
    BitTorrentReset();
}

void CKadActionBitTorrent::Start(KadLookupHost& host) {
    ScopedLock lock(lock_);
    if (target_.IsZero()) return;
    CKadActionBase::Start(host);
    results_.reserve(kResultReserve);
    take_stored_peers_ = true;
}

bool CKadActionBitTorrent::Seed(KadLookupHost& host, std::vector<KadNode> nodes) {
    ScopedLock lock(lock_);
    size_t added = 0;
    for (const KadNode& n : announced_to_) {
        if (added >= kReseedFromAnnounced) break;
        if (std::any_of(nodes.begin(), nodes.end(), [&](const KadNode& x) { return x.SameAs(n); })) continue;
        nodes.push_back(n);
        ++added;
    }
    announced_to_.clear();
    return CKadActionBase::Seed(host, std::move(nodes));
}

bool CKadActionBitTorrent::SendQuery(KadLookupHost& host, const KadNode& node, uint64_t transaction,
                                     KadOutbox& outbox) {
    ScopedLock lock(lock_);
    std::string arguments;
    if (announce_phase_) {
        arguments = AnnouncePeerArguments(target_, announced_port_, host.ReceivedToken(node));
        value_counts_.try_emplace(KeyOf(node), Valued{node, 0});
    } else {
        arguments = GetPeersArguments(target_);
    }
    const uint64_t used = host.QueueQuery(node, method_, arguments, transaction, outbox);
    if (transaction == 0 && used != 0) RecordPending(used, node, host.NowSeconds());
    return used != 0;
}

void CKadActionBitTorrent::Step(KadLookupHost& host, KadOutbox& outbox) {
    ScopedLock lock(lock_);
    if (!RunningLocked()) return;
    if (take_stored_peers_) {
        AppendPeers(host.StoredPeers(target_));
        take_stored_peers_ = false;
    }
    if (!Walk(host, outbox)) return;
    if (announce_phase_ && in_flight_ < kMaxInFlight && !announce_list_.empty()) {
        SortByDistance(announce_list_);
        const size_t limit =
            answered_.empty() ? announce_list_.size() : std::min(kAnnounceWalk, announce_list_.size());
        const std::vector<KadNode> walk(announce_list_.begin(), announce_list_.begin() + std::ptrdiff_t(limit));
        for (const KadNode& n : walk)
            if (MayQuery(host, n) && SendQuery(host, n, 0, outbox)) ++in_flight_;
    }
    FinishIfIdleOrLate(host);
}

void CKadActionBitTorrent::AppendPeers(std::string_view compact) {
    const size_t whole = compact.size() / kCompactPeerSize * kCompactPeerSize;
    const size_t room = kMaxResultBytes > results_.size() ? kMaxResultBytes - results_.size() : 0;
    results_.append(compact.substr(0, std::min(whole, room / kCompactPeerSize * kCompactPeerSize)));
}

void CKadActionBitTorrent::OnResponseBody(KadLookupHost& host, const KadNode& node,
                                          const QDictionaryElement& response) {
    const QListElement* list = response.ListOf("values");
    const auto single = list ? std::nullopt : response.BytesOf("values");
    if (list || single) {
        int64_t peers = 0;
        auto take = [&](std::string_view v) {
            peers += int64_t(v.size() / kCompactPeerSize);
            AppendPeers(v);
        };
        if (list) {
            for (const auto& child : list->Children())
                if (child->IsString()) take(child->GetBytes());
        } else {
            take(*single);
        }
        value_counts_[KeyOf(node)] = Valued{node, int32_t(std::min<int64_t>(peers, INT32_MAX))};
        return;
    }
    if (const auto nodes = response.BytesOf("nodes")) {
        const auto* p = reinterpret_cast<const uint8_t*>(nodes->data());
        for (size_t at = 0; at + kCompactNodeSize <= nodes->size(); at += kCompactNodeSize) {
            const KadNode n = ReadCompactNode(p + at);
            host.InsertNode(n);
            AddCandidate(n);
        }
        return;
    }
    if (announce_phase_ && value_counts_.count(KeyOf(node))) {
        if (std::none_of(announced_to_.begin(), announced_to_.end(), [&](const KadNode& n) { return n.SameAs(node); }))
            announced_to_.push_back(node);
        if (++announce_count_ > kAnnouncesToFinish) Finish(host);
    }
}

void CKadActionBitTorrent::Finish(KadLookupHost& host) {
    ScopedLock lock(lock_);
    if (start_time_ == 0) return;
    const uint64_t now = host.NowSeconds();
    const bool switching = !announce_phase_;
    if (switching) {
        announce_phase_ = true;
        method_ = std::string(kKadAnnouncePeer);
        start_time_ = now;  // the time limit starts again
    } else {
        done_time_ = now;
    }
    announce_count_ = 0;
    in_flight_ = 0;
    queried_.clear();
    asked_.clear();
    pending_.clear();
    announce_list_.clear();
    if (switching) {
        // Nodes without a valid token cannot take an announce: never ask them again.
        for (const KadNode& c : candidates_)
            if (host.ReceivedToken(c).empty()) asked_.insert(KeyOf(c));
        for (const auto& entry : value_counts_) {
            const Valued& v = entry.second;
            if (v.count >= 1 && v.count <= kMaxValuesForAnnounce) announce_list_.push_back(v.node);
            if (std::none_of(announced_to_.begin(), announced_to_.end(),
                             [&](const KadNode& n) { return n.SameAs(v.node); }))
                announced_to_.push_back(v.node);
        }
    } else {
        value_counts_.clear();
    }
    answered_.clear();
}

bool CKadActionBitTorrent::TakeResults(std::string& out, bool clear) {
    ScopedLock lock(lock_);
    if (results_.empty()) return false;
    out += results_;
    if (clear) {
        results_.clear();
        results_.reserve(kResultReserve);
    }
    return true;
}

}  // namespace zl
