#include "engine/core/listener/lan_discovery.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace zl {
namespace {

// The engine's group in the 233.0.0.0/8 range.
constexpr uint32_t kDefaultGroupHost = (233u << 24) | (76u << 16) | (90u << 8) | 76u;

bool IsMulticast(uint32_t address) { return (ntohl(address) >> 28) == 0xE; }

}  // namespace

LanDiscovery::LanDiscovery() : group_(htonl(kDefaultGroupHost)) {}

LanDiscovery::~LanDiscovery() { Close(); }

void LanDiscovery::SetGroup(uint32_t group, uint16_t port) {
    if (group != group_ || port != port_) Close();
    group_ = group;
    port_ = port;
}

bool LanDiscovery::Open(uint32_t interface_address) {
    Close();
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    const int one = 1, zero = 0;
    // Every engine on the machine binds the same port and hears every datagram.
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = htonl(INADDR_ANY);
    local.sin_port = htons(port_);
    bool ok = ::bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) == 0;
    if (ok && IsMulticast(group_)) {
        ip_mreq join{};
        join.imr_multiaddr.s_addr = group_;
        join.imr_interface.s_addr = interface_address;
        in_addr out{};
        out.s_addr = interface_address;
        // One hop: the datagrams stay on the local network. Only the groups
        // this socket joined reach it, and its own come back (ignored), so
        // two engines on one machine hear each other.
        const int ttl = 1;
        ok = ::setsockopt(fd, IPPROTO_IP, IP_ADD_MEMBERSHIP, &join, sizeof join) == 0 &&
             ::setsockopt(fd, IPPROTO_IP, IP_MULTICAST_IF, &out, sizeof out) == 0 &&
             ::setsockopt(fd, IPPROTO_IP, IP_MULTICAST_TTL, &ttl, sizeof ttl) == 0 &&
             ::setsockopt(fd, IPPROTO_IP, IP_MULTICAST_LOOP, &one, sizeof one) == 0;
        ::setsockopt(fd, IPPROTO_IP, IP_MULTICAST_ALL, &zero, sizeof zero);
    }
    if (!ok) {
        ::close(fd);
        return false;
    }
    fd_ = fd;
    return true;
}

void LanDiscovery::Close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    announced_.clear();
}

void LanDiscovery::Forget(const void* task) {
    announced_.erase(std::remove(announced_.begin(), announced_.end(), task), announced_.end());
    // Other tasks' datagrams stay; a new run of this task may look at them again.
    for (Stored& s : stored_) s.looked.erase(std::remove(s.looked.begin(), s.looked.end(), task), s.looked.end());
}

LanDatagram LanDiscovery::Own(const LanTaskFacts& facts, bool reply) const {
    LanDatagram d;
    d.address = facts.published_address;
    d.port = static_cast<uint16_t>(facts.published_port);
    d.reply = reply;
    d.info_hash = facts.info_hash;
    d.peer_id = facts.peer_id;
    return d;
}

bool LanDiscovery::Send(const LanDatagram& d) {
    if (fd_ < 0) return false;
    const auto bytes = EncodeLanDatagram(d);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = group_;
    to.sin_port = htons(port_);
    const ssize_t n = ::sendto(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL, reinterpret_cast<sockaddr*>(&to), sizeof to);
    if (n == static_cast<ssize_t>(bytes.size())) return true;
    // A full buffer loses one datagram; the next exchange announces again anyway.
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == ENOBUFS)) return true;
    Close();
    return false;
}

LanDiscovery::Verdict LanDiscovery::Judge(const LanDatagram& d, uint32_t from, const LanTaskFacts& facts) {
    if (from == 0 || from == 0xFFFFFFFFu || d.port == 0) return Verdict::kIgnore;
    // Our own datagram, back through the loop.
    if (d.peer_id == facts.peer_id) return Verdict::kIgnore;
    if (from == facts.published_address && d.port == facts.published_port) return Verdict::kIgnore;
    // The payload must name the host it came from.
    if (d.address != from) return Verdict::kIgnore;
    return d.info_hash == facts.info_hash ? Verdict::kMine : Verdict::kOtherTask;
}

