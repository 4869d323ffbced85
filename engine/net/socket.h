// The socket object every connection of the engine goes through: a
// non-blocking IPv4 TCP socket, or a connection of the engine's UDP stream,
// behind the same calls, with a send queue, a bounded receive buffer, byte
// counters and average rates. Used by one thread at a time.
#pragma once
#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

struct pollfd;

#include "engine/net/socket_buffer.h"
#include "engine/net/stream_transport.h"

namespace zl {

class BufferPool;
class Clock;
class TResolver;

// A stream cipher applied to every byte of a connection in one direction,
// in order (a connection that negotiated an encrypted stream).
class StreamCipher {
public:
    virtual ~StreamCipher() = default;
    virtual void Apply(uint8_t* data, size_t length) = 0;
};

// What a socket needs from its engine context.
struct SocketEnv {
    Clock* clock = nullptr;               // connect times and rates when `seconds` is empty
    std::function<uint64_t()> seconds;    // the engine clock in seconds (preferred)
    BufferPool* pool = nullptr;           // null: the shared socket-buffer pool
    IStreamTransport* udp = nullptr;      // the UDP stream, when the engine runs one
    IStreamTransport* tcp = nullptr;      // null: the operating system's TCP
    TResolver* resolver = nullptr;        // ConnectHost and the default listen address
};

class TSocket {
public:
    static constexpr int64_t kDefaultReceiveSize = 43008;
    static constexpr int64_t kReceiveGrowth = 2048;
    static constexpr int64_t kSendGrowth = 1024;
    static constexpr int64_t kDefaultSendQueueLimit = 64ll << 20;
    static constexpr int kTcpBacklog = 32;
    static constexpr int kUdpBacklog = 1024;
    using Identity = std::array<uint8_t, 8>;

    explicit TSocket(const SocketEnv& env);
    ~TSocket();
    TSocket(const TSocket&) = delete;
    TSocket& operator=(const TSocket&) = delete;

    // True when connected or the connection is in progress. An identity selects the UDP stream.
    bool Connect(uint32_t address, int32_t port, bool blocking, uint32_t local_address = 0,
                 const Identity* udp_identity = nullptr);
    bool ConnectHost(const std::string& host, int32_t port, bool blocking, uint32_t local_address = 0,
                     const Identity* udp_identity = nullptr);
    bool Listen(int32_t port, uint32_t local_address = 0, const Identity* udp_identity = nullptr);
    std::unique_ptr<TSocket> Accept();

    // Completes a pending connect once the transport reports it writable and
    // without a pending error; a failed connect Drops the socket.
    bool IsConnected();

    // Accepts all bytes; writes at most `length` now, queued bytes first.
    // Returns the bytes written now, or -1 after an error (the socket is dropped,
    // or the queue would pass its limit).
    int64_t Send(const void* bytes, int64_t length);
    int64_t Flush();

    // Reads at most `maximum` bytes (<= 0: 43008) without letting the buffer
    // hold more than `limit` bytes. Returns the bytes now buffered, 0 when
    // nothing could be read, -1 after an error (peer closed, failure, or a full
    // buffer: the caller's protocol cannot make progress, last error err::kNoBuffers).
    int64_t Receive(int64_t maximum, int64_t limit);
    void Consume(int64_t count, bool keep = false);
    // Reads straight into `parts` in turn (while nothing is buffered): the
    // bytes read, 0 when none could be, -1 as Receive.
    int64_t ReceiveInto(const StreamPart* parts, int count);
    // Puts bytes read with ReceiveInto into the receive buffer after all (the
    // part of them the caller cannot place). False when memory runs out.
    bool KeepReceived(const uint8_t* bytes, int64_t length);

    // Seconds; -1 unlimited; -2 unlimited when blocking, else 0.
    bool WaitReadable(int32_t seconds);
    bool WaitWritable(int32_t seconds);
    void SetReadableLatch() { readable_latch_ = true; }
    void SetWritableLatch() { writable_latch_ = true; }

    bool SetReceiveBufferSize(int32_t bytes);

    // Bytes per second since the connection was made (now in engine seconds; 0: the clock's).
    uint64_t SendRate(uint64_t now = 0) const;
    uint64_t ReceiveRate(uint64_t now = 0) const;

