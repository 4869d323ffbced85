// Two (or more) engines' transports and a rendezvous server on the simulated
// network, with helpers to connect a stream and move bytes through it.
#pragma once
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "engine/base/errnum.h"
#include "engine/base/fake_clock.h"
#include "engine/meta/buffer_pool.h"
#include "engine/udp/udp_stream_transport.h"
#include "tests/engine/udp/sim_udp_net.h"
#include "tools/zlrendezvous/rendezvous_server.h"

namespace zl::test {

inline uint32_t Ip(const char* dotted) {
    in_addr a{};
    inet_pton(AF_INET, dotted, &a);
    return a.s_addr;
}

struct SimEngine {
    SimHost* host = nullptr;
    std::unique_ptr<UdpStreamTransport> transport;
    NodeId id{};
    UdpStreamTransport& t() { return *transport; }
};

class SimWorld {
public:
    static constexpr uint16_t kRendezvousPort = 7000;

    explicit SimWorld(uint64_t seed = 7)
        : clock_(FakeClock::Mode::Manual), net_(clock_, seed), random_(seed * 2654435761u + 1) {
        rendezvous_host_ = &net_.AddHost(Ip("127.0.8.1"), kRendezvousPort);
        server_ = std::make_unique<RendezvousServer>(
            [this](const uint8_t* d, size_t n, uint32_t a, uint16_t p) { rendezvous_host_->Send(d, n, a, p); },
            [this](const std::string& line) { server_log_.push_back(line); });
        rendezvous_host_->raw_receiver = [this](const uint8_t* d, size_t n, uint32_t a, uint16_t p) {
            server_->OnDatagram(d, n, a, p, clock_.TickMs() / 1000);
        };
    }

    SimEngine& AddEngine(const char* address, uint16_t port, uint8_t id_byte, UdpStreamConfig extra = {}) {
        auto e = std::make_unique<SimEngine>();
        e->host = &net_.AddHost(Ip(address), port);
        e->id = NodeId{id_byte, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, id_byte};
        UdpStreamConfig c = std::move(extra);
        c.node_id = e->id;
        c.local_address = Ip(address);
        c.local_port = port;
        c.rendezvous_address = Ip("127.0.8.1");
        c.rendezvous_port = kRendezvousPort;
        c.clock = &clock_;
        c.pool = &pool_;
        c.random = [this] { return uint32_t(random_()); };
        e->transport = std::make_unique<UdpStreamTransport>(*e->host, c);
        e->host->Serve(e->transport.get());
        engines_.push_back(std::move(e));
        return *engines_.back();
    }

    // B listens on its own port; A connects to B by id (or by placeholder).
    // Returns {A's handle, B's accepted handle}, or {-1, -1}.
    std::pair<int, int> Connect(SimEngine& a, SimEngine& b, bool by_placeholder = false, uint64_t max_ms = 10000) {
        int32_t error = 0;
        int listener = ListenOn(b);
        net_.Run(5);  // both register first
        const int h = a.t().Open(&error);
        StreamEndpoint remote;
        remote.address = b.host->address();
        remote.port = b.host->port();
        remote.tag = by_placeholder ? PlaceholderId(remote.address, remote.port) : b.id;
        if (a.t().Connect(h, remote, &error) != -1 || error != err::kWouldBlock) return {-1, -1};
        int accepted = -1;
        const bool done = net_.RunUntil(
            [&] {
                if (accepted < 0) {
                    StreamEndpoint from;
                    int32_t e = 0;
                    accepted = b.t().Accept(listener, &from, &e);
                }
                return accepted > 0 && a.t().Inspect(h).state == UdpStreamState::kEstablished;
            },
            max_ms);
        if (!done) return {-1, -1};
        return {h, accepted};
    }

    int ListenOn(SimEngine& b) {
        auto it = listeners_.find(&b);
        if (it != listeners_.end()) return it->second;
        int32_t error = 0;
        const int h = b.t().Open(&error);
        EXPECT_EQ(b.t().Bind(h, b.host->address(), b.host->port(), &error), 0);
        EXPECT_EQ(b.t().Listen(h, 32, &error), 0);
        listeners_[&b] = h;
        return h;
    }

    FakeClock& clock() { return clock_; }
    SimUdpNet& net() { return net_; }
    BufferPool& pool() { return pool_; }
    RendezvousServer& server() { return *server_; }
    SimHost& rendezvous_host() { return *rendezvous_host_; }
    const std::vector<std::string>& server_log() const { return server_log_; }

private:
    FakeClock clock_;
    SimUdpNet net_;
    std::mt19937 random_;
    BufferPool pool_;
    SimHost* rendezvous_host_ = nullptr;
    std::unique_ptr<RendezvousServer> server_;
    std::vector<std::string> server_log_;
    std::vector<std::unique_ptr<SimEngine>> engines_;
    std::map<SimEngine*, int> listeners_;
};

}  // namespace zl::test
