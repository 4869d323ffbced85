#include "engine/core/peers/candidate_list.h"

#include <algorithm>
#include <arpa/inet.h>
#include <climits>
#include <string>

#include "engine/base/text.h"

namespace zl {
namespace {


const std::string& HttpPath(const TPeerId& id) {
    static const std::string kEmpty;
    const TSourceAddress* s = id.SourceIfAny();
    return s ? s->http_path : kEmpty;
}

int Compare(int64_t a, int64_t b) { return a < b ? -1 : (a > b ? 1 : 0); }

}  // namespace

uint32_t LoopbackAddress() { return htonl(0x7F000001u); }

int CompareCandidates(const TPeerId* a, const TPeerId* b) {
    if (!a || !b) return a ? -1 : (b ? 1 : 0);
    if (int c = Compare(b->order_key, a->order_key)) return c;
    if (int c = Compare(b->finished_pieces, a->finished_pieces)) return c;
    if (int c = Compare(a->attempts, b->attempts)) return c;
    if (int c = Compare(a->connection_count, b->connection_count)) return c;
    return Compare(a->retry_delay, b->retry_delay);
}

bool IsFailedServer(const TPeerId& c) {
    if (!c.IsServer() || c.failed_pieces < 32) return false;
    if (c.finished_pieces <= 0) return true;  // nothing ever finished: all failed
    return int64_t(c.failed_pieces) * 100 / c.finished_pieces >= 50;
}

void AddRetryDelay(TPeerId& c, int64_t passes) {
    const int64_t sum = int64_t(c.retry_delay) + passes;
    c.retry_delay = int32_t(std::clamp<int64_t>(sum, INT32_MIN / 2, INT32_MAX / 2));
}

bool CandidateList::AddCandidate(const TPeerId& identity, bool hint, bool force, const AdmissionRules& rules) {
    if (identity.IsNode()) {
        if (identity.address == LoopbackAddress()) return false;
        if (rules.refuse_own_peer_id && identity.peer_id == rules.own_peer_id) return false;
    }
    if (identity.parsed && identity.port == rules.listener_port && identity.address == rules.listener_address)
        return false;
    if (rules.filter && IsValidAddress(identity.address) && rules.filter->IsBlocked(identity.address)) return false;

    const int32_t key = identity.IsNode() ? kOrderKeyNodeMin : identity.order_key;
    RemoveDuplicatePointers();
    int64_t first = -1, last = -1;
    for (size_t i = 0; i < items_.size(); ++i) {
        TPeerId* c = items_[i].get();
        if (!c) continue;
        if (c->order_key == key) {
            if (first < 0) first = int64_t(i);
            last = int64_t(i);
        }
        if (EqualsNoCase(c->text, identity.text) &&
            (!c->parsed || !identity.parsed || c->address == identity.address))
            return true;
        if (c->address == identity.address && c->port == identity.port && c->kind == identity.kind) {
            if (c->IsServer()) {
                if (c->parsed && identity.parsed && EqualsNoCase(HttpPath(*c), HttpPath(identity))) return true;
                continue;  // another file on the same server
            }
            if ((hint && TPeerId::IsOwnClientPeerId(identity.peer_id)) || force) c->peer_id = identity.peer_id;
            return true;
        }
    }

    if (identity.IsNode() && !MakeRoomForNode()) return false;
    RefPtr<TPeerId> copy = RefPtr<TPeerId>::Adopt(TPeerId::CopyOf(identity));
    copy->order_key = key;
    if (TPeerId::IsOwnClientPeerId(copy->peer_id)) TPeerId::SetOwnClientPrefix(&copy->peer_id);

    int64_t position = 0;
    if (copy->IsServer() || hint) {
        position = first;
        if (last > first) position = first + int64_t(rules.tick_ms % uint64_t(last - first));
        position = std::max<int64_t>(position, 0);
    }
    position = std::min<int64_t>(position, int64_t(items_.size()));
    items_.insert(items_.begin() + position, std::move(copy));
    ever_admitted_ = true;
    Sort();
    return true;
}

TPeerId* CandidateList::FindOrAddNode(uint32_t address, uint16_t port, int32_t kind, bool at_front,
                                      int32_t order_key, bool* added) {
    if (added) *added = false;
    for (const RefPtr<TPeerId>& c : items_) {
        if (!c || !c->IsUsable() || c->address != address || c->port != port || c->kind != kind) continue;
        if (kind != kKindNode) c->peer_id.fill(0);
        c->order_key = order_key;
        return c.get();
    }
    if (kind == kKindNode && !MakeRoomForNode()) return nullptr;
    RefPtr<TPeerId> node = RefPtr<TPeerId>::Adopt(new TPeerId());
    node->address = address;
    node->port = port;
    node->kind = kind;
    node->order_key = order_key;
    if (kind == kKindNode) {
        node->peer_id = TPeerId::NodePeerId(address, port);
        node->max_connections = 1;
        node->parsed = true;
        node->order_key = std::max(order_key, kOrderKeyNodeMin);
    }
    TPeerId* raw = node.get();
    if (at_front || raw->IsServer())
        items_.insert(items_.begin(), std::move(node));
    else
        items_.push_back(std::move(node));
    ever_admitted_ = true;
    if (added) *added = true;
    return raw;
}

bool CandidateList::MakeRoomForNode() {
    size_t nodes = 0;
    auto victim = items_.end();
    for (auto it = items_.begin(); it != items_.end(); ++it) {
        const TPeerId* c = it->get();
        if (!c || !c->IsNode()) continue;
        ++nodes;
        if (c->open_connections > 0) continue;
        if (victim == items_.end() || CompareCandidates(c, victim->get()) >= 0) victim = it;
    }
    if (nodes < kMaxNodes) return true;
    if (victim == items_.end()) return false;
    items_.erase(victim);
    return true;
}

TPeerId* CandidateList::FindMatch(const TPeerId& identity) const {
    for (const RefPtr<TPeerId>& c : items_) {
        if (!c) continue;
        if (c.get() == &identity) return c.get();
        if (c->IsNode() && identity.IsNode()) {
            if (c->address == identity.address && c->port == identity.port) return c.get();
        } else if (EqualsNoCase(c->text, identity.text)) {
            return c.get();
        }
    }
    return nullptr;
}

bool CandidateList::ForgetSource(const TPeerId& identity, bool add_delay, int32_t passes) {
    bool any = false;
    for (auto it = items_.begin(); it != items_.end();) {
        TPeerId* c = it->get();
        const bool matches = c && (c == &identity || (c->IsNode() && identity.IsNode() ? c->port == identity.port
                                                                                        : EqualsNoCase(c->text, identity.text)));
        if (!matches || c->address != identity.address) {
            ++it;
            continue;
        }
        any = true;
        if (add_delay) {
            AddRetryDelay(*c, std::max(1, passes));
            ++it;
        } else {
            it = items_.erase(it);
        }
    }
    return any;
}

void CandidateList::Sort() {
    std::stable_sort(items_.begin(), items_.end(), [](const RefPtr<TPeerId>& a, const RefPtr<TPeerId>& b) {
        return CompareCandidates(a.get(), b.get()) < 0;
    });
}

void CandidateList::RemoveDuplicatePointers() {
    std::set<const TPeerId*> seen;
    for (auto it = items_.begin(); it != items_.end();) {
        if (it->get() && !seen.insert(it->get()).second)
            it = items_.erase(it);
        else
            ++it;
    }
}

void CandidateList::MoveToEnd(const TPeerId* candidate) {
    auto it = std::find_if(items_.begin(), items_.end(), [&](const RefPtr<TPeerId>& c) { return c.get() == candidate; });
    if (it == items_.end() || it + 1 == items_.end()) return;
    RefPtr<TPeerId> keep = std::move(*it);
    items_.erase(it);
    items_.push_back(std::move(keep));
}

bool CandidateList::Remove(const TPeerId* candidate) {
    auto it = std::find_if(items_.begin(), items_.end(), [&](const RefPtr<TPeerId>& c) { return c.get() == candidate; });
    if (it == items_.end()) return false;
    items_.erase(it);
    return true;
}

size_t CandidateList::RemoveFailedServers() {
    const size_t before = items_.size();
    items_.erase(std::remove_if(items_.begin(), items_.end(),
                                [](const RefPtr<TPeerId>& c) { return c && IsFailedServer(*c); }),
                 items_.end());
    return before - items_.size();
}

size_t CandidateList::ExpandMultiAddress(const AdmissionRules& rules) {
    std::vector<RefPtr<TPeerId>> extra;
    for (const RefPtr<TPeerId>& c : items_) {
        const TSourceAddress* s = c ? c->SourceIfAny() : nullptr;
        if (!c || !c->parsed || !c->IsServer() || !s || s->addresses.size() < 2) continue;
        for (size_t i = 1; i < s->addresses.size(); ++i) {
            RefPtr<TPeerId> copy = RefPtr<TPeerId>::Adopt(TPeerId::CopyOf(*c));
            copy->address = s->addresses[i];
            copy->order_key = c->kind == kKindHttp ? kOrderKeyServer : kOrderKeyRedirect;
            extra.push_back(std::move(copy));
        }
    }
    size_t added = 0;
    for (const RefPtr<TPeerId>& e : extra) {
        const size_t before = items_.size();
        AddCandidate(*e, false, false, rules);
        added += items_.size() - before;
    }
    return added;
}

size_t CandidateList::ReResolve(const std::function<bool(TPeerId&)>& parse, bool* host_failed) {
    size_t dropped = 0;
    for (auto it = items_.begin(); it != items_.end();) {
        TPeerId* c = it->get();
        if (!c || c->parsed || parse(*c)) {
            ++it;
            continue;
        }
        if (host_failed && c->resolve_failed) *host_failed = true;
        it = items_.erase(it);
        ++dropped;
    }
    return dropped;
}

void CandidateList::Clear() {
    items_.clear();
    ever_admitted_ = false;
}

}  // namespace zl