    void Close();
    void Drop();

    // The address a listener bound to every local address stands for (the
    // machine's own, as it is published); accepted connections take it over.
    void SetLocalAddress(uint32_t address) { local_address_ = address; }

    // From now on every byte received is deciphered with `incoming` as it
    // arrives and every byte sent is enciphered with `outgoing` as it is
    // handed over (bytes already received or queued stay as they are).
    void SetStreamCiphers(std::unique_ptr<StreamCipher> incoming, std::unique_ptr<StreamCipher> outgoing);
    bool enciphered() const { return outgoing_cipher_ != nullptr; }

    // The send queue's limit (bytes); Send fails rather than queue beyond it.
    void SetSendQueueLimit(int64_t bytes) { send_queue_limit_ = bytes; }

    // Adds this socket's poll(2) entry (readable; writable while connecting or
    // sending) when it is an operating-system socket, and the UDP stream's
    // event descriptor (readable once a call may progress) in UDP mode; a
    // simulated connection has no descriptor to wait on.
    void AddWaitEntry(std::vector<pollfd>& entries) const;

    int handle() const { return handle_; }
    bool IsOpen() const { return handle_ >= 0; }
    bool connected() const { return connected_; }
    bool listening() const { return listening_; }
    bool blocking() const { return blocking_; }
    bool udp_mode() const { return udp_mode_; }
    uint32_t remote_address() const { return remote_address_; }
    uint32_t local_address() const { return local_address_; }
    uint16_t remote_port() const { return remote_port_; }
    uint16_t local_port() const { return local_port_; }
    uint64_t bytes_sent() const { return bytes_sent_; }
    uint64_t bytes_received() const { return bytes_received_; }
    int32_t last_error() const { return last_error_; }
    uint64_t connect_time() const { return connect_time_; }
    uint64_t last_activity() const { return last_activity_; }
    const std::string& host_text() const { return host_text_; }
    const std::array<uint8_t, 11>& connection_tag() const { return tag_; }

    const uint8_t* received() const { return receive_.data(); }
    // For a layer that rewrites received bytes where they lie (an obfuscated
    // handshake's payload is decrypted in place).
    uint8_t* received_for_rewrite() { return receive_.data(); }
    int64_t received_length() const { return receive_.length(); }
    int64_t receive_capacity() const { return receive_.capacity(); }
    int64_t queued_length() const { return send_queue_.length(); }
    int64_t send_queue_capacity() const { return send_queue_.capacity(); }

private:
    // A read that brought nothing: 0 when it would block, else the socket is dropped and -1.
    int64_t SettleEmptyRead(int64_t n, int32_t error);
    IStreamTransport* Transport() const;
    uint64_t NowSeconds() const;
    bool Create(bool udp, int32_t* error);
    void Complete();
    void SetTag(const Identity& identity);
    int64_t WriteQueued(int64_t budget, bool* failed);
    int64_t WriteQueueFully();
    bool Wait(bool writable, int32_t seconds);
    void ResetFields();

    SocketEnv env_;
    uint32_t remote_address_ = 0;
    uint32_t local_address_ = 0;
    int handle_ = -1;
    SocketBuffer send_queue_;
    SocketBuffer receive_;
    uint16_t remote_port_ = 0;
    uint16_t local_port_ = 0;
    bool readable_latch_ = false;
    bool writable_latch_ = false;
    bool connected_ = false;
    bool listening_ = false;
    bool blocking_ = false;
    uint64_t bytes_sent_ = 0;
    uint64_t bytes_received_ = 0;
    int32_t last_error_ = 0;
    uint64_t connect_time_ = 0;
    uint64_t last_activity_ = 0;
    bool udp_mode_ = false;
    Identity identity_{};
    std::array<uint8_t, 11> tag_{};
    std::string host_text_;
    int64_t send_queue_limit_ = kDefaultSendQueueLimit;
    std::unique_ptr<StreamCipher> incoming_cipher_;
    std::unique_ptr<StreamCipher> outgoing_cipher_;
    std::vector<uint8_t> cipher_scratch_;
};

}  // namespace zl
