#include "engine/udp/kad_routing_table.h"

#include <algorithm>

#include "engine/meta/bencode.h"

namespace zl {

namespace {
bool HasNode(const std::vector<KadNode>& list, const KadNode& node) {
    return std::any_of(list.begin(), list.end(), [&](const KadNode& n) { return n.SameAs(node); });
}
}  // namespace

KadRoutingTable::KadRoutingTable(const KadId& own, uint64_t now) : own_(own) {
    buckets_.reserve(kMaxBuckets);
    buckets_.push_back(KadBucket{KadId(), KadId::Max(), {}, now});
    secrets_.Rotate(now, true, KadId::Fresh(now));
}

KadId KadRoutingTable::OwnId() const {
    std::lock_guard lock(mutex_);
    return own_;
}

void KadRoutingTable::SetOwnId(const KadId& id) {
    std::lock_guard lock(mutex_);
    own_ = id;
}

int KadRoutingTable::BucketOfConst(const KadId& id) const {
    for (size_t i = 0; i < buckets_.size(); ++i)
        if (buckets_[i].Covers(id)) return int(i);
    return -1;
}

int KadRoutingTable::BucketOf(const KadId& id) {
    if (buckets_.empty()) buckets_.push_back(KadBucket{KadId(), KadId::Max(), {}, 0});
    return BucketOfConst(id);
}

void KadRoutingTable::Split(size_t index, uint64_t now) {
    KadBucket& old_bucket = buckets_[index];
    const KadId half = (old_bucket.high - old_bucket.low).Halved();
    KadBucket upper{old_bucket.high - half, old_bucket.high, {}, now};
    old_bucket.high = upper.low;
    std::vector<KadNode> kept;
    for (KadNode& n : old_bucket.nodes) {
        if (upper.low < n.id)
            upper.nodes.push_back(n);
        else
            kept.push_back(n);
    }
    old_bucket.nodes = std::move(kept);
    buckets_.insert(buckets_.begin() + std::ptrdiff_t(index) + 1, std::move(upper));
}

std::optional<KadNode> KadRoutingTable::Insert(const KadNode& node, bool answered, bool loading, uint64_t now) {
    std::lock_guard lock(mutex_);
    return InsertLocked(node, answered, loading, now);
}

std::optional<KadNode> KadRoutingTable::InsertLocked(KadNode node, bool answered, bool loading, uint64_t now) {
    if (!node.Usable() || node.id == own_) return std::nullopt;
    if (answered) node.MarkAnswered(now);
    // Each pass either places the node, names one to ping, drops it, or
    // splits its bucket; splits are bounded by the bucket limit.
    for (;;) {
        const int index = BucketOf(node.id);
        if (index < 0) return std::nullopt;
        KadBucket& bucket = buckets_[size_t(index)];
        auto same = std::find_if(bucket.nodes.begin(), bucket.nodes.end(),
                                 [&](const KadNode& n) { return n.SameAs(node); });
        if (same != bucket.nodes.end()) {
            // Only an answer moves a node to the tail; a node seen in a query stays put.
            if (!node.unanswered) {
                bucket.nodes.erase(same);
                bucket.nodes.push_back(node);
                bucket.changed = now;
            }
            return std::nullopt;
        }
        if (bucket.nodes.size() < kBucketSize) {
            bucket.nodes.push_back(node);
            bucket.changed = now;
            return std::nullopt;
        }
        if (!loading && buckets_.size() > 3) {
            std::vector<const KadNode*> candidates;
            for (const KadNode& n : bucket.nodes)
                if (n.unanswered) candidates.push_back(&n);
            if (candidates.empty()) {
                for (const KadNode& n : bucket.nodes)
                    if (now - n.last_answer > kStaleSeconds) candidates.push_back(&n);
            }
            if (!candidates.empty()) {
                std::stable_sort(candidates.begin(), candidates.end(), [](const KadNode* a, const KadNode* b) {
                    return a->last_answer < b->last_answer;
                });
                const KadNode q = *candidates.front();
                if (!q.unanswered || (q.last_answer == 0 && q.failures < kFailuresUntilUnanswered)) return q;
                return ReplaceLocked(q, node, now);
            }
        }
        if (buckets_.size() >= 4 && !bucket.Covers(own_)) return std::nullopt;
        if (buckets_.size() >= kMaxBuckets) return std::nullopt;
        Split(size_t(index), now);
        answered = false;
        loading = false;
    }
}

std::optional<KadNode> KadRoutingTable::Replace(const KadNode& old_node, const KadNode& new_node, uint64_t now) {
    std::lock_guard lock(mutex_);
    return ReplaceLocked(old_node, new_node, now);
}

std::optional<KadNode> KadRoutingTable::ReplaceLocked(const KadNode& old_node, const KadNode& new_node,
                                                      uint64_t now) {
    const int index = BucketOfConst(old_node.id);
    if (index < 0) return InsertLocked(new_node, true, false, now);
    KadBucket& bucket = buckets_[size_t(index)];
    auto old_it = std::find_if(bucket.nodes.begin(), bucket.nodes.end(),
                               [&](const KadNode& n) { return n.SameAs(old_node); });
    if (old_it == bucket.nodes.end()) return InsertLocked(new_node, true, false, now);
    bucket.nodes.erase(old_it);
    if (!new_node.Usable() || new_node.id == own_) return std::nullopt;
    if (!bucket.Covers(new_node.id)) {
        // The bucket split since the newcomer was parked: place it where it belongs.
        InsertLocked(new_node, false, false, now);
        return std::nullopt;
    }
    if (!HasNode(bucket.nodes, new_node)) {
        bucket.nodes.push_back(new_node);
        bucket.changed = now;
    }
    return std::nullopt;
}

int32_t KadRoutingTable::NoteFailure(const KadNode& node) {
    std::lock_guard lock(mutex_);
    const int index = BucketOfConst(node.id);
    if (index < 0) return kFailuresUntilUnanswered;
    for (KadNode& n : buckets_[size_t(index)].nodes) {
        if (!n.SameAs(node)) continue;
        ++n.failures;
        if (n.failures > 2) n.unanswered = true;
        return n.failures;
    }
    return kFailuresUntilUnanswered;
}

void KadRoutingTable::Closest(const KadId& target, bool include_unanswered, std::vector<KadNode>& out) const {
    std::lock_guard lock(mutex_);
    if (target.IsZero()) return;
    const int index = BucketOfConst(target);
    if (index < 0) return;
    std::vector<KadNode> collected;
    auto take = [&](const KadBucket& b) {
        for (const KadNode& n : b.nodes)
            if (include_unanswered || !n.unanswered) collected.push_back(n);
    };
    take(buckets_[size_t(index)]);
    int below = index - 1;
    size_t above = size_t(index) + 1;
    while (collected.size() < kClosestCount && (below >= 0 || above < buckets_.size())) {
        if (below >= 0) take(buckets_[size_t(below--)]);
        if (collected.size() < kClosestCount && above < buckets_.size()) take(buckets_[above++]);
    }
    if (collected.size() > 1)
        std::stable_sort(collected.begin(), collected.end(),
                         [&](const KadNode& a, const KadNode& b) { return NearerTo(target, a.id, b.id); });
    size_t copied = 0;
    for (const KadNode& n : collected) {
        if (copied >= kClosestCount) break;
        if (HasNode(out, n)) continue;
        out.push_back(n);
        ++copied;
    }
}

size_t KadRoutingTable::Count() const {
    std::lock_guard lock(mutex_);
    size_t n = 0;
    for (const KadBucket& b : buckets_) n += b.nodes.size();
    return n;
}

size_t KadRoutingTable::AnsweredCount() const {
    std::lock_guard lock(mutex_);
    size_t n = 0;
    for (const KadBucket& b : buckets_)
        n += size_t(std::count_if(b.nodes.begin(), b.nodes.end(), [](const KadNode& x) { return !x.unanswered; }));
    return n;
}

std::optional<KadNode> KadRoutingTable::LeastRecentlyAnswered() const {
    std::lock_guard lock(mutex_);
    const KadNode* best = nullptr;
    const KadNode* first = nullptr;
    for (const KadBucket& b : buckets_) {
        for (const KadNode& n : b.nodes) {
            if (!first) first = &n;
            if (!n.unanswered && (!best || n.last_answer < best->last_answer)) best = &n;
        }
    }
    if (best) return *best;
    if (first) return *first;
    return std::nullopt;
}

std::optional<KadNode> KadRoutingTable::Find(const KadNode& node) const {
    std::lock_guard lock(mutex_);
    const int index = BucketOfConst(node.id);
    if (index < 0) return std::nullopt;
    for (const KadNode& n : buckets_[size_t(index)].nodes)
        if (n.SameAs(node)) return n;
    return std::nullopt;
}

std::vector<KadBucketRange> KadRoutingTable::Ranges() const {
    std::lock_guard lock(mutex_);
    std::vector<KadBucketRange> out;
    out.reserve(buckets_.size());
    for (const KadBucket& b : buckets_) out.push_back({b.low, b.high, b.changed});
    return out;
}

std::vector<KadBucket> KadRoutingTable::Buckets() const {
    std::lock_guard lock(mutex_);
    return buckets_;
}

std::string KadRoutingTable::Serialise() const {
    std::lock_guard lock(mutex_);
    std::string nodes;
    for (const KadBucket& b : buckets_)
        for (const KadNode& n : b.nodes) AppendCompactNode(nodes, n);
    std::string text = "d2:id20:" + own_.Bytes() + "5:table" + std::to_string(nodes.size()) + ":";
    text += nodes;
    text += 'e';
    return text;
}

bool KadRoutingTable::Load(std::string_view text, uint64_t now) {
    ParseLimits limits;
    limits.max_depth = 4;
    limits.max_elements = 64;
    auto root = ParseElement(text.data(), int64_t(text.size()), limits);
    const QDictionaryElement* dict = root ? root->AsDictionary() : nullptr;
    if (!dict) return false;
    const auto id = dict->BytesOf("id");
    if (!id || id->size() != kKadIdSize) return false;
    std::lock_guard lock(mutex_);
    own_ = KadId::FromBytes(*id);
    if (const auto table = dict->BytesOf("table")) {
        const auto* p = reinterpret_cast<const uint8_t*>(table->data());
        for (size_t at = 0; at + kCompactNodeSize <= table->size(); at += kCompactNodeSize)
            InsertLocked(ReadCompactNode(p + at), false, true, now);
    }
    return true;
}

void KadRoutingTable::Clear() {
    std::lock_guard lock(mutex_);
    buckets_.clear();
    received_.Clear();
}

std::string KadRoutingTable::MakeToken(uint32_t address, uint16_t port) const {
    std::lock_guard lock(mutex_);
    return secrets_.Make(address, port);
}

bool KadRoutingTable::CheckToken(std::string_view token, uint32_t address, uint16_t port) const {
    std::lock_guard lock(mutex_);
    return secrets_.Check(token, address, port);
}

void KadRoutingTable::RotateTokens(uint64_t now, bool force) {
    std::lock_guard lock(mutex_);
    if (secrets_.Rotate(now, force, KadId::Fresh(now))) received_.Expire(now);
}

void KadRoutingTable::RememberToken(const KadNode& node, std::string_view token, uint64_t now) {
    std::lock_guard lock(mutex_);
    received_.Remember(node, token, now);
}

std::string KadRoutingTable::ReceivedToken(const KadNode& node, uint64_t now) const {
    std::lock_guard lock(mutex_);
    return received_.Get(node, now);
}

}  // namespace zl
