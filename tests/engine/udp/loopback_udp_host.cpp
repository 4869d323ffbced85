#include "tests/engine/udp/loopback_udp_host.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>

namespace zl::test {
namespace {

uint64_t MonotonicMs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return uint64_t(ts.tv_sec) * 1000 + uint64_t(ts.tv_nsec) / 1000000;
}

uint64_t MonotonicNs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return uint64_t(ts.tv_sec) * 1000000000ull + uint64_t(ts.tv_nsec);
}

int BindUdp(uint32_t address, uint16_t port, uint16_t* bound) {
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    const int size = 131072;
    ::setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
    ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = address;
    sa.sin_port = htons(port);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
        ::close(fd);
        return -1;
    }
    socklen_t len = sizeof sa;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len);
    *bound = ntohs(sa.sin_port);
    return fd;
}

bool SendTo(int fd, const uint8_t* data, size_t length, uint32_t address, uint16_t port) {
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = address;
    to.sin_port = htons(port);
    for (int attempt = 0; attempt < 2; ++attempt) {
        const ssize_t n = ::sendto(fd, data, length, MSG_NOSIGNAL, reinterpret_cast<sockaddr*>(&to), sizeof to);
        if (n == ssize_t(length)) return true;
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) return false;
    }
    return false;
}

}  // namespace

LoopbackUdpHost::LoopbackUdpHost(uint32_t address, uint16_t port) : address_(address) {
    fd_ = BindUdp(address, port, &port_);
}

LoopbackUdpHost::~LoopbackUdpHost() {
    Stop();
    if (fd_ >= 0) ::close(fd_);
}

bool LoopbackUdpHost::Send(const uint8_t* data, size_t length, uint32_t address, uint16_t port) {
    if (!data || length == 0 || length > kMaxUdpDatagram || address == 0 || port == 0 || fd_ < 0) return false;
    return SendTo(fd_, data, length, address, port);
}

void LoopbackUdpHost::SetIncomingLoss(double share, uint64_t seed) {
    random_.seed(seed);
    loss_permille_ = uint32_t(share * 1000.0);
}

void LoopbackUdpHost::Start(UdpStreamTransport* transport, uint32_t keepalive_seconds) {
    Stop();
    transport_ = transport;
    keepalive_ms_ = uint64_t(std::max<uint32_t>(keepalive_seconds, 10)) * 1000;
    stop_ = false;
    thread_ = std::thread([this] { Loop(); });
}

void LoopbackUdpHost::Stop() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
}

void LoopbackUdpHost::Loop() {
    uint8_t buffer[kMaxUdpDatagram + 1];
    const uint64_t start = MonotonicMs();
    uint64_t last_retransmit = start, last_ack = start, last_maintenance = start, last_keepalive = start;
    uint64_t last_register = 0;
    bool registered = false;
    while (!stop_) {
        // Wait for a datagram, but never past the next acknowledgement tick.
        const uint64_t now0 = MonotonicMs();
        const uint64_t next_tick = std::min(last_ack + 20, last_retransmit + 40);
        const int wait = int(std::clamp<int64_t>(int64_t(next_tick) - int64_t(now0), 0,
                                                 transport_->HoldsWakes() ? 1 : 10));
        pollfd p{fd_, POLLIN, 0};
        if (::poll(&p, 1, wait) <= 0) {
            if (transport_->HoldsWakes()) transport_->ReleaseHeldWakes();
        } else {
            for (int burst = 0; burst < 64; ++burst) {
                sockaddr_in from{};
                socklen_t len = sizeof from;
                const ssize_t n = ::recvfrom(fd_, buffer, sizeof buffer, MSG_DONTWAIT | MSG_TRUNC,
                                             reinterpret_cast<sockaddr*>(&from), &len);
                if (n < 0) break;
                if (n == 0 || size_t(n) > kMaxUdpDatagram) continue;
                ++received_;
                const uint32_t loss = loss_permille_.load();
                if (loss > 0 && random_() % 1000 < loss) continue;
                buffer[n] = 0;
                transport_->OnStreamDatagram(buffer, size_t(n), from.sin_addr.s_addr, ntohs(from.sin_port));
            }
        }
        const uint64_t now = MonotonicMs();
        if (now - last_retransmit >= 40) {
            transport_->RetransmitTick();
            last_retransmit = last_ack = now;
        } else if (now - last_ack >= 20) {
            transport_->AcknowledgeTick();
            last_ack = now;
        }
        if (now - last_maintenance > 2000) {
            transport_->MaintenanceTick();
            last_maintenance = now;
        }
        if (!registered || now - last_register >= 300000) {
            transport_->Register();
            registered = true;
            last_register = last_keepalive = now;
        }
        if (now - last_keepalive >= keepalive_ms_) {
            transport_->KeepAlive();
            last_keepalive = now;
            if (!transport_->ServerAnswered()) registered = false;
        }
        if (transport_->HasPendingConnectBatch()) transport_->FlushConnectBatch();
    }
}

