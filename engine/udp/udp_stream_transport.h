// The UDP stream transport: a small reliable, ordered byte stream over the
// engine's single UDP socket, shaped as the stream calls of a socket (Open,
// Bind, Listen, Accept, Connect, Send, Receive, Close, Select, LocalName) with
// the same return conventions and Winsock error numbers, and the rendezvous
// client that lets two engines behind NAT find each other and punch holes.
//
// The UDP server hands it every datagram that is not for the DHT and drives
// its timers (IUdpStreamConsumer); it sends through the server (IUdpSender).
// Every call takes the transport's lock. Datagrams are queued while the lock
// is held and handed to the sender after it is released, so no thread ever
// waits for the server's lock while holding this one.
#pragma once
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <unordered_map>
#include <vector>

#include "engine/net/stream_transport.h"
#include "engine/udp/endpoint_tag.h"
#include "engine/udp/rendezvous_messages.h"
#include "engine/udp/udp_consumers.h"
#include "engine/udp/udp_stream.h"

namespace zl {

class BufferPool;
class Clock;

// The server that carries the transport, as the transport sees it. Read and
// told only outside the transport's lock (on the server thread, whose own
// lock is held then), so the two locks are always taken server first.
class IUdpStreamHost {
public:
    struct View {
        uint32_t rendezvous_address = 0;  // 0 until resolved
        uint16_t rendezvous_port = 0;
        uint32_t local_address = 0;
        uint16_t local_port = 0;  // the port the socket is bound to
        int32_t connect_timeout = 0;
        EndpointTag tag{};  // all zero until the server is configured
    };
    virtual ~IUdpStreamHost() = default;
    virtual View Read() = 0;
    // The rendezvous server reported this external endpoint.
    virtual void OnAddressReport(uint32_t address, uint16_t port) = 0;
    // Read under the transport's lock: must take no lock of the server's.
    virtual bool Suspended() = 0;
    virtual bool Running() = 0;
};

struct UdpStreamConfig {
    NodeId node_id{};              // made non-placeholder (first bytes non-zero) on use
    uint32_t local_address = 0;    // advertised local address, network order
    uint16_t local_port = 0;       // the UDP socket's port
    int32_t connect_timeout = 30;  // seconds (t): set-up, silence and retry limits
    uint32_t rendezvous_address = 0;  // network order; 0: no server known yet
    uint16_t rendezvous_port = 0;
    Clock* clock = nullptr;                 // null: the system clock
    std::function<uint64_t()> seconds;      // the engine clock; empty: the clock's ms / 1000
    BufferPool* pool = nullptr;             // segment buffers; null: the shared socket-buffer pool
    std::function<uint32_t()> random;       // stream ids; empty: getrandom
    IUdpStreamHost* host = nullptr;         // the server's settings replace the ones above as they change
    // Implementation choices beyond the fixed 40 ms / 20 ms ticks (the wire
    // format is unchanged): acknowledge after every few segments instead of
    // waiting for the next tick; send a waiting segment as soon as an ACK moves
    // the window over it, as Send would have; and resend a segment at once
    // when an ACK shows three later segments arrived while it did not.
    bool prompt_ack = true;
    bool send_on_ack = true;
    bool fast_resend = true;
    // Segments Send may take beyond the window's 12 (0: only the window, as
    // the bare calls do). The server thread sends them as ACKs open the
    // window, so a writer is woken only once half of them left, not once per
    // round trip. Needs send_on_ack.
    int send_queue = 84;
    // In-order segments kept for the reader (12 for the bare calls, at most
    // 60). Beyond 36, a reader is woken only once the queue holds 24 less
    // than it can, or a short segment came (the sender had nothing more), or
    // the server found its socket empty (ReleaseHeldWakes), or 1 ms passed —
    // not once per round trip. Select still reports held data at once.
    int read_queue = 60;
};

// The engine's own handle set for Select (the handles Open and Accept gave).
class UdpHandleSet {
public:
    void Add(int handle) { handles_.push_back(handle); }
    bool Has(int handle) const;
    void Clear() { handles_.clear(); }
    size_t size() const { return handles_.size(); }
    bool empty() const { return handles_.empty(); }
    const std::vector<int>& handles() const { return handles_; }
    std::vector<int>& mutable_handles() { return handles_; }

private:
    std::vector<int> handles_;
};

// What tests and statistics may see of one stream.
struct UdpStreamSnapshot {
    bool exists = false;
    UdpStreamState state = UdpStreamState::kNew;
    UdpStreamList list = UdpStreamList::kNone;
    bool connected = false;
    uint32_t id = 0;
    uint32_t remote_stream_id = 0;
    uint32_t remote_address = 0;
    uint16_t remote_port = 0;
    uint16_t service_port = 0;
    NodeId remote_id{};
    uint32_t nonce = 0;
    int64_t request_number = -1;
    int send_used = 0;
    uint32_t send_base = 0;
    std::array<uint32_t, udpstream::kWindow> send_retries{};
    std::array<bool, udpstream::kWindow> send_sent{};
    uint32_t next_expected = 0;
    int readable_count = 0;
    int receive_filled = 0;
    uint64_t bytes_acknowledged = 0;
    uint64_t bytes_received = 0;
    uint32_t loss_percent = 0;
    int window_limit = 0;
    uint32_t segment_size = 0;
    uint32_t send_count = 0;
    uint32_t resend_count = 0;
    int32_t close_error = 0;
};

struct UdpStreamCounters {
    uint64_t packets_in = 0;
    uint64_t packets_dropped = 0;  // failed the checks or matched no stream
    uint64_t data_sent = 0;        // DATA packets, first sends and resends
    uint64_t data_resent = 0;
    uint64_t acks_sent = 0;
};

class UdpStreamTransport final : public IUdpStreamConsumer {
public:
    static constexpr size_t kFreePoolLimit = 256;
    static constexpr int kMinBacklog = 5;
    static constexpr int kMaxBacklog = 4096;
    static constexpr int kInitialBacklog = 32;
    static constexpr size_t kPendingLimit = 2048;
    static constexpr size_t kPunchListLimit = 512;
    static constexpr uint32_t kSynAckResendLimit = 3;  // maintenance resends per accepting stream

