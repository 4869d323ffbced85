// CKademlia: the DHT node of the engine and its thread "Kademlia". It owns the
// routing table, the peer store, the inbox of received messages, the pending
// pings and the running lookups. The UDP server hands it every KRPC datagram
// (OnDhtDatagram, which only parses and queues); the thread, every 200 ms,
// answers the queued queries, matches answers to pings and lookups, expires
// what timed out and does the periodic upkeep (bootstrap, bucket refresh, a
// lookup near its own id, token rotation, peer-store expiry, cache saving).
//
// Locks, in order: the DHT lock (the thread's own), a lookup's lock, the
// routing table's lock. The inbox and the list of nodes learned by lookups
// have small locks of their own that are never held while waiting for
// another. Nothing is sent while any of these is held: decisions are taken
// under the lock and their datagrams sent after it is released, so the UDP
// server, which holds its own lock while it queues a datagram here, can
// never wait on a sender that waits on it.
#pragma once
#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "engine/base/clock.h"
#include "engine/base/qthread.h"
#include "engine/udp/kad_id.h"
#include "engine/udp/kad_lookup.h"
#include "engine/udp/kad_node.h"
#include "engine/udp/kad_peer_store.h"
#include "engine/udp/kad_routing_table.h"
#include "engine/udp/udp_consumers.h"

namespace zl {

class QElement;
class QDictionaryElement;
class TResolver;

// A bootstrap router: a host name or dotted address and a UDP port.
struct KadRouter {
    std::string host;
    uint16_t port;
};
// The built-in routers: loopback addresses with the ports 6881, 53, 53, 554.
// Real deployments name their own (SetRouters, or "node://" sources).
std::vector<KadRouter> DefaultKadRouters();

inline constexpr const char* kKadCacheFileName = "ZephyrloaderKademlia.kad";

struct KadInboxEntry {
    std::unique_ptr<QElement> message;
    size_t length;
    uint32_t address;  // network order
    uint16_t port;     // host order
};

struct KadStats {
    uint64_t received_messages = 0;
    uint64_t received_bytes = 0;
    uint64_t sent_messages = 0;
    uint64_t sent_bytes = 0;
    uint64_t dropped_datagrams = 0;  // inbox full or not bencode
    uint64_t error_replies = 0;      // KRPC errors received ("y": "e" with its [code, text])
    size_t inbox = 0;
    size_t nodes = 0;
    size_t answered_nodes = 0;
    size_t pending_pings = 0;
    size_t bootstrap_pings = 0;
    size_t lookups = 0;
    size_t own_lookups = 0;
    size_t stored_info_hashes = 0;
    size_t stored_peers = 0;
};

class CKademlia final : public QThread, public IUdpDhtConsumer, private KadLookupHost {
public:
    static constexpr uint32_t kPassMs = 200;
    static constexpr size_t kInboxFull = 2048;
    // Parsed elements the inbox may hold (about 130 bytes each): a query
    // has about a dozen, while one 8 KiB datagram can carry 4000.
    static constexpr size_t kInboxElementLimit = 65536;
    static constexpr uint64_t kPeriodicSeconds = 5;
    static constexpr uint64_t kOwnLookupSeconds = 720;
    static constexpr uint64_t kRefreshSeconds = 180;
    static constexpr uint64_t kBucketQuietSeconds = 900;
    static constexpr uint64_t kIdlePingSeconds = 50;
    static constexpr uint64_t kSaveSeconds = 900;
    static constexpr uint64_t kPingTimeoutSeconds = 10;
    static constexpr size_t kWantedNodes = 10;
    static constexpr size_t kMaxWaiting = 10;
    static constexpr size_t kMaxToAdd = 512;
    static constexpr int64_t kMaxCacheBytes = 3145728;

    // `sender` carries every datagram (the engine's UDP server); it may be set later.
    explicit CKademlia(Clock& clock = SystemClock(), IUdpSender* sender = nullptr);
    ~CKademlia() override;

    // Settings, made before the thread starts.
    void SetSender(IUdpSender* sender) { sender_.store(sender); }
    // Engine seconds (default: the clock's monotonic seconds).
    void SetSecondsSource(std::function<uint64_t()> seconds);
    void SetResolver(TResolver* resolver) { resolver_ = resolver; }
    void SetRouters(std::vector<KadRouter> routers);
    std::vector<KadRouter> Routers();
    void SetNodeCachePath(std::string path);
    std::string NodeCachePath();

    // QThread: Begin, then a Pass every 200 ms until stopped, then End.
    void Run() override;
    void Refresh() override {}
    // The thread's steps, callable directly by a test that drives the node
    // on its own clock: Begin loads the cache and bootstraps, End saves and
    // clears everything.
    void Begin();
    void Pass();
    void End();
    // Whether the DHT is running (between Begin and End).
    bool Active() const { return running_.load(); }

    // IUdpDhtConsumer (UDP server thread): parse and queue.
    void OnDhtDatagram(const uint8_t* data, size_t length, uint32_t address, uint16_t port) override;