UdpRelay::UdpRelay(uint32_t address, Conditions conditions, uint64_t seed) : conditions_(conditions), random_(seed) {
    fd_a_ = BindUdp(address, 0, &port_a_);
    fd_b_ = BindUdp(address, 0, &port_b_);
}

UdpRelay::~UdpRelay() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    if (fd_a_ >= 0) ::close(fd_a_);
    if (fd_b_ >= 0) ::close(fd_b_);
}

void UdpRelay::Connect(uint32_t a_address, uint16_t a_port, uint32_t b_address, uint16_t b_port) {
    a_address_ = a_address;
    a_port_ = a_port;
    b_address_ = b_address;
    b_port_ = b_port;
    thread_ = std::thread([this] { Loop(); });
}

void UdpRelay::Forward(bool to_b, const uint8_t* data, size_t length) {
    std::uniform_real_distribution<double> chance(0.0, 1.0);
    if (conditions_.loss > 0 && chance(random_) < conditions_.loss) return;
    uint64_t due = MonotonicNs() + uint64_t(conditions_.delay_ms) * 1000000ull;
    if (conditions_.reorder > 0 && chance(random_) < conditions_.reorder) due += uint64_t(conditions_.reorder_ms) * 1000000ull;
    const int copies = conditions_.duplicate > 0 && chance(random_) < conditions_.duplicate ? 2 : 1;
    for (int i = 0; i < copies; ++i) {
        if (due <= MonotonicNs() && i == 0) {
            if (to_b)
                SendTo(fd_b_, data, length, b_address_, b_port_);
            else
                SendTo(fd_a_, data, length, a_address_, a_port_);
            forwarded_++;
            continue;
        }
        held_.push_back(Held{due + uint64_t(i) * 100000, to_b, std::vector<uint8_t>(data, data + length)});
    }
}

void UdpRelay::Loop() {
    uint8_t buffer[kMaxUdpDatagram + 1];
    while (!stop_) {
        uint64_t now = MonotonicNs();
        int wait_ms = 5;
        for (const Held& h : held_) wait_ms = std::min<int>(wait_ms, int((h.due_ns > now ? h.due_ns - now : 0) / 1000000));
        pollfd p[2] = {{fd_a_, POLLIN, 0}, {fd_b_, POLLIN, 0}};
        ::poll(p, 2, wait_ms);
        for (int side = 0; side < 2; ++side) {
            const int fd = side == 0 ? fd_a_ : fd_b_;
            for (int burst = 0; burst < 64; ++burst) {
                sockaddr_in from{};
                socklen_t len = sizeof from;
                const ssize_t n = ::recvfrom(fd, buffer, sizeof buffer, MSG_DONTWAIT, reinterpret_cast<sockaddr*>(&from), &len);
                if (n <= 0) break;
                Forward(side == 0, buffer, size_t(n));  // from a's side to b, or back
            }
        }
        now = MonotonicNs();
        std::stable_sort(held_.begin(), held_.end(), [](const Held& x, const Held& y) { return x.due_ns < y.due_ns; });
        size_t done = 0;
        for (; done < held_.size() && held_[done].due_ns <= now; ++done) {
            const Held& h = held_[done];
            if (h.to_b)
                SendTo(fd_b_, h.bytes.data(), h.bytes.size(), b_address_, b_port_);
            else
                SendTo(fd_a_, h.bytes.data(), h.bytes.size(), a_address_, a_port_);
            forwarded_++;
        }
        held_.erase(held_.begin(), held_.begin() + ptrdiff_t(done));
    }
}

}  // namespace zl::test
