// The rendezvous server's logic on a real loopback socket, in a thread of the test.
#pragma once
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <ctime>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "engine/udp/udp_consumers.h"
#include "tools/zlrendezvous/rendezvous_server.h"

namespace zl::test {

class LoopbackRendezvous {
public:
    explicit LoopbackRendezvous(uint32_t address) {
        fd_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_addr.s_addr = address;
        if (fd_ < 0 || ::bind(fd_, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) return;
        socklen_t len = sizeof sa;
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&sa), &len);
        address_ = address;
        port_ = ntohs(sa.sin_port);
        thread_ = std::thread([this] { Loop(); });
    }
    ~LoopbackRendezvous() {
        stop_ = true;
        if (thread_.joinable()) thread_.join();
        if (fd_ >= 0) ::close(fd_);
    }
    bool ok() const { return port_ != 0; }
    uint32_t address() const { return address_; }
    uint16_t port() const { return port_; }
    std::vector<std::string> log() {
        std::lock_guard lock(mutex_);
        return log_;
    }

private:
    void Loop() {
        RendezvousServer server(
            [this](const uint8_t* d, size_t n, uint32_t a, uint16_t p) {
                sockaddr_in to{};
                to.sin_family = AF_INET;
                to.sin_addr.s_addr = a;
                to.sin_port = htons(p);
                ::sendto(fd_, d, n, MSG_NOSIGNAL, reinterpret_cast<sockaddr*>(&to), sizeof to);
            },
            [this](const std::string& line) {
                std::lock_guard lock(mutex_);
                log_.push_back(line);
            });
        uint8_t buffer[kMaxUdpDatagram];
        while (!stop_) {
            pollfd p{fd_, POLLIN, 0};
            if (::poll(&p, 1, 20) <= 0) continue;
            sockaddr_in from{};
            socklen_t len = sizeof from;
            const ssize_t n = ::recvfrom(fd_, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&from), &len);
            if (n <= 0) continue;
            timespec ts{};
            clock_gettime(CLOCK_MONOTONIC, &ts);
            server.OnDatagram(buffer, size_t(n), from.sin_addr.s_addr, ntohs(from.sin_port), uint64_t(ts.tv_sec));
        }
    }

    int fd_ = -1;
    uint32_t address_ = 0;
    uint16_t port_ = 0;
    std::thread thread_;
    std::atomic<bool> stop_{false};
    std::mutex mutex_;
    std::vector<std::string> log_;
};

}  // namespace zl::test
