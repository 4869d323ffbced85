// The engine's single UDP socket and its thread "UDPServer": reads every
// datagram, hands each to the DHT or the UDP stream transport (udp_demux.h),
// drives the transport's timers, and sends for both. Created once per engine
// context, started with the first task and stopped at engine clean-up.
//
// The server lock (the thread object's own lock) guards the socket and every
// field below; the loop holds it while it reads, dispatches and runs timers,
// and releases it whenever it waits, so a Send from a task thread waits at
// most for the current step. Consumers run on the server thread with the
// lock held.
//
// Timers follow the server's clock (a test clock in tests); the waits between
// passes are real waits on the socket, so a datagram ends them at once and a
// test clock is never pushed or held by this thread.
#pragma once
#include <algorithm>
#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "engine/base/clock.h"
#include "engine/base/qthread.h"
#include "engine/net/resolver.h"
#include "engine/net/udp_socket.h"
#include "engine/udp/udp_consumers.h"
#include "engine/udp/udp_server_config.h"

namespace zl {

class BufferPool;

// Which chances to spin before a sleep the server takes: every one, until
// kMissLimit spins in a row found nothing (answers come slower than the
// spin, as on a real network); then only every kProbeEvery-th, until one
// finds data again.
class UdpSpinBudget {
public:
    static constexpr uint32_t kMissLimit = 8;
    static constexpr uint32_t kProbeEvery = 16;
    bool Allows() { return misses_ < kMissLimit || ++skipped_ % kProbeEvery == 0; }
    void Record(bool hit) { misses_ = hit ? 0 : std::min(misses_ + 1, kMissLimit); }

private:
    uint32_t misses_ = 0;
    uint32_t skipped_ = 0;
};

class UdpServer final : public QThread, public IUdpSender {
public:
    // One read fills at most a coalesced run of datagrams (UDP_GRO), each at
    // most kMaxUdpDatagram; one byte more for the terminator.
    static constexpr size_t kBufferSize = UdpSocket::kMaxCoalescedRead + 1;
    // Datagrams read back to back before the timers run and the thread yields.
    static constexpr int32_t kBurstLimit = 18;
    // Datagrams read by one system call: a whole burst.
    static constexpr size_t kReadBatch = size_t(kBurstLimit);
    // A read is terminated after its last byte, so a full datagram must leave room.
    static_assert(kBufferSize > kMaxUdpDatagram && kBufferSize > UdpSocket::kMaxCoalescedRead);
    static constexpr int32_t kIdleLimit = 4;
    static constexpr uint32_t kIdleWaitMs = 10;
    static constexpr uint32_t kLongIdleExtraMs = 40;
    static constexpr uint32_t kBurstYieldMs = 2;
    // The longest wait while the transport holds a reader's wake-up back.
    static constexpr uint32_t kHeldWakeMs = 1;
    static constexpr uint32_t kReadErrorPauseMs = 2;
    // After a pass that read datagrams the thread polls its socket this long
    // (yielding its core to any other thread that wants it) before it sleeps:
    // where the answer comes back within it (a stream's ACK, the next window
    // on a fast path) the round trip costs no sleep and no wake-up through
    // another core, which costs far more than the spin (UdpSpinBudget
    // skips most spins where answers come slower).
    static constexpr uint64_t kSpinMicros = 40;
    static constexpr uint32_t kOpenRetryMs = 1000;
    static constexpr uint32_t kSuspendedPollMs = 100;
    static constexpr uint64_t kRetransmitMs = 40;
    static constexpr uint64_t kAcknowledgeMs = 20;
    static constexpr uint64_t kMaintenanceMs = 2000;
    static constexpr uint64_t kRegistrationSeconds = 300;
    static constexpr uint64_t kResolveRetrySeconds = 30;

    explicit UdpServer(Clock& clock = SystemClock(),
                       std::shared_ptr<IResolverBackend> names = MakeSystemResolverBackend());
    ~UdpServer() override;

    // Stores the configuration and starts the thread: 0, or -1 for an invalid
    // record or a thread that did not start. While the thread runs, 0 and nothing changes.
    int StartServer(const UdpServerConfig& config);
    // Stores a valid configuration without starting the thread (tests drive
    // RunPass themselves); false for an invalid record.
    bool Configure(const UdpServerConfig& config);
    // Stops the thread (waiting), closes the socket, clears the transport's
    // state and logs "UDPServer Thread Stopped.. ".
    void StopServer();
    // Clears the UDP stream transport's state and the external address.
    void ResetTransport();
    // The TCP listener's endpoint: a valid address and a port in 1..65535 are
    // taken; the loop re-binds to a new port at its next pass.
    void SetLocalEndpoint(uint32_t address, int32_t port);
    // IUdpSender.
    bool Send(const uint8_t* data, size_t length, uint32_t address, uint16_t port) override;
    // The whole batch under one lock, with as few system calls as the kernel allows.
    size_t SendBatch(const UdpDatagramRef* items, size_t count) override;
    // The rendezvous server reported an external address other than ours.
    bool BehindNat();

