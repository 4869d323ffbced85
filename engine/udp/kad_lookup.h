// Lookups: iterative searches through the DHT. A lookup keeps its candidates
// (every node it learned), asks the nearest ones to its target at most 5 at a
// time, resends a query once after 5 s and gives up on it after 10 s, and
// finishes when nothing is in flight or its time limit has passed.
//
// CKadActionFind asks "find_node" and is used by the DHT to fill its table.
// CKadActionBitTorrent asks "get_peers" for an info hash, collects the peers
// returned, and then, in a second phase, sends "announce_peer" to the nodes
// that gave a token and to those that returned a few values.
//
// A lookup never sends: queries go into the caller's outbox and are sent once
// every lock is released. Every public operation takes the lookup's own lock;
// the DHT's lock, when held, was taken first, and the routing table's after.
#pragma once
#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "engine/base/qmutex.h"
#include "engine/udp/kad_id.h"
#include "engine/udp/kad_node.h"

namespace zl {

class QDictionaryElement;

struct KadDatagram {
    std::string bytes;
    uint32_t address;  // network order
    uint16_t port;     // host order
};
using KadOutbox = std::vector<KadDatagram>;

// What a lookup needs from the DHT that runs it.
class KadLookupHost {
public:
    virtual ~KadLookupHost() = default;
    virtual uint64_t NowSeconds() = 0;
    virtual KadId OwnId() = 0;
    // Builds a query for the node into the outbox. A transaction of 0 takes a
    // new id. Returns the id used, or 0 when the message was not built.
    virtual uint64_t QueueQuery(const KadNode& node, std::string_view method, std::string_view arguments,
                                uint64_t transaction, KadOutbox& outbox) = 0;
    // The nearest answered nodes, then the nearest of all, without duplicates.
    virtual void SeedNodes(const KadId& target, std::vector<KadNode>& out) = 0;
    // A node from a "find_node" answer, for the table on the next pass.
    virtual void LearnNode(const KadNode& node) = 0;
    // A node from a "get_peers" answer, into the table at once as not answered.
    virtual void InsertNode(const KadNode& node) = 0;
    // Peers announced to us for the info hash, as compact peer infos.
    virtual std::string StoredPeers(const KadId& info_hash) = 0;
    virtual void RememberToken(const KadNode& node, std::string_view token) = 0;
    virtual std::string ReceivedToken(const KadNode& node) = 0;
};

class CKadActionBase {
public:
    static constexpr int32_t kMaxInFlight = 5;
    static constexpr uint64_t kResendAfterSeconds = 5;
    static constexpr uint64_t kGiveUpAfterSeconds = 10;
    static constexpr size_t kWalkAfterAnswer = 15;
    static constexpr size_t kResultNodes = 10;
    // Candidates beyond this are dropped, farthest first.
    static constexpr size_t kMaxCandidates = 256;

    CKadActionBase(const KadId& target, std::string method, bool exact_match, int32_t timeout_seconds);
    CKadActionBase(const CKadActionBase&) = delete;
    CKadActionBase& operator=(const CKadActionBase&) = delete;
    virtual ~CKadActionBase() = default;

    // Resets and seeds the lookup from the host's table.
    virtual void Start(KadLookupHost& host);
    virtual void Finish(KadLookupHost& host);
    virtual void Reset();
    // The best nodes found, once done: at most 10 by distance (1 with exact match).
    virtual void Results(std::vector<KadNode>& out);
    // Takes the initial nodes; false (and finished) when none is usable.
    virtual bool Seed(KadLookupHost& host, std::vector<KadNode> nodes);
    // Queues a query to the node; true when it was built.
    virtual bool SendQuery(KadLookupHost& host, const KadNode& node, uint64_t transaction, KadOutbox& outbox) = 0;
    // Resends and gives up queries by age; appends given-up nodes to `failed`.
    virtual void CheckTimeouts(KadLookupHost& host, std::vector<KadNode>& failed, KadOutbox& outbox);
    virtual void Step(KadLookupHost& host, KadOutbox& outbox);
    // True when the transaction was pending for this same node.
    virtual bool OnResponse(KadLookupHost& host, uint64_t transaction, const KadNode& node,
                            const QDictionaryElement& response);
    // An error reply from `address` to the transaction: the query ends
    // unanswered (no resend), so the next step asks another node. True when
    // it was pending for a node at that address.
    bool OnError(uint64_t transaction, uint32_t address);

