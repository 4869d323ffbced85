// The calls a socket makes on its transport. TCP goes to the operating system;
// the engine's reliable UDP stream provides the same calls with the same
// return conventions, so one socket object carries either.
#pragma once
#include <array>
#include <cstddef>
#include <cstdint>

namespace zl {

// An IPv4 endpoint. `tag` is the 8 spare bytes of the socket address: the
// remote engine's 8-byte identity on the UDP stream, zero for TCP.
struct StreamEndpoint {
    uint32_t address = 0;  // network order
    uint16_t port = 0;     // host order
    std::array<uint8_t, 8> tag{};
};

// One buffer of a vectored read.
struct StreamPart {
    uint8_t* data = nullptr;
    size_t length = 0;
};

class IStreamTransport {
public:
    virtual ~IStreamTransport() = default;

    // Every call returns -1 on failure and stores an engine error number in *error.
    // A new non-blocking handle.
    virtual int Open(int32_t* error) = 0;
    virtual int Bind(int handle, const StreamEndpoint& local, int32_t* error) = 0;
    virtual int Listen(int handle, int backlog, int32_t* error) = 0;
    // 0 when connected at once; -1 with err::kWouldBlock while in progress.
    virtual int Connect(int handle, const StreamEndpoint& remote, int32_t* error) = 0;
    // A new handle, or -1 (err::kWouldBlock when nothing is waiting).
    virtual int Accept(int handle, StreamEndpoint* remote, int32_t* error) = 0;
    // Bytes moved; -1 with err::kWouldBlock when the call would wait. Recv
    // returns 0 when the other side closed the stream.
    virtual int64_t Send(int handle, const uint8_t* data, size_t length, int32_t* error) = 0;
    virtual int64_t Recv(int handle, uint8_t* data, size_t length, int32_t* error) = 0;
    // Recv into `count` buffers in turn; a transport without a vectored read
    // fills the first only (a short read, as Recv may give).
    virtual int64_t RecvParts(int handle, const StreamPart* parts, int count, int32_t* error) {
        return count > 0 ? Recv(handle, parts[0].data, parts[0].length, error) : 0;
    }
    // 1 ready, 0 timed out, -1 failure. timeout_ms < 0 waits without limit.
    virtual int Wait(int handle, bool writable, int timeout_ms, int32_t* error) = 0;
    // The outcome of a pending connect: 0, or the error it failed with.
    virtual int32_t PendingError(int handle) = 0;
    virtual int LocalEndpoint(int handle, StreamEndpoint* local, int32_t* error) = 0;
    virtual int SetReceiveBuffer(int handle, int bytes, int32_t* error) = 0;
    virtual void Close(int handle) = 0;
    // A descriptor to poll for readability when the handle has none of its
    // own (the UDP stream): it turns readable when a call may now make
    // progress. -1 when there is none.
    virtual int EventDescriptor(int handle) {
        (void)handle;
        return -1;
    }
};

// Non-blocking IPv4 TCP over POSIX sockets (stateless; one instance serves all sockets).
IStreamTransport& TcpTransport();

}  // namespace zl