    // Consumers (null: their datagrams are dropped). Installed under the lock.
    void SetDhtConsumer(IUdpDhtConsumer* consumer);
    void SetStreamConsumer(IUdpStreamConsumer* consumer);
    // Whether the UDP stream transport is suspended, and whether the DHT runs
    // (both default to no). While suspended with no DHT the socket is closed.
    void SetTransportSuspendedProbe(std::function<bool()> probe);
    void SetDhtRunningProbe(std::function<bool()> probe);
    // The address the socket binds (0: every local address).
    void SetBindAddress(uint32_t address);
    // The pool trimmed every 300 s (null: none).
    void SetTrimPool(BufferPool* pool);

    // What the rendezvous side of the transport reports and reads.
    void SetExternalEndpoint(uint32_t address, uint16_t port);
    void NoteRendezvousAnswer();
    struct Rendezvous {
        std::string host;
        uint32_t address = 0;  // 0 until resolved
        uint16_t port = 0;
        int32_t keep_alive_interval = 0;
        int32_t connect_timeout = 0;
        uint32_t external_address = 0;
        uint16_t external_port = 0;
    };
    Rendezvous RendezvousState();
    EndpointTag Tag();
    uint16_t BoundPort();
    uint32_t LocalAddress();
    int32_t ConfiguredPort();

    // One pass of the loop. The thread runs them; tests call it with the
    // thread not started. Returns the milliseconds to wait before the next
    // pass (0: at once).
    uint32_t RunPass();
    // Opens the socket now (the thread does so when it starts).
    bool OpenSocket(bool force);

    struct Counters {
        uint64_t dispatched = 0;  // handed to a consumer
        uint64_t unclaimed = 0;   // read but no consumer took it
        uint64_t skipped = 0;     // empty, or too long and dropped
        uint64_t timer_passes = 0;
        uint64_t spins = 0;      // polls of the socket before a sleep
        uint64_t spin_hits = 0;  // of them, the ones a datagram ended
    };
    Counters GetCounters();

    void Run() override;
    void Refresh() override {}

private:
    void RunTimers(ScopedLock& lock);
    // Hands the datagrams read by one call to their consumers, in order;
    // consecutive stream datagrams go to the transport as one batch.
    void DispatchRead(const UdpSocket::ReadResult* reads, size_t count, bool suspended);
    static size_t DatagramsIn(const UdpSocket::ReadResult* reads, size_t count);
    void ResolveRendezvous(ScopedLock& lock);
    void TrimPool();
    bool Suspended();
    void WaitReal(uint32_t ms);
    // After a pass that read datagrams: polls the socket for up to
    // kSpinMicros before the thread sleeps. True when a datagram (not a
    // wake-up request) came meanwhile.
    bool SpinForData();
    void Wake();

    Clock& clock_;
    TResolver resolver_;
    UdpSocket socket_;
    // kReadBatch receive buffers of kBufferSize bytes each (left
    // uninitialised: only what reads fill is ever touched).
    std::unique_ptr<uint8_t[]> buffers_;
    // A datagram cut from a coalesced read for a consumer that needs it
    // followed by a NUL.
    std::array<uint8_t, kMaxUdpDatagram + 1> single_{};
    std::array<uint8_t*, kReadBatch> buffer_at_{};
    int wake_fd_ = -1;

    // Configuration.
    int32_t local_port_ = 0;
    uint32_t local_address_ = 0;
    uint32_t bind_address_ = 0;
    std::string rendezvous_host_;
    uint16_t rendezvous_port_ = 0;
    int32_t keep_alive_interval_ = UdpServerConfig::kMinKeepAliveSeconds;
    int32_t connect_timeout_ = 30;
    EndpointTag tag_{};

    // Rendezvous state.
    uint32_t rendezvous_address_ = 0;
    bool resolve_tried_ = false;
    uint64_t last_resolve_s_ = 0;
    uint32_t external_address_ = 0;
    uint16_t external_port_ = 0;
    bool rendezvous_answered_ = false;

    // Loop state.
    int32_t burst_ = 0;
    int32_t idle_ = 0;
    bool spin_due_ = false;
    UdpSpinBudget spin_budget_;
    bool was_suspended_ = false;
    uint64_t last_retransmit_ms_ = 0;
    uint64_t last_acknowledge_ms_ = 0;
    uint64_t last_maintenance_ms_ = 0;
    bool registration_due_ = true;
    uint64_t last_registration_s_ = 0;
    uint64_t last_keep_alive_s_ = 0;
    uint64_t last_trim_s_ = 0;
    bool timers_started_ = false;

    IUdpDhtConsumer* dht_ = nullptr;
    IUdpStreamConsumer* stream_ = nullptr;
    std::function<bool()> suspended_probe_;
    std::function<bool()> dht_running_probe_;
    BufferPool* trim_pool_ = nullptr;
    Counters counters_;
};

}  // namespace zl
