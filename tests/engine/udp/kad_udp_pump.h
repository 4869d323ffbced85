// A minimal stand-in for the engine's UDP server in DHT tests on real
// sockets: one socket bound to a loopback address and port 0, one thread that
// reads it and hands KRPC datagrams to the DHT while holding its "server
// lock", and a Send that takes the same lock, as the real server does.
#pragma once
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>

#include "engine/udp/udp_consumers.h"

namespace zl::test {

class KadUdpPump final : public IUdpSender {
public:
    KadUdpPump(const char* bind_address, IUdpDhtConsumer* consumer) : consumer_(consumer) {
        fd_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = inet_addr(bind_address);
        if (fd_ < 0 || ::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0)
            throw std::runtime_error("cannot bind a UDP socket");
        const int size = 1 << 20;
        ::setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
        socklen_t len = sizeof a;
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len);
        address_ = a.sin_addr.s_addr;
        port_ = ntohs(a.sin_port);
        thread_ = std::thread([this] { Loop(); });
    }
    ~KadUdpPump() override {
        stop_ = true;
        thread_.join();
        ::close(fd_);
    }
    bool Send(const uint8_t* data, size_t length, uint32_t address, uint16_t port) override {
        if (!data || length == 0 || length > kMaxUdpDatagram || address == 0 || port == 0) return false;
        std::lock_guard server_lock(lock_);
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_addr.s_addr = address;
        to.sin_port = htons(port);
        return ::sendto(fd_, data, length, MSG_NOSIGNAL, reinterpret_cast<sockaddr*>(&to), sizeof to) ==
               ssize_t(length);
    }
    uint32_t Address() const { return address_; }
    uint16_t Port() const { return port_; }
    uint64_t Datagrams() const { return datagrams_.load(); }

private:
    void Loop() {
        uint8_t buffer[kMaxUdpDatagram + 1];
        while (!stop_) {
            pollfd p{fd_, POLLIN, 0};
            if (::poll(&p, 1, 20) <= 0) continue;
            std::lock_guard server_lock(lock_);
            for (int burst = 0; burst < 64; ++burst) {
                sockaddr_in from{};
                socklen_t len = sizeof from;
                const ssize_t n = ::recvfrom(fd_, buffer, kMaxUdpDatagram, 0, reinterpret_cast<sockaddr*>(&from), &len);
                if (n <= 0) break;
                ++datagrams_;
                buffer[n] = 0;
                if (n > 8 && buffer[0] == 'd')
                    consumer_->OnDhtDatagram(buffer, size_t(n), from.sin_addr.s_addr, ntohs(from.sin_port));
            }
        }
    }

    IUdpDhtConsumer* consumer_;
    int fd_ = -1;
    uint32_t address_ = 0;
    uint16_t port_ = 0;
    std::mutex lock_;
    std::atomic<bool> stop_{false};
    std::atomic<uint64_t> datagrams_{0};
    std::thread thread_;
};

// A plain client socket on loopback for scripted queries.
class UdpClient {
public:
    explicit UdpClient(const char* bind_address) {
        fd_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = inet_addr(bind_address);
        if (fd_ < 0 || ::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0)
            throw std::runtime_error("cannot bind a UDP socket");
    }
    ~UdpClient() { ::close(fd_); }
    void SendTo(const std::string& bytes, uint32_t address, uint16_t port) {
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_addr.s_addr = address;
        to.sin_port = htons(port);
        ::sendto(fd_, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
    }
    // One datagram, or empty after `ms`.
    std::string Receive(int ms) {
        pollfd p{fd_, POLLIN, 0};
        if (::poll(&p, 1, ms) <= 0) return {};
        char buffer[kMaxUdpDatagram];
        const ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
        return n > 0 ? std::string(buffer, size_t(n)) : std::string();
    }

private:
    int fd_ = -1;
};

}  // namespace zl::test
