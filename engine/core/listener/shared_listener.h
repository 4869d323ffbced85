// The engine's one TCP listening socket and its one listening endpoint on the
// UDP stream (for peers that cannot reach us over TCP: both behind NAT),
// shared by all tasks. Whichever task
// runs its network-service step accepts what is waiting and keeps it in a
// process-wide pending list until the first bytes show which task it belongs
// to (a BitTorrent handshake carrying that task's info hash, perhaps behind
// the HTTP-looking preamble). A task takes only its own connections, in its
// own step, so peers and sockets stay with their task's thread. The same step
// publishes the listening address and keeps the LAN discovery socket open.
// Everything here is guarded by the engine's data lock.
#pragma once
#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "engine/base/qmutex.h"
#include "engine/core/api/engine_switches.h"
#include "engine/core/listener/lan_discovery.h"
#include "engine/core/listener/mse_accept.h"
#include "engine/net/socket.h"

namespace zl {

using InfoHashBytes = std::array<uint8_t, 20>;

// What the listener needs from its engine.
struct ListenerEnv {
    QTMutex* data_lock = nullptr;
    EngineSwitches* switches = nullptr;
    std::function<uint64_t()> tick_ms;  // ages of pending connections
    std::function<uint64_t()> seconds;  // engine clock: the re-listen period
    std::function<SocketEnv()> socket_env;
    // The machine's own address (its interfaces) when no bind address is set.
    std::function<uint32_t()> host_address;
    // The UDP server follows the listener's address and port.
    std::function<void(uint32_t address, int32_t port)> publish_udp;
    // This engine's 8-byte identity on the UDP stream; the UDP-stream
    // listener opens only when socket_env() names a UDP stream transport.
    std::function<TSocket::Identity()> udp_identity;
};

// The listening endpoint as a task last saw it.
struct PublishedEndpoint {
    uint32_t address = 0;  // network order; 0 while not listening
    int32_t port = 0;
    bool operator==(const PublishedEndpoint& o) const { return address == o.address && port == o.port; }
    bool operator!=(const PublishedEndpoint& o) const { return !(*this == o); }
};

// The text a task shows for its listening address.
std::string ListenAddressText(const PublishedEndpoint& endpoint, bool p2p);

class SharedListener {
public:
    // Connections accepted per service step, and the pending list's limits.
    // A flood of connections must not keep the kernel's queue full (honest
    // peers' connects would be dropped there), so a step takes many; the
    // pending list itself stays bounded.
    static constexpr int kAcceptsPerStep = 128;
    static constexpr size_t kMaxPending = 256;       // no accepting while the list is this long
    static constexpr int kKernelBacklog = 1024;      // connections the kernel holds between two steps
    // An obfuscated handshake is longer: its keys, paddings and initial payload.
    static constexpr int64_t kObfuscatedReceiveLimit = 3072;
    static constexpr int64_t kReceiveBelow = 1092;   // receive more only below this many bytes
    static constexpr int64_t kReceiveChunk = 1024;
    static constexpr uint64_t kSilentMs = 3000;      // without a usable handshake
    static constexpr uint64_t kHandshakeMs = 5000;   // a whole handshake for a task not yet taking it
    static constexpr size_t kCrowded = 32;           // beyond this, the pending list is thinned
    static constexpr uint64_t kCrowdedShortMs = 1000;
    static constexpr uint64_t kRelistenSeconds = 180;

    explicit SharedListener(ListenerEnv env);
    ~SharedListener();
    SharedListener(const SharedListener&) = delete;
    SharedListener& operator=(const SharedListener&) = delete;

    // One task's network-service step.
    struct ServiceRequest {
        const void* task = nullptr;
        const InfoHashBytes* info_hash = nullptr;  // null until the task has its metainfo
        std::function<bool(uint32_t)> blocked;     // the task's IP filter
    };
    struct ServiceResult {
        // Connections whose handshake names this task, for its AcceptIncoming.
        std::vector<std::unique_ptr<TSocket>> accepted;
        PublishedEndpoint published;
        bool services_ok = false;  // RefreshNetworkServices succeeded
    };
    // Accepts waiting connections, sorts the pending list (this task's go to
    // the result, unusable ones are closed), then refreshes the services.
    ServiceResult ServiceIncoming(const ServiceRequest& request);

    // Opens, re-opens or closes the listener and the LAN socket as the P2P
    // switch and the machine's address say. False when listening failed (it
    // is tried again at the next step) or the LAN socket could not be opened.
    bool RefreshNetworkServices(PublishedEndpoint* published = nullptr);

    // A connection waits to be accepted, or pending connections wait for
    // their first bytes: the next service step is worth running soon.
    bool HasWork();

    // Closes the listener and clears the published address; with
    // `drop_pending` every pending connection is closed too. The LAN socket closes.
    void CloseListeners(bool drop_pending);

    // A task's run ended: it leaves the active list and the LAN exchange.
    void Forget(const void* task);

    // Every 10 s per task: LAN announcements and replies; returns the peers
    // found for this task. Nothing while LAN discovery is off or not ready.
    std::vector<LanPeer> LanExchange(const LanTaskFacts& facts);

    // The last task is gone or the engine is cleaned up.
    void Shutdown();

    // Where the LAN datagrams go (a multicast group; tests use their own).
    void SetLanGroup(uint32_t group, uint16_t port);

    // --- inspection ---
    PublishedEndpoint Published();
    bool Listening();
    bool UdpListening();
    size_t PendingCount();
    size_t ActiveTasks();
    size_t LanPeerCount();
    bool LanReady();

private:
    struct Pending {
        std::unique_ptr<TSocket> socket;
        uint64_t arrived_ms = 0;
        std::unique_ptr<MseAccept> obfuscated;  // an obfuscated handshake under way
    };
    struct ActiveTask {
        const void* task = nullptr;
        InfoHashBytes info_hash{};
        std::array<uint8_t, 20> req2{};  // how an obfuscated handshake names this torrent
    };

    bool RefreshLocked(PublishedEndpoint* published);
    void CloseLocked(bool drop_pending);
    void AcceptWaiting(const ServiceRequest& request);
    std::unique_ptr<TSocket> AcceptOne();
    void RefreshUdpListener();
    void SortPending(const ServiceRequest& request, ServiceResult* result);
    // Drives an obfuscated handshake; false when the connection must go.
    bool Deobfuscate(Pending& p);
    void ThinCrowd(uint64_t now);
    void NoteActive(const void* task, const InfoHashBytes& hash);
    bool IsActiveHash(const uint8_t* hash) const;
    uint32_t MachineAddress() const;
    void TellUdpServer();

    ListenerEnv env_;
    std::unique_ptr<TSocket> listener_;
    std::unique_ptr<TSocket> udp_listener_;  // open while the UDP stream is on and TCP listens
    PublishedEndpoint published_;
    PublishedEndpoint given_to_udp_;
    bool udp_due_ = false;
    uint64_t last_listen_s_ = 0;
    std::vector<Pending> pending_;
    std::vector<ActiveTask> active_;
    LanDiscovery lan_;
};

}  // namespace zl