    UdpStreamTransport(IUdpSender& sender, UdpStreamConfig config);
    ~UdpStreamTransport() override;
    UdpStreamTransport(const UdpStreamTransport&) = delete;
    UdpStreamTransport& operator=(const UdpStreamTransport&) = delete;

    // Socket-like calls. Each returns as its Winsock counterpart (-1 on
    // failure) and stores the error number in *error (0 on success).
    int Open(int32_t* error);
    int Bind(int handle, uint32_t address, uint16_t port, int32_t* error);
    int Listen(int handle, int backlog, int32_t* error);
    int Accept(int handle, StreamEndpoint* remote, int32_t* error);
    int Connect(int handle, const StreamEndpoint& remote, int32_t* error);
    int64_t Send(int handle, const uint8_t* data, int64_t length, int32_t* error);
    int64_t Receive(int handle, uint8_t* buffer, int64_t size, int32_t* error);
    int Close(int handle, int32_t* error);
    // Shrinks each set to its ready members and returns their total count;
    // waits up to timeout_ms (< 0: without limit), polling at least every 10 ms.
    int Select(UdpHandleSet* read, UdpHandleSet* write, UdpHandleSet* except, int timeout_ms);
    int LocalName(int handle, StreamEndpoint* local, int32_t* error);
    // A descriptor that polls readable once something happened on the stream
    // that a call would act on; the next Send, Receive or Accept on it clears
    // it. -1 for an unknown handle or when none can be made. Owned by the
    // transport, closed with the stream.
    int EventDescriptor(int handle);

