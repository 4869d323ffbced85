#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstddef>
#include <cstring>

#include "engine/base/errnum.h"
#include "engine/net/stream_transport.h"

namespace zl {
namespace {

sockaddr_in ToSockaddr(const StreamEndpoint& e) {
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = e.address;
    sa.sin_port = htons(e.port);
    static_assert(sizeof sa.sin_zero == 8);
    std::memcpy(sa.sin_zero, e.tag.data(), 8);
    return sa;
}

StreamEndpoint FromSockaddr(const sockaddr_in& sa) {
    StreamEndpoint e;
    e.address = sa.sin_addr.s_addr;
    e.port = ntohs(sa.sin_port);
    return e;
}

int Fail(int32_t* error) {
    *error = err::FromErrno(errno);
    return -1;
}

class PosixTcpTransport final : public IStreamTransport {
public:
    int Open(int32_t* error) override {
        const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        if (fd < 0) return Fail(error);
        // Peers gather their small messages themselves; waiting for an ACK
        // before sending a request (Nagle) would stall a connection for the
        // remote's delayed-ACK time.
        const int one = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        return fd;
    }
    int Bind(int handle, const StreamEndpoint& local, int32_t* error) override {
        const int one = 1;
        if (local.port != 0) ::setsockopt(handle, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        sockaddr_in sa = ToSockaddr(local);
        std::memset(sa.sin_zero, 0, sizeof sa.sin_zero);
        if (::bind(handle, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) return Fail(error);
        return 0;
    }
    int Listen(int handle, int backlog, int32_t* error) override {
        if (::listen(handle, backlog) != 0) return Fail(error);
        return 0;
    }
    int Connect(int handle, const StreamEndpoint& remote, int32_t* error) override {
        sockaddr_in sa = ToSockaddr(remote);
        std::memset(sa.sin_zero, 0, sizeof sa.sin_zero);
        int rc;
        do rc = ::connect(handle, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
        while (rc != 0 && errno == EINTR);
        if (rc != 0) return Fail(error);
        return 0;
    }
    int Accept(int handle, StreamEndpoint* remote, int32_t* error) override {
        sockaddr_in sa{};
        socklen_t len = sizeof sa;
        const int fd = ::accept4(handle, reinterpret_cast<sockaddr*>(&sa), &len, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) return Fail(error);
        *remote = FromSockaddr(sa);
        return fd;
    }
    int64_t Send(int handle, const uint8_t* data, size_t length, int32_t* error) override {
        ssize_t n;
        do n = ::send(handle, data, length, MSG_NOSIGNAL);
        while (n < 0 && errno == EINTR);
        if (n < 0) return Fail(error);
        return n;
    }
    int64_t Recv(int handle, uint8_t* data, size_t length, int32_t* error) override {
        ssize_t n;
        do n = ::recv(handle, data, length, 0);
        while (n < 0 && errno == EINTR);
        if (n < 0) return Fail(error);
        return n;
    }
    int64_t RecvParts(int handle, const StreamPart* parts, int count, int32_t* error) override {
        static_assert(sizeof(StreamPart) == sizeof(iovec) && offsetof(StreamPart, data) == offsetof(iovec, iov_base) &&
                      offsetof(StreamPart, length) == offsetof(iovec, iov_len));
        ssize_t n;
        do n = ::readv(handle, reinterpret_cast<const iovec*>(parts), std::min(count, IOV_MAX));
        while (n < 0 && errno == EINTR);
        if (n < 0) return Fail(error);
        return n;
    }
    int Wait(int handle, bool writable, int timeout_ms, int32_t* error) override {
        pollfd p{handle, static_cast<short>(writable ? POLLOUT : POLLIN), 0};
        int rc;
        do rc = ::poll(&p, 1, timeout_ms < 0 ? -1 : timeout_ms);
        while (rc < 0 && errno == EINTR);
        if (rc < 0) return Fail(error);
        // Errors and hang-ups count as ready: the next call reports them.
        return rc > 0 ? 1 : 0;
    }
    int32_t PendingError(int handle) override {
        int value = 0;
        socklen_t len = sizeof value;
        if (::getsockopt(handle, SOL_SOCKET, SO_ERROR, &value, &len) != 0) return err::FromErrno(errno);
        return value == 0 ? err::kNone : err::FromErrno(value);
    }
    int LocalEndpoint(int handle, StreamEndpoint* local, int32_t* error) override {
        sockaddr_in sa{};
        socklen_t len = sizeof sa;
        if (::getsockname(handle, reinterpret_cast<sockaddr*>(&sa), &len) != 0) return Fail(error);
        *local = FromSockaddr(sa);
        return 0;
    }
    int SetReceiveBuffer(int handle, int bytes, int32_t* error) override {
        if (::setsockopt(handle, SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes) != 0) return Fail(error);
        return 0;
    }
    void Close(int handle) override {
        if (handle >= 0) ::close(handle);
    }
};

}  // namespace

IStreamTransport& TcpTransport() {
    static PosixTcpTransport transport;  // stateless
    return transport;
}

}  // namespace zl