    KadId Target() const { return target_; }
    std::string Method();
    bool IsRunning();
    bool IsDone();
    bool NotStarted();
    // Engine seconds when it finished; 0 while not done.
    uint64_t DoneTime();
    int32_t InFlight();
    size_t CandidateCount();

protected:
    struct Pending {
        KadNode node;
        uint64_t sent;
        bool resent;
    };
    using NodeKey = std::pair<KadId, uint32_t>;
    static NodeKey KeyOf(const KadNode& n) { return {n.id, n.address}; }
    static uint64_t EndpointOf(const KadNode& n) { return uint64_t(n.address) << 16 | n.port; }

    virtual void OnResponseBody(KadLookupHost& host, const KadNode& node, const QDictionaryElement& response) = 0;
    bool RunningLocked() const { return !target_.IsZero() && start_time_ != 0 && done_time_ == 0; }
    // Marks the node asked when it may be queried now.
    bool MayQuery(KadLookupHost& host, const KadNode& node);
    // Records a query sent with a new transaction id.
    void RecordPending(uint64_t transaction, const KadNode& node, uint64_t now);
    // Sends to the nearest candidates; false when the walk finished the lookup.
    bool Walk(KadLookupHost& host, KadOutbox& outbox);
    // Finishes when nothing is in flight or the time limit has passed.
    void FinishIfIdleOrLate(KadLookupHost& host);
    // Adds a node to the candidates unless known; true when added.
    bool AddCandidate(const KadNode& node);
    void SortByDistance(std::vector<KadNode>& nodes) const;
    void BaseFinish(uint64_t now);
    void BaseReset();

    QTMutex lock_;
    const KadId target_;
    std::string method_;
    const bool exact_match_;
    const int32_t timeout_seconds_;
    uint64_t start_time_ = 0;
    uint64_t done_time_ = 0;
    int32_t in_flight_ = 0;
    std::map<uint64_t, Pending> pending_;
    std::set<uint64_t> queried_;  // endpoints already queried
    std::set<NodeKey> asked_;     // queried or excluded
    std::set<NodeKey> answered_;
    std::vector<KadNode> candidates_;
};

class CKadActionFind final : public CKadActionBase {
public:
    static constexpr int32_t kTimeoutSeconds = 600;
    explicit CKadActionFind(const KadId& target);
    bool SendQuery(KadLookupHost& host, const KadNode& node, uint64_t transaction, KadOutbox& outbox) override;

protected:
    void OnResponseBody(KadLookupHost& host, const KadNode& node, const QDictionaryElement& response) override;
};

class CKadActionBitTorrent final : public CKadActionBase {
public:
    static constexpr int32_t kTimeoutSeconds = 600;
    static constexpr size_t kResultReserve = 8192;
    // Peers beyond this many bytes wait until the task has taken the results.
    static constexpr size_t kMaxResultBytes = 8190;
    static constexpr int32_t kMaxValuesForAnnounce = 60;
    static constexpr int32_t kAnnouncesToFinish = 5;
    static constexpr size_t kAnnounceWalk = 6;
    static constexpr size_t kReseedFromAnnounced = 5;

    explicit CKadActionBitTorrent(const KadId& info_hash);

    void Start(KadLookupHost& host) override;
    void Finish(KadLookupHost& host) override;
    void Reset() override;
    bool Seed(KadLookupHost& host, std::vector<KadNode> nodes) override;
    bool SendQuery(KadLookupHost& host, const KadNode& node, uint64_t transaction, KadOutbox& outbox) override;
    void Step(KadLookupHost& host, KadOutbox& outbox) override;

    void SetAnnouncedPort(uint16_t port);
    // Appends the compact peers found so far; false when there are none.
    bool TakeResults(std::string& out, bool clear);
    bool InAnnouncePhase();
    int32_t AnnounceCount();
    // The nodes that returned a few values, announced to before the others.
    std::vector<KadNode> AnnounceList();

protected:
    void OnResponseBody(KadLookupHost& host, const KadNode& node, const QDictionaryElement& response) override;

private:
    void AppendPeers(std::string_view compact);
    void BitTorrentReset();

    struct Valued {
        KadNode node;
        int32_t count;
    };

    uint16_t announced_port_ = 0;
    bool announce_phase_ = false;
    int32_t announce_count_ = 0;
    bool take_stored_peers_ = true;
    std::string results_;
    std::map<NodeKey, Valued> value_counts_;
    std::vector<KadNode> announce_list_;
    std::vector<KadNode> announced_to_;
};

}  // namespace zl
