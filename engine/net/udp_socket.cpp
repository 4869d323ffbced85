#include "engine/net/udp_socket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/udp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "engine/base/errnum.h"

#ifndef UDP_GRO
#define UDP_GRO 104
#endif

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
    coalescing_ = options.coalesce_reads && ::setsockopt(fd, SOL_UDP, UDP_GRO, &on, sizeof on) == 0;
    handle_ = fd;
    segmentation_ = true;
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

namespace {

sockaddr_in ToAddress(uint32_t address, uint16_t port) {
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    to.sin_addr.s_addr = address;
    return to;
}

}  // namespace

bool UdpSocket::SendTo(const uint8_t* data, size_t length, uint32_t address, uint16_t port) {
    if (!data || length == 0 || length > kMaxDatagram || address == 0 || port == 0) return false;
    if (address == 0xFFFFFFFFu && !broadcast_) return false;
    if (handle_ < 0) return false;
    const sockaddr_in to = ToAddress(address, port);
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

namespace zl {

namespace {

constexpr size_t kMaxSegmentRun = 64;        // the kernel's limit of segments per send
constexpr size_t kMaxSegmentedBytes = 60000;  // under the 64 KiB of one IP datagram
// Larger datagrams are left to the plain path: a segment must fit the path's
// MTU, where the plain path may fragment.
constexpr size_t kMaxSegment = 1400;

#ifndef UDP_SEGMENT
#define UDP_SEGMENT 103
#endif

}  // namespace

bool UdpSocket::Refuses(const Outgoing& o) const {
    return !o.data || o.length == 0 || o.length > kMaxDatagram || o.address == 0 || o.port == 0 ||
           (o.address == 0xFFFFFFFFu && !broadcast_);
}

// Datagrams of one size (the last may be shorter) to one destination: the
// kernel carries them through its stack as one and cuts them apart at the
// end, so they leave as the same datagrams at far less cost.
size_t UdpSocket::SegmentRun(const Outgoing* items, size_t count) const {
    if (!segmentation_ || count < 2 || Refuses(items[0]) || items[0].length > kMaxSegment) return 0;
    const Outgoing& first = items[0];
    size_t run = 1;
    size_t bytes = first.length;
    while (run < count && run < kMaxSegmentRun) {
        const Outgoing& o = items[run];
        if (Refuses(o) || o.address != first.address || o.port != first.port || o.length > first.length ||
            bytes + o.length > kMaxSegmentedBytes)
            break;
        bytes += o.length;
        ++run;
        if (o.length < first.length) break;  // a shorter one ends the run
    }
    return run >= 2 ? run : 0;
}

bool UdpSocket::SendSegmented(const Outgoing* items, size_t count) {
    iovec parts[kMaxSegmentRun];
    for (size_t i = 0; i < count; ++i) {
        parts[i].iov_base = const_cast<uint8_t*>(items[i].data);
        parts[i].iov_len = items[i].length;
    }
    sockaddr_in to = ToAddress(items[0].address, items[0].port);
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(uint16_t))] = {};
    msghdr m{};
    m.msg_name = &to;
    m.msg_namelen = sizeof to;
    m.msg_iov = parts;
    m.msg_iovlen = count;
    m.msg_control = control;
    m.msg_controllen = sizeof control;
    cmsghdr* c = CMSG_FIRSTHDR(&m);
    c->cmsg_level = SOL_UDP;
    c->cmsg_type = UDP_SEGMENT;
    c->cmsg_len = CMSG_LEN(sizeof(uint16_t));
    const uint16_t segment = uint16_t(items[0].length);
    std::memcpy(CMSG_DATA(c), &segment, sizeof segment);
    size_t total = 0;
    for (size_t i = 0; i < count; ++i) total += items[i].length;
    const ssize_t n = ::sendmsg(handle_, &m, MSG_NOSIGNAL);
    if (n == static_cast<ssize_t>(total)) return true;
    // A kernel or route that cannot cut datagrams apart: the plain path from now on.
    if (n < 0 && (errno == EIO || errno == EINVAL || errno == ENOPROTOOPT || errno == EOPNOTSUPP))
        segmentation_ = false;
    return false;  // the plain path sends them, with its own error rules
}