    // Lookups (any thread). A lookup stays alive while listed here or held by its owner.
    void AddLookup(const std::shared_ptr<CKadActionBase>& lookup);
    void RemoveLookup(const CKadActionBase* lookup);
    void RemoveAndDispose(const CKadActionBase* lookup) { RemoveLookup(lookup); }
    // Pings an address whose node id is not known yet (a bootstrap ping).
    void PingAddress(uint32_t address, uint16_t port);
    // Starts a find lookup of the DHT's own for the target.
    void StartOwnFind(const KadId& target);

    bool SaveCache();
    bool LoadCache();

    KadRoutingTable& Table() { return table_; }
    KadId OwnNodeId() { return table_.OwnId(); }
    // The peer store is the DHT thread's; read it from elsewhere only while the node is not running.
    KadPeerStore& PeerStore() { return store_; }
    KadStats Stats();
    uint64_t Now() { return NowSeconds(); }

private:
    struct PendingPing {
        KadNode node;
        uint64_t sent;
        std::vector<KadNode> waiting;
    };
    struct BootstrapPing {
        uint32_t address;
        uint16_t port;
        uint64_t sent;
    };
    using NodeKey = std::pair<KadId, uint32_t>;
    static NodeKey KeyOf(const KadNode& n) { return {n.id, n.address}; }

    // KadLookupHost
    uint64_t NowSeconds() override;
    KadId OwnId() override { return table_.OwnId(); }
    uint64_t QueueQuery(const KadNode& node, std::string_view method, std::string_view arguments,
                        uint64_t transaction, KadOutbox& outbox) override;
    void SeedNodes(const KadId& target, std::vector<KadNode>& out) override;
    void LearnNode(const KadNode& node) override;
    void InsertNode(const KadNode& node) override;
    std::string StoredPeers(const KadId& info_hash) override;
    void RememberToken(const KadNode& node, std::string_view token) override;
    std::string ReceivedToken(const KadNode& node) override;

    uint64_t NextTransaction();
    // Sends the datagrams; never with a DHT lock held.
    void Flush(KadOutbox& outbox);
    void SendNow(const std::string& bytes, uint32_t address, uint16_t port);

    void ProcessInbox();
    void HandleMessage(KadInboxEntry& entry, KadOutbox& outbox);
    void HandleQuery(std::string_view method, const QDictionaryElement& arguments, std::string_view transaction,
                     const KadNode& sender);
    // An error reply: counted, and the lookup query it answers ends at once
    // (the lookup goes on to other nodes instead of waiting out the timeout).
    void HandleError(const QDictionaryElement& message, std::optional<std::string_view> transaction,
                     uint32_t address);
    void Respond(const KadNode& to, std::string_view transaction, std::string_view body);
    void DispatchResponse(uint64_t transaction, const KadNode& responder, const QDictionaryElement& response,
                          KadOutbox& outbox);

    // Under the DHT lock; pings go into the outbox.
    void PingLocked(const KadNode& node, KadOutbox& outbox);
    void AddNodeLocked(const KadNode& node, bool answered, KadOutbox& outbox);
    void PingAnsweredLocked(const KadNode& node, KadOutbox& outbox);
    void PingFailedLocked(const KadNode& node, KadOutbox& outbox);
    std::vector<KadNode> ExpirePingsLocked(uint64_t now);
    void AddLookupLocked(const std::shared_ptr<CKadActionBase>& lookup);

    void Maintenance();
    void Periodic();
    // Copies the peer store's sizes for readers on other threads.
    void PublishStoreCounts();
    void Bootstrap();

    Clock& clock_;
    std::atomic<IUdpSender*> sender_;
    std::function<uint64_t()> seconds_;
    TResolver* resolver_ = nullptr;
    std::vector<KadRouter> routers_;  // under the DHT lock
    std::string cache_path_;          // under the DHT lock

    std::atomic<bool> running_{false};
    KadRoutingTable table_;
    KadPeerStore store_;  // DHT thread only

    std::mutex inbox_mutex_;
    std::vector<KadInboxEntry> inbox_;
    size_t inbox_elements_ = 0;
    bool inbox_full_ = false;
    std::atomic<bool> inbox_waiting_{false};  // full: the thread should not pause

    std::mutex transaction_mutex_;
    uint64_t transaction_counter_;

    std::mutex to_add_mutex_;
    std::vector<KadNode> to_add_;

    // Under the DHT lock.
    std::map<NodeKey, PendingPing> pings_;
    std::map<uint64_t, NodeKey> ping_transactions_;
    std::map<uint64_t, BootstrapPing> bootstrap_pings_;
    std::vector<std::shared_ptr<CKadActionBase>> lookups_;
    std::vector<std::shared_ptr<CKadActionBase>> own_lookups_;

    std::atomic<uint64_t> received_messages_{0};
    std::atomic<uint64_t> received_bytes_{0};
    std::atomic<uint64_t> sent_messages_{0};
    std::atomic<uint64_t> sent_bytes_{0};
    std::atomic<uint64_t> dropped_{0};
    std::atomic<uint64_t> error_replies_{0};
    std::atomic<uint64_t> last_sent_{0};
    std::atomic<size_t> stored_hashes_{0};
    std::atomic<size_t> stored_peers_{0};

    // DHT thread only.
    std::optional<uint64_t> last_periodic_;
    std::optional<uint64_t> last_own_lookup_;
    std::optional<uint64_t> last_refresh_;
    uint64_t last_save_ = 0;
};

}  // namespace zl
