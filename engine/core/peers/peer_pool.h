// The peer objects of a task: serial numbers handed out at connection, the
// active list of connected or connecting peers, and the pool of peer objects
// kept for reuse. Owned by the peer layer of a task (TWorkWithPeers), used
// only by its worker thread. Both lists hold one reference per entry.
#pragma once
#include <algorithm>
#include <cstdint>
#include <set>
#include <vector>

#include "engine/base/ref_object.h"

namespace zl {

// Serial numbers only grow: a returned peer never gives its number back, so
// two live peers never share one and the drop set never names the wrong peer.
class PeerSerials {
public:
    uint64_t Next() { return ++last_; }
    uint64_t Last() const { return last_; }

private:
    uint64_t last_ = 0;
};

// Serial numbers of peers to disconnect at the next apply step.
using DropSet = std::set<uint64_t>;

// Peer objects no longer in use, reused by kind. `Peer` has kind() and Reset().
template <class Peer>
class PeerPool {
public:
    // A pooled peer of that kind (removed from the pool, reset), or none.
    RefPtr<Peer> Take(int32_t kind) {
        for (auto it = pooled_.begin(); it != pooled_.end(); ++it) {
            if ((*it)->kind() != kind) continue;
            RefPtr<Peer> peer = std::move(*it);
            pooled_.erase(it);
            peer->Reset();
            return peer;
        }
        return {};
    }
    // Keeps a finished peer for reuse. A pool grown past budget + 12 objects
    // is emptied first.
    void Return(const RefPtr<Peer>& peer, int32_t connection_budget) {
        if (!peer) return;
        if (int64_t(pooled_.size()) > int64_t(connection_budget) + 12) pooled_.clear();
        peer->Reset();
        if (Contains(peer.get())) return;
        pooled_.push_back(peer);
    }
    bool Contains(const Peer* peer) const {
        return std::any_of(pooled_.begin(), pooled_.end(), [&](const RefPtr<Peer>& p) { return p.get() == peer; });
    }
    size_t size() const { return pooled_.size(); }
    void Clear() { pooled_.clear(); }

private:
    std::vector<RefPtr<Peer>> pooled_;
};

template <class Peer>
struct ActivePeer {
    RefPtr<Peer> peer;
    uint64_t serial = 0;
};

// Connected or connecting peers, in the peer order once sorted.
template <class Peer>
class ActiveList {
public:
    void Add(RefPtr<Peer> peer, uint64_t serial) { items_.push_back({std::move(peer), serial}); }
    size_t size() const { return items_.size(); }
    bool empty() const { return items_.empty(); }
    ActivePeer<Peer>& operator[](size_t i) { return items_[i]; }
    const ActivePeer<Peer>& operator[](size_t i) const { return items_[i]; }
    std::vector<ActivePeer<Peer>>& entries() { return items_; }

    // Takes a peer out of the list; the returned reference is the list's.
    RefPtr<Peer> Remove(const Peer* peer) {
        for (auto it = items_.begin(); it != items_.end(); ++it) {
            if (it->peer.get() != peer) continue;
            RefPtr<Peer> out = std::move(it->peer);
            items_.erase(it);
            return out;
        }
        return {};
    }
    // Entries cleared during a pass leave the list.
    void Compact() {
        items_.erase(std::remove_if(items_.begin(), items_.end(), [](const ActivePeer<Peer>& e) { return !e.peer; }),
                     items_.end());
    }
    void RemoveDuplicates() {
        std::set<const Peer*> seen;
        for (ActivePeer<Peer>& e : items_)
            if (e.peer && !seen.insert(e.peer.get()).second) e.peer = RefPtr<Peer>();
        Compact();
    }
    // The peers whose serial is in the drop set (they stay listed); empties the set.
    std::vector<Peer*> TakeDropped(DropSet& drop) {
        std::vector<Peer*> out;
        for (ActivePeer<Peer>& e : items_)
            if (e.peer && drop.count(e.serial)) out.push_back(e.peer.get());
        drop.clear();
        return out;
    }
    void Clear() { items_.clear(); }

private:
    std::vector<ActivePeer<Peer>> items_;
};

}  // namespace zl