    // Settings the engine and the UDP server change.
    void SetSuspended(bool suspended);
    void SetServerRunning(bool running);
    void SetLocalEndpoint(uint32_t address, uint16_t port);
    void SetRendezvousServer(uint32_t address, uint16_t port);
    void SetConnectTimeout(int32_t seconds);

    uint32_t ExternalAddress();
    uint32_t ExternalPort();
    // The external address reported by the rendezvous server differs from the local address.
    bool BehindNat();
    // The server sent an address report since the last registration.
    bool ServerAnswered();
    NodeId node_id();
    EndpointTag local_tag();

    // IUdpStreamConsumer: the rendezvous dispatch, then the transport.
    void OnStreamDatagram(const uint8_t* data, size_t length, uint32_t address, uint16_t port) override;
    void OnStreamBatch(const UdpDatagramRef* items, size_t count) override;
    bool HoldsWakes() override { return holding_.load(std::memory_order_acquire); }
    void ReleaseHeldWakes() override;
    void RetransmitTick() override;
    void AcknowledgeTick() override;
    void MaintenanceTick() override;
    void Register() override;
    void KeepAlive() override;
    bool HasPendingConnectBatch() override;
    void FlushConnectBatch() override;
    void ResetTransport() override;

    UdpStreamSnapshot Inspect(int handle);
    UdpStreamCounters Counters();
    size_t FreePoolSize();
    size_t PunchListSize();
    size_t PendingRequestCount();
    size_t AcceptQueueSize();
    int backlog();

private:
    class Guard;
    struct Outbox {
        struct Item {
            size_t offset;         // into `bytes`, unless `segment` is set
            const uint8_t* segment;  // a pinned segment buffer sent as it stands
            uint32_t length;
            uint32_t address;
            uint16_t port;
        };
        std::vector<uint8_t> bytes;
        std::vector<Item> items;
        uint8_t* Emit(size_t length, uint32_t address, uint16_t port);
        void EmitSegment(const uint8_t* segment, size_t length, uint32_t address, uint16_t port) {
            items.push_back(Item{0, segment, uint32_t(length), address, port});
        }
        const uint8_t* DataOf(const Item& item) const { return item.segment ? item.segment : bytes.data() + item.offset; }
        void Clear() {
            bytes.clear();
            items.clear();
        }
    };
    struct PunchEntry {
        EndpointTag requester{};
        uint32_t address = 0;
        uint16_t port = 0;
        uint32_t sends = 0;
    };

    // Time.
    uint64_t NowMs();
    uint64_t NowSeconds();

