// A task's candidate sources: the identities it may connect to, kept sorted so
// that the connectors only walk the list from the front. Owned by the peer
// layer of a task (TWorkWithPeers) and used only by its worker thread. The
// list holds one reference on every identity; whatever leaves the list is
// released, never deleted.
#pragma once
#include <cstddef>
#include <cstdint>
#include <set>
#include <vector>

#include <functional>

#include "engine/core/peers/ip_filter.h"
#include "engine/base/ref_object.h"
#include "engine/net/peer_id.h"

namespace zl {

// The IP filter as the peer layer sees it.
class IAddressFilter {
public:
    virtual ~IAddressFilter() = default;
    virtual bool IsBlocked(uint32_t address) const = 0;
};

// The task's copy of the engine's IP filter.
class IpFilterCheck : public IAddressFilter {
public:
    explicit IpFilterCheck(const CIPFilter& filter) : filter_(filter) {}
    bool IsBlocked(uint32_t address) const override { return filter_.IsBlocked(address); }

private:
    const CIPFilter& filter_;
};

// What a new candidate is checked against.
struct AdmissionRules {
    // A P2SP or BitTorrent task refuses a node carrying its own peer id.
    bool refuse_own_peer_id = false;
    PeerIdBytes own_peer_id{};
    // The shared listener's published address and port: never dial ourselves.
    uint32_t listener_address = kNoAddress;
    int32_t listener_port = 0;
    const IAddressFilter* filter = nullptr;
    // Tick count (ms): spreads new servers among candidates of equal key.
    uint64_t tick_ms = 0;
};

// The candidate order: negative when a goes first. Higher order key first,
// then more finished pieces, fewer attempts, fewer connections made, smaller
// retry delay; null entries last.
int CompareCandidates(const TPeerId* a, const TPeerId* b);

// A server dropped for good: at least 32 failed pieces and a failure share of
// at least 50 %. No finished piece at all counts as a 100 % share.
bool IsFailedServer(const TPeerId& candidate);

// 127.0.0.1 in network order.
uint32_t LoopbackAddress();

class CandidateList {
public:
    // BitTorrent nodes kept at most: trackers and the DHT bring new ones
    // answer after answer, and every admission walks and sorts the list.
    static constexpr size_t kMaxNodes = 3000;

    CandidateList() = default;
    CandidateList(const CandidateList&) = delete;
    CandidateList& operator=(const CandidateList&) = delete;

    size_t size() const { return items_.size(); }
    bool empty() const { return items_.empty(); }
    TPeerId* at(size_t i) const { return items_[i].get(); }
    // Whether any candidate was ever admitted since the last Clear.
    bool EverAdmitted() const { return ever_admitted_; }

    // Admits a copy of `identity` (the caller keeps its own reference). True
    // when it was admitted or is already known; false when it is refused.
    bool AddCandidate(const TPeerId& identity, bool hint, bool force, const AdmissionRules& rules);

    // A usable candidate with that address, port and kind, or a new one
    // (*added tells which, when given).
    TPeerId* FindOrAddNode(uint32_t address, uint16_t port, int32_t kind, bool at_front, int32_t order_key,
                           bool* added = nullptr);

    // The candidate standing for `identity`: the same object; for two
    // BitTorrent nodes the same address and port; otherwise the same text
    // (case-insensitive). Null when none.
    TPeerId* FindMatch(const TPeerId& identity) const;

    // Every match that also has the same address gets max(1, passes) more
    // retry delay (add_delay) or leaves the list. True when any matched.
    bool ForgetSource(const TPeerId& identity, bool add_delay, int32_t passes);

    void Sort();
    void RemoveDuplicatePointers();
    void MoveToEnd(const TPeerId* candidate);
    // Removes and releases one candidate; false when it is not listed.
    bool Remove(const TPeerId* candidate);
    // Removes and releases every failed server (IsFailedServer); returns how many.
    size_t RemoveFailedServers();
    // Gives every parsed server that resolved to several addresses one more
    // candidate per further address (order key 29 for HTTP, 28 otherwise).
    size_t ExpandMultiAddress(const AdmissionRules& rules);
    // Parses every candidate not parsed yet (`parse` is ParseSourceUrl with the
    // task's resolver) and drops those that fail. Sets *host_failed when a
    // host name did not resolve (the task then reports 20216 at once).
    size_t ReResolve(const std::function<bool(TPeerId&)>& parse, bool* host_failed);
    void Clear();

    template <class Fn>
    void ForEach(Fn&& fn) const {
        for (const RefPtr<TPeerId>& c : items_)
            if (c) fn(*c);
    }

private:
    // Before a new node joins: at kMaxNodes nodes, the least promising node
    // without an open connection leaves. False when none may leave.
    bool MakeRoomForNode();

    std::vector<RefPtr<TPeerId>> items_;
    bool ever_admitted_ = false;
};

// Adds to a retry delay without overflowing.
void AddRetryDelay(TPeerId& candidate, int64_t passes);

}  // namespace zl
