// Real sockets on loopback for the DHT tests.
#pragma once
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "engine/base/clock.h"
#include "engine/net/resolver.h"
#include "engine/udp/kademlia.h"
#include "engine/udp/udp_consumers.h"
#include "engine/udp/udp_server.h"

namespace zl::test {

// A DHT node's endpoint on a real loopback socket: the engine's UDP server
// bound to the given address and any free port, with the node as its DHT
// consumer and sending through it.
class KadServerEndpoint {
public:
    KadServerEndpoint(const char* bind_address, CKademlia& node) : server_(SystemClock(), std::make_shared<NoNames>()) {
        const uint32_t address = inet_addr(bind_address);
        server_.SetBindAddress(address);
        server_.SetDhtConsumer(&node);
        server_.SetDhtRunningProbe([&node] { return node.Active(); });
        UdpServerConfig config;
        config.SetRendezvousHost(bind_address);  // nothing answers there
        config.rendezvous_port = 82;
        config.keep_alive_interval = 52;
        config.connect_timeout = 30;
        config.local_port = 0;
        config.local_address = address;
        config.node_id = {1, 2, 3, 4, 5, 6, 7, 8};
        if (server_.StartServer(config) != 0) throw std::runtime_error("the UDP server did not start");
        for (int i = 0; i < 4000 && server_.BoundPort() == 0; ++i) ::usleep(500);
        if (server_.BoundPort() == 0) throw std::runtime_error("the UDP server did not bind");
        node.SetSender(&server_);
    }
    ~KadServerEndpoint() { server_.StopServer(); }
    uint32_t Address() { return server_.LocalAddress(); }
    uint16_t Port() { return server_.BoundPort(); }
    UdpServer& Server() { return server_; }

private:
    class NoNames final : public IResolverBackend {
    public:
        int32_t Lookup(const std::string&, std::vector<uint32_t>*) override { return -1; }
    };
    UdpServer server_;
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