void LanDiscovery::Store(const LanDatagram& d, uint32_t from, const LanTaskFacts& facts) {
    for (const Stored& s : stored_)
        if (s.datagram.peer_id == d.peer_id) return;
    if (stored_.size() >= kMaxStored) stored_.erase(stored_.begin());  // the oldest
    Stored s;
    s.datagram = d;
    s.from = from;
    s.arrived_s = facts.now_s;
    s.looked.push_back(facts.task);
    stored_.push_back(std::move(s));
}

void LanDiscovery::Expire(uint64_t now_s) {
    stored_.erase(std::remove_if(stored_.begin(), stored_.end(),
                                 [&](const Stored& s) { return now_s > s.arrived_s + kKeepSeconds; }),
                  stored_.end());
}

std::vector<LanPeer> LanDiscovery::TakeStored(const LanTaskFacts& facts) {
    // Stored datagrams age out at every exchange, whoever runs it: with one
    // task nobody else would ever look at them.
    Expire(facts.now_s);
    std::vector<LanPeer> found;
    for (size_t i = 0; i < stored_.size();) {
        Stored& s = stored_[i];
        if (std::find(s.looked.begin(), s.looked.end(), facts.task) != s.looked.end()) {
            ++i;
            continue;
        }
        if (s.datagram.info_hash == facts.info_hash) {
            found.push_back(LanPeer{s.from, s.datagram.port, s.datagram.peer_id, !s.datagram.reply});
            stored_.erase(stored_.begin() + static_cast<std::ptrdiff_t>(i));
            continue;
        }
        s.looked.push_back(facts.task);
        if (s.looked.size() >= facts.registered_tasks) {
            stored_.erase(stored_.begin() + static_cast<std::ptrdiff_t>(i));
            continue;
        }
        ++i;
    }
    return found;
}

std::vector<LanPeer> LanDiscovery::Exchange(const LanTaskFacts& facts) {
    std::vector<LanPeer> found;
    if (fd_ < 0 || facts.published_address == 0 || facts.published_port <= 0) return found;
    if (std::find(announced_.begin(), announced_.end(), facts.task) == announced_.end()) {
        for (int i = 0; i < kAnnouncements; ++i)
            if (!Send(Own(facts, false))) return found;
        announced_.push_back(facts.task);
    }
    uint8_t buffer[kLanDatagramSize + 1];
    for (int reads = 0; reads < kReadsPerExchange && fd_ >= 0; ++reads) {
        sockaddr_in from{};
        socklen_t from_length = sizeof from;
        const ssize_t n = ::recvfrom(fd_, buffer, sizeof buffer, MSG_TRUNC, reinterpret_cast<sockaddr*>(&from),
                                     &from_length);
        if (n < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK) break;
            if (errno == EINTR) continue;
            Close();
            return found;
        }
        LanDatagram d;
        // Anything but one whole datagram (shorter, longer, another protocol) is skipped.
        if (!DecodeLanDatagram(buffer, static_cast<size_t>(n), &d)) continue;
        switch (Judge(d, from.sin_addr.s_addr, facts)) {
            case Verdict::kIgnore:
                break;
            case Verdict::kOtherTask:
                Store(d, from.sin_addr.s_addr, facts);
                break;
            case Verdict::kMine:
                found.push_back(LanPeer{from.sin_addr.s_addr, d.port, d.peer_id, !d.reply});
                if (!d.reply && !Send(Own(facts, true))) return found;
                break;
        }
    }
    // Announcements another task's exchange kept for this one are answered too.
    for (const LanPeer& p : TakeStored(facts)) {
        found.push_back(p);
        if (p.announcement && !Send(Own(facts, true))) return found;
    }
    return found;
}

}  // namespace zl
