// The reusable datagram socket: one non-blocking IPv4 UDP socket bound to a
// port (0: any free port), with a checked send and a read that never lets a
// datagram through cut short. The engine's UDP server owns one; a UDP tracker
// exchange opens its own on an ephemeral port. Used by one thread at a time
// (the UDP server guards its socket with its own lock).
#pragma once
#include <cstddef>
#include <cstdint>

namespace zl {

struct UdpSocketOptions {
    bool broadcast = false;
    bool blocking = false;
    // SO_SNDBUF and SO_RCVBUF; 0 or less means 8192.
    int32_t buffer_size = 131072;
    // Lets the kernel hand over a run of equal-sized datagrams from one
    // sender as one read (UDP_GRO); ReceiveMany then reports their size.
    bool coalesce_reads = false;
};

class UdpSocket {
public:
    // The largest datagram sent or read.
    static constexpr size_t kMaxDatagram = 8192;
    // The largest coalesced read (one IP datagram's worth of segments).
    static constexpr size_t kMaxCoalescedRead = 65536;

    using Options = UdpSocketOptions;

    // What one read found.
    enum class ReadKind {
        kNothing,   // no datagram waiting
        kDatagram,  // `length` bytes (at least 1) from `address`:`port`
        kSkipped,   // an empty datagram, or one longer than the buffer (dropped whole)
        kClosed,    // a socket error: the socket is now closed
    };
    struct ReadResult {
        ReadKind kind = ReadKind::kNothing;
        size_t length = 0;
        uint32_t address = 0;  // network order
        uint16_t port = 0;     // host order
        // Non-zero for a coalesced read: `length` bytes of datagrams of this
        // size each, the last one possibly shorter (at most kMaxDatagram).
        size_t segment = 0;
    };

    UdpSocket() = default;
    ~UdpSocket() { Close(); }
    UdpSocket(const UdpSocket&) = delete;
    UdpSocket& operator=(const UdpSocket&) = delete;

    // Closes any previous socket, creates one and binds it to `port` on
    // `address` (0: every local address). False on failure (last_error()).
    bool Open(uint16_t port, uint32_t address = 0, const Options& options = Options());
    void Close();

    // One datagram. Refused (false, the socket untouched) when the data is
    // missing, empty or longer than kMaxDatagram, the address is 0 or
    // 255.255.255.255 without the broadcast option, or the port is 0. A full
    // send buffer is tried exactly once more; any other error closes the socket.
    bool SendTo(const uint8_t* data, size_t length, uint32_t address, uint16_t port);

    // Reads one datagram into `buffer` (at most `capacity` bytes, never more
    // than kMaxDatagram). A datagram that does not fit is dropped whole rather
    // than handed on cut, and an empty one is skipped: neither closes the socket.
    ReadResult Receive(uint8_t* buffer, size_t capacity);

    // Reads up to `count` datagrams with one system call, datagram i into
    // buffers[i] (each `capacity` bytes), with the rules of Receive for each.
    // With coalesce_reads a result may hold a run of datagrams (`segment`);
    // buffers then need kMaxCoalescedRead bytes, or a run that does not fit
    // is dropped whole. Returns how many results were written: 0 when
    // nothing waits; a kClosed or kSkipped-for-an-error result ends the batch.
    size_t ReceiveMany(uint8_t* const* buffers, size_t capacity, ReadResult* results, size_t count);

    // One datagram of SendMany.
    struct Outgoing {
        const uint8_t* data = nullptr;
        size_t length = 0;
        uint32_t address = 0;
        uint16_t port = 0;
    };
    // Sends the datagrams in order with as few system calls as the kernel
    // allows (runs of equal datagrams to one destination through the
    // kernel's segmentation offload, the rest by sendmmsg); each is refused
    // or retried as SendTo would. Returns how many went.
    size_t SendMany(const Outgoing* items, size_t count);

    bool IsOpen() const { return handle_ >= 0; }
    int handle() const { return handle_; }
    uint16_t bound_port() const { return bound_port_; }
    uint32_t bound_address() const { return bound_address_; }
    int32_t last_error() const { return last_error_; }
    // The last Open failed at bind (the socket was created).
    bool bind_failed() const { return bind_failed_; }
    uint64_t dropped() const { return dropped_; }

private:
    bool Refuses(const Outgoing& o) const;
    size_t SegmentRun(const Outgoing* items, size_t count) const;
    bool SendSegmented(const Outgoing* items, size_t count);

    int handle_ = -1;
    bool segmentation_ = true;  // the kernel cuts one send into datagrams (cleared when it cannot)
    bool coalescing_ = false;   // reads may hold runs of datagrams
    uint16_t bound_port_ = 0;
    uint32_t bound_address_ = 0;
    bool broadcast_ = false;
    int32_t last_error_ = 0;
    bool bind_failed_ = false;
    uint64_t dropped_ = 0;
};

}  // namespace zl
