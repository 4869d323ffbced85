// The seams of the engine's single UDP socket. The UDP server thread reads
// every datagram and hands it to one of two consumers: the DHT (bencoded
// dictionaries, first byte 'd', longer than 8 bytes) or the UDP stream
// transport (everything else, including rendezvous traffic). Both send
// through the server. Consumers are installed on the server; a missing
// consumer means its datagrams are dropped.
//
// Addresses are IPv4 in network byte order; ports are in host order.
// Receive calls run on the server thread; the bytes stay valid only for the
// call and are followed by a NUL byte in the buffer, except the items of a
// stream batch cut from one coalesced read (each has only its length).
#pragma once
#include <cstddef>
#include <cstdint>

namespace zl {

// The largest datagram sent or read.
inline constexpr size_t kMaxUdpDatagram = 8192;

// One datagram of a batch.
struct UdpDatagramRef {
    const uint8_t* data = nullptr;
    size_t length = 0;
    uint32_t address = 0;
    uint16_t port = 0;
};

class IUdpSender {
public:
    virtual ~IUdpSender() = default;
    // Sends one datagram; false when refused (empty, over kMaxUdpDatagram,
    // address 0, port outside 1..65535) or when the socket failed.
    virtual bool Send(const uint8_t* data, size_t length, uint32_t address, uint16_t port) = 0;
    // Sends datagrams in order, as Send each; returns how many went. A sender
    // with a lock takes it once for the whole batch.
    virtual size_t SendBatch(const UdpDatagramRef* items, size_t count) {
        size_t sent = 0;
        for (size_t i = 0; i < count; ++i) sent += Send(items[i].data, items[i].length, items[i].address, items[i].port) ? 1 : 0;
        return sent;
    }
};

class IUdpDhtConsumer {
public:
    virtual ~IUdpDhtConsumer() = default;
    // Parses and queues only: runs on the server thread with the server lock
    // held, so it must never send or wait on a lock another sender holds.
    virtual void OnDhtDatagram(const uint8_t* data, size_t length, uint32_t address, uint16_t port) = 0;
};

class IUdpStreamConsumer {
public:
    virtual ~IUdpStreamConsumer() = default;
    virtual void OnStreamDatagram(const uint8_t* data, size_t length, uint32_t address, uint16_t port) = 0;
    // Datagrams read together, in order, as OnStreamDatagram each (not
    // followed by a NUL when cut from a coalesced read). A consumer
    // with a lock takes it once, and sends its answers and wakes its waiters
    // once for the whole batch.
    virtual void OnStreamBatch(const UdpDatagramRef* items, size_t count) {
        for (size_t i = 0; i < count; ++i) OnStreamDatagram(items[i].data, items[i].length, items[i].address, items[i].port);
    }
    // Wake-ups the consumer holds back for more data to gather: while it
    // does, the server waits at most 1 ms between passes, and a pass that
    // finds the socket empty releases them.
    virtual bool HoldsWakes() { return false; }
    virtual void ReleaseHeldWakes() {}
    // Timers the server loop drives while the transport is not suspended.
    virtual void RetransmitTick() = 0;       // every 40 ms
    virtual void AcknowledgeTick() = 0;      // every 20 ms between retransmit ticks
    virtual void MaintenanceTick() = 0;      // every 2 s
    virtual void Register() = 0;             // with the rendezvous server, every 300 s
    virtual void KeepAlive() = 0;            // to the rendezvous server, when behind NAT
    virtual bool HasPendingConnectBatch() = 0;
    virtual void FlushConnectBatch() = 0;
    // Clears every stream and the external address (suspension, last task gone).
    virtual void ResetTransport() = 0;
};

}  // namespace zl