    // Streams, lists, pool.
    UdpStream* Find(int handle);
    UdpStream* FindOn(uint32_t id, UdpStreamList list);
    UdpStream* NewStream();
    void ReleaseStream(UdpStream* s);
    void Detach(UdpStream* s);
    void Attach(UdpStream* s, UdpStreamList list);
    std::vector<UdpStream*>& ListOf(UdpStreamList list);
    // Segment buffers (a whole DATA packet, or a received one's stored form)
    // all have one size; a few freed ones are kept here for reuse under the
    // transport's lock, so the pool's own lock and bookkeeping stay out of
    // the per-segment path. They go back to the pool on reset.
    static constexpr size_t kSegmentBufferSize = udpstream::kMaxPacketSize + udpstream::kSendBufferSpare;
    static constexpr size_t kSpareSegmentLimit = 128;
    uint8_t* TakeSegmentBuffer();
    void GiveBackSegmentBuffer(uint8_t* buffer);
    // A DATA packet goes to the sender as its segment buffer stands, not
    // copied: the buffer is pinned while a released lock's batch sends it.
    // A buffer given back while pinned is orphaned, and the last unpin hands
    // it to the pool; a pinned one is never written (a resend while it is
    // queued goes out as a copy). The pin word sits in the buffer's spare
    // bytes after the largest packet: the count of queued sends, and a flag
    // for an orphan.
    static constexpr size_t kPinAt = udpstream::kMaxPacketSize;
    static constexpr uint32_t kOrphaned = 0x80000000u;
    static_assert(kPinAt % 8 == 0 && kPinAt + sizeof(uint32_t) <= kSegmentBufferSize);
    static std::atomic_ref<uint32_t> PinWord(uint8_t* buffer) {
        return std::atomic_ref<uint32_t>(*reinterpret_cast<uint32_t*>(buffer + kPinAt));
    }
    static bool Pinned(uint8_t* buffer) { return PinWord(buffer).load(std::memory_order_acquire) != 0; }
    // Drops one pin of each segment the outbox referenced (its sends done or dropped).
    void UnpinSegments(const Outbox& out);
    void ReturnSpareSegments();
    void ReleaseSendBuffers(UdpStream* s);
    void ReleaseReceiveBuffers(UdpStream* s);
    void CloseStream(UdpStream* s, int32_t reason);
    // What a change may make ready: Select waiters of that kind are woken
    // when the lock is released.
    enum : uint8_t { kWakeReaders = 1, kWakeWriters = 2, kWakeAll = 3 };
    void Wake(uint8_t kinds = kWakeAll) { wake_ |= kinds; }
    // Raises the stream's event descriptor (when it has one); Lower clears it.
    void Notify(UdpStream* s);
    void Lower(UdpStream* s);
    // New in-order data for the stream's reader: told now (`at_once`, or
    // enough gathered) or held for ReleaseHeldWakes.
    void TellReader(UdpStream* s, bool at_once);
    void ReleaseHeldLocked();
    static constexpr uint64_t kHoldMs = 1;  // the longest a reader's wake-up is held
    // A listener on the stream's service port hears of a connection to accept.
    void NotifyListener(UdpStream* accepted);
    // Takes the server's current settings (server thread, before the lock).
    void SyncWithHost();
    bool Suspended() const;

    // Window arithmetic.
    uint32_t LossPercent(UdpStream* s);
    int WindowLimit(UdpStream* s, uint32_t* segment_size);
    void DropAcknowledgedFront(UdpStream* s);
    void MoveInOrder(UdpStream* s);
    void AcknowledgeSlot(UdpStream* s, int index);

    // Packets out.
    void SendControl(UdpStream* s, uint32_t type, int copies);
    void SendRefuse(const WireView& syn, uint32_t address, uint16_t port);
    void SendData(UdpStream* s, int index);
    void SendAck(UdpStream* s, int copies);
    // Sent once, or twice while two or more segments wait; `times` as many
    // again (at most kMaxAckCopies).
    void AckIfDue(UdpStream* s, int times = 1);
    static constexpr int kMaxAckCopies = 8;
    // Sends the ACKs the batch's segments earned, one per stream.
    void SendOwedAcks();
    static constexpr uint64_t kGapMemoryMs = 2000;  // how long a gap counts as recent loss
    void Emit(const uint8_t* bytes, size_t length, uint32_t address, uint16_t port);

    // Packets in.
    void Dispatch(const uint8_t* data, size_t length, uint32_t address, uint16_t port);
    UdpStream* EstablishedFrom(const WireView& p, uint32_t address, bool queued_too = false);
    void OnTransportPacket(const WireView& p, uint32_t address, uint16_t port);
    void OnSyn(const WireView& p, uint32_t address, uint16_t port);
    void OnSynAck(const WireView& p, uint32_t address, uint16_t port);
    void OnConfirm(const WireView& p, uint32_t address, uint16_t port);
    void OnRefuse(const WireView& p, uint32_t address, uint16_t port);
    void OnData(const WireView& p, uint32_t address, uint16_t port);
    void OnAck(const WireView& p, uint32_t address, uint16_t port);
    void OnKeepalive(const WireView& p, uint32_t address, uint16_t port);
    void OnClose(const WireView& p, uint32_t address, uint16_t port);
    void OnDataAck(const WireView& p, uint32_t address, uint16_t port);
    void FastResend(UdpStream* s);
    // Whether the other end can store send slot `index` (otherwise it waits).
    bool PeerTakes(UdpStream* s, int index);
    // Send slots a stream may fill, and the count of used ones below which it is writable.
    int SendCapacity() const { return udpstream::kWindow + send_queue_; }
    int WritableBelow() const { return udpstream::kWindow + send_queue_ / 2; }
    // Wakes writers when a change of the used slots from `before` made the stream writable.
    void NoteSlotsFreed(UdpStream* s, int before);
    // One past the last send slot that went out (0: none).
    static int SentEnd(const UdpStream* s);
    void SendNowInWindow(UdpStream* s);

