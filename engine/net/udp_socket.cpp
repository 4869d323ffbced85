#include "engine/net/udp_socket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include "engine/base/errnum.h"

namespace zl {

bool UdpSocket::Open(uint16_t port, uint32_t address, const Options& options) {
    Close();
    bind_failed_ = false;
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP);
    if (fd < 0) {
        last_error_ = err::FromErrno(errno);
        return false;
    }
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_port = htons(port);
    local.sin_addr.s_addr = address == 0xFFFFFFFFu ? 0 : address;
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
        last_error_ = err::FromErrno(errno);
        bind_failed_ = true;
        ::close(fd);
        return false;
    }
    socklen_t size = sizeof local;
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &size) == 0) {
        bound_port_ = ntohs(local.sin_port);
        bound_address_ = local.sin_addr.s_addr;
    }
    const int on = 1;
    if (options.broadcast) ::setsockopt(fd, SOL_SOCKET, SO_BROADCAST, &on, sizeof on);
    if (!options.blocking) ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
    const int buffer = options.buffer_size > 0 ? options.buffer_size : 8192;
    ::setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &buffer, sizeof buffer);
    ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &buffer, sizeof buffer);
    handle_ = fd;
    broadcast_ = options.broadcast;
    last_error_ = 0;
    return true;
}

void UdpSocket::Close() {
    if (handle_ >= 0) ::close(handle_);
    handle_ = -1;
    bound_port_ = 0;
    bound_address_ = 0;
}

bool UdpSocket::SendTo(const uint8_t* data, size_t length, uint32_t address, uint16_t port) {
    if (!data || length == 0 || length > kMaxDatagram || address == 0 || port == 0) return false;
    if (address == 0xFFFFFFFFu && !broadcast_) return false;
    if (handle_ < 0) return false;
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    to.sin_addr.s_addr = address;
    for (int attempt = 0; attempt < 2; ++attempt) {
        const ssize_t sent =
            ::sendto(handle_, data, length, MSG_NOSIGNAL, reinterpret_cast<const sockaddr*>(&to), sizeof to);
        if (sent == static_cast<ssize_t>(length)) return true;
        if (sent >= 0) return false;  // a datagram goes whole or not at all
        last_error_ = err::FromErrno(errno);
        if (last_error_ != err::kWouldBlock) break;
    }
    // A full buffer keeps the socket; a datagram the kernel refuses outright
    // (a refused port reported back, an unreachable net) is this send's
    // failure, not the socket's.
    if (last_error_ != err::kWouldBlock && last_error_ != err::kConnRefused &&
        last_error_ != err::kNetUnreachable && last_error_ != err::kHostUnreachable &&
        last_error_ != err::kMessageSize && last_error_ != err::kAccess)
        Close();
    return false;
}

UdpSocket::ReadResult UdpSocket::Receive(uint8_t* buffer, size_t capacity) {
    ReadResult result;
    if (handle_ < 0) {
        result.kind = ReadKind::kClosed;
        return result;
    }
    if (!buffer || capacity == 0) return result;
    if (capacity > kMaxDatagram) capacity = kMaxDatagram;
    sockaddr_in from{};
    socklen_t size = sizeof from;
    // MSG_TRUNC makes the kernel report the datagram's real length, so one
    // that did not fit is recognised and dropped instead of read cut.
    const ssize_t n =
        ::recvfrom(handle_, buffer, capacity, MSG_TRUNC, reinterpret_cast<sockaddr*>(&from), &size);
    if (n < 0) {
        last_error_ = err::FromErrno(errno);
        // An ICMP error queued by an earlier send is reported here on Linux;
        // it concerns that datagram, not this socket.
        if (last_error_ == err::kWouldBlock || last_error_ == err::kInterrupted) return result;
        if (last_error_ == err::kConnRefused || last_error_ == err::kHostUnreachable ||
            last_error_ == err::kNetUnreachable) {
            result.kind = ReadKind::kSkipped;
            return result;
        }
        Close();
        result.kind = ReadKind::kClosed;
        return result;
    }
    result.address = from.sin_addr.s_addr;
    result.port = ntohs(from.sin_port);
    if (n == 0 || static_cast<size_t>(n) > capacity) {
        if (n > 0) ++dropped_;
        result.kind = ReadKind::kSkipped;
        return result;
    }
    result.kind = ReadKind::kDatagram;
    result.length = static_cast<size_t>(n);
    return result;
}

}  // namespace zl