size_t UdpSocket::SendMany(const Outgoing* items, size_t count) {
    static constexpr size_t kChunk = 32;
    size_t sent = 0;
    size_t i = 0;
    while (i < count && handle_ >= 0) {
        const size_t run = SegmentRun(items + i, count - i);
        if (run > 0 && SendSegmented(items + i, run)) {
            sent += run;
            i += run;
            continue;
        }
        // A run of datagrams SendTo would not refuse goes in one call.
        const size_t limit = run > 0 ? std::min(run, kChunk) : kChunk;
        mmsghdr headers[kChunk];
        iovec parts[kChunk];
        sockaddr_in to[kChunk];
        size_t n = 0;
        while (n < limit && i + n < count) {
            const Outgoing& o = items[i + n];
            if (Refuses(o)) break;
            to[n] = ToAddress(o.address, o.port);
            parts[n].iov_base = const_cast<uint8_t*>(o.data);
            parts[n].iov_len = o.length;
            std::memset(&headers[n], 0, sizeof headers[n]);
            headers[n].msg_hdr.msg_name = &to[n];
            headers[n].msg_hdr.msg_namelen = sizeof to[n];
            headers[n].msg_hdr.msg_iov = &parts[n];
            headers[n].msg_hdr.msg_iovlen = 1;
            ++n;
        }
        if (n == 0) {
            ++i;  // refused, as SendTo refuses it
            continue;
        }
        const int done = n == 1 ? -1 : ::sendmmsg(handle_, headers, unsigned(n), MSG_NOSIGNAL);
        size_t went = done > 0 ? size_t(done) : 0;
        for (size_t k = 0; k < went; ++k)
            if (headers[k].msg_len != items[i + k].length) {
                went = k;
                break;
            }
        sent += went;
        i += went;
        if (went < n) {
            // The first datagram the call did not take goes through SendTo's
            // error rules (one retry on a full buffer, the socket closed on a
            // hard error).
            const Outgoing& o = items[i];
            if (SendTo(o.data, o.length, o.address, o.port)) ++sent;
            ++i;
        }
    }
    return sent;
}

size_t UdpSocket::ReceiveMany(uint8_t* const* buffers, size_t capacity, ReadResult* results, size_t count) {
    static constexpr size_t kChunk = 64;
    if (count == 0) return 0;
    if (handle_ < 0) {
        results[0] = ReadResult{};
        results[0].kind = ReadKind::kClosed;
        return 1;
    }
    if (!buffers || capacity == 0) return 0;
    capacity = std::min(capacity, coalescing_ ? kMaxCoalescedRead : kMaxDatagram);
    if (count > kChunk) count = kChunk;
    mmsghdr headers[kChunk];
    iovec parts[kChunk];
    sockaddr_in from[kChunk];
    // Room for the segment size the kernel reports with a coalesced read.
    struct alignas(cmsghdr) Control {
        char bytes[CMSG_SPACE(sizeof(int))];
    };
    Control control[kChunk];
    for (size_t i = 0; i < count; ++i) {
        parts[i].iov_base = buffers[i];
        parts[i].iov_len = capacity;
        std::memset(&headers[i], 0, sizeof headers[i]);
        headers[i].msg_hdr.msg_name = &from[i];
        headers[i].msg_hdr.msg_namelen = sizeof from[i];
        headers[i].msg_hdr.msg_iov = &parts[i];
        headers[i].msg_hdr.msg_iovlen = 1;
        if (coalescing_) {
            headers[i].msg_hdr.msg_control = control[i].bytes;
            headers[i].msg_hdr.msg_controllen = sizeof control[i].bytes;
        }
    }
    // MSG_TRUNC reports each datagram's real length, as in Receive.
    const int n = ::recvmmsg(handle_, headers, unsigned(count), MSG_TRUNC | MSG_DONTWAIT, nullptr);
    if (n < 0) {
        last_error_ = err::FromErrno(errno);
        if (last_error_ == err::kWouldBlock || last_error_ == err::kInterrupted) return 0;
        results[0] = ReadResult{};
        if (last_error_ == err::kConnRefused || last_error_ == err::kHostUnreachable ||
            last_error_ == err::kNetUnreachable) {
            results[0].kind = ReadKind::kSkipped;
            return 1;
        }
        Close();
        results[0].kind = ReadKind::kClosed;
        return 1;
    }
    for (int i = 0; i < n; ++i) {
        ReadResult& r = results[i];
        r = ReadResult{};
        r.address = from[i].sin_addr.s_addr;
        r.port = ntohs(from[i].sin_port);
        const msghdr& m = headers[i].msg_hdr;
        size_t segment = 0;
        if (coalescing_) {
            for (const cmsghdr* c = CMSG_FIRSTHDR(&m); c; c = CMSG_NXTHDR(const_cast<msghdr*>(&m), const_cast<cmsghdr*>(c))) {
                if (c->cmsg_level != SOL_UDP || c->cmsg_type != UDP_GRO || c->cmsg_len < CMSG_LEN(sizeof(int))) continue;
                int size = 0;
                std::memcpy(&size, CMSG_DATA(c), sizeof size);
                segment = size > 0 ? size_t(size) : 0;
            }
        }
        const size_t length = headers[i].msg_len;
        // A single datagram may not exceed kMaxDatagram, nor may a coalesced
        // run's datagrams; a run that did not fit the buffer is dropped whole.
        const bool fits = segment != 0 ? segment <= kMaxDatagram : length <= kMaxDatagram;
        if (length == 0 || length > capacity || !fits || (m.msg_flags & MSG_TRUNC)) {
            if (length > 0) ++dropped_;
            r.kind = ReadKind::kSkipped;
            continue;
        }
        r.kind = ReadKind::kDatagram;
        r.length = length;
        // A run of one is an ordinary datagram.
        r.segment = segment != 0 && segment < length ? segment : 0;
    }
    return size_t(n);
}

}  // namespace zl