    // Rendezvous.
    bool FromServer(uint32_t address) const;
    bool BehindNatLocked() const;
    uint32_t QueueConnectRequest(UdpStream* s);
    void FlushBatchLocked();
    void OnAddressReport(const WireView& m);
    void OnPunchRequest(const WireView& m);
    void OnPunchArrival(const WireView& m, uint32_t address, uint16_t port);
    void OnConnectReply(const WireView& m);
    void PunchPass();
    void ForgetPunches(uint32_t address, uint16_t port);
    void SendPunch(const PunchEntry& e);

    // Timers (lock held).
    void RetransmitStream(UdpStream* s);
    void MaintainAcceptQueue(uint64_t now);
    void MaintainOpenList(uint64_t now);

    // Select's waiting: on the system clock a futex on a word of the
    // transport's own, each waiter woken only by changes of the kinds it
    // waits for (so that nothing else that sleeps is woken per packet, and a
    // wake costs one system call on each side); on a test clock the clock's sleep.
    void WaitForChange(uint32_t seen, uint32_t ms, uint8_t kinds);
    uint32_t* WaitWord() { return reinterpret_cast<uint32_t*>(&wait_word_); }
    void WakeWaiters(uint8_t kinds);
    bool IsReadable(UdpStream* s);
    bool IsWritable(UdpStream* s);
    bool IsInError(UdpStream* s);
    int SelectOnce(UdpHandleSet* read, UdpHandleSet* write, UdpHandleSet* except, bool shrink);

    IUdpSender& sender_;
    UdpStreamConfig config_;
    Clock& clock_;
    BufferPool& pool_;
    EndpointTag tag_{};

    std::mutex mutex_;
    Outbox outbox_;
    uint8_t wake_ = 0;
    std::atomic<uint32_t> wait_word_{0};  // moves with every wake
    static_assert(sizeof(std::atomic<uint32_t>) == sizeof(uint32_t) && std::atomic<uint32_t>::is_always_lock_free);
    std::atomic<int> read_waiters_{0};
    std::atomic<int> write_waiters_{0};
    const bool system_clock_;
    int send_queue_ = 0;
    int read_queue_ = udpstream::kWindow;
    int read_wake_segments_ = 0;  // 0: every reader told at once
    std::atomic<bool> holding_{false};
    uint64_t held_since_ms_ = 0;

    std::unordered_map<uint32_t, std::unique_ptr<UdpStream>> table_;
    std::vector<UdpStream*> open_, bound_, accept_;  // oldest first
    std::vector<std::unique_ptr<UdpStream>> free_pool_;
    std::vector<uint8_t*> spare_segments_;
    std::vector<uint32_t> owed_acks_;  // ids of streams with acks_owed, this batch
    int backlog_ = kInitialBacklog;
    bool suspended_ = false;
    bool server_running_ = true;
    UdpStreamCounters counters_;

    // Rendezvous state.
    uint32_t external_address_ = 0;
    uint32_t external_port_ = 0;
    bool server_answered_ = false;
    bool report_pending_ = false;  // to be told to the host once the lock is released
    uint32_t request_counter_ = 0;
    rendezvous::ConnectBatch batch_;
    std::vector<uint32_t> pending_requests_;
    std::vector<PunchEntry> punch_list_;  // oldest first
};

}  // namespace zl
