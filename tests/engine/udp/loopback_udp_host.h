// Real UDP sockets on loopback for the transport: a host owns one socket and
// a thread that reads it, dispatches to the transport and runs the
// transport's timers as the engine's UDP server does (40 ms retransmit, 20 ms
// acknowledgement, 2 s maintenance, registration and keep-alive, batch
// flush); and a relay that stands between two hosts, losing, delaying,
// duplicating and reordering what passes.
#pragma once
#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <random>
#include <thread>
#include <vector>

#include "engine/udp/udp_consumers.h"
#include "engine/udp/udp_stream_transport.h"

namespace zl::test {

class LoopbackUdpHost final : public IUdpSender {
public:
    // Binds address:port (port 0: a free one). ok() tells whether it worked.
    LoopbackUdpHost(uint32_t address, uint16_t port);
    ~LoopbackUdpHost() override;
    LoopbackUdpHost(const LoopbackUdpHost&) = delete;
    LoopbackUdpHost& operator=(const LoopbackUdpHost&) = delete;

    bool ok() const { return fd_ >= 0; }
    uint32_t address() const { return address_; }
    uint16_t port() const { return port_; }

    bool Send(const uint8_t* data, size_t length, uint32_t address, uint16_t port) override;

    // Starts the loop for this transport; Stop (or the destructor) joins it.
    void Start(UdpStreamTransport* transport, uint32_t keepalive_seconds = 52);
    void Stop();
    // Loses this share of the datagrams that arrive (a drop hook, for tests).
    void SetIncomingLoss(double share, uint64_t seed = 1);

    uint64_t received() const { return received_.load(); }

private:
    void Loop();

    int fd_ = -1;
    uint32_t address_;
    uint16_t port_ = 0;
    UdpStreamTransport* transport_ = nullptr;
    uint64_t keepalive_ms_ = 52000;
    std::thread thread_;
    std::atomic<bool> stop_{false};
    std::atomic<uint64_t> received_{0};
    std::atomic<uint32_t> loss_permille_{0};
    std::mt19937_64 random_{1};
};

// Forwards between two endpoints: what `a` sends to the relay's side_b port
// goes to `b` from the side_a port, and the other way round, so that each end
// sees the other at the relay.
class UdpRelay {
public:
    struct Conditions {
        double loss = 0;
        double duplicate = 0;
        double reorder = 0;     // held back by reorder_ms more
        uint32_t delay_ms = 0;  // each way
        uint32_t reorder_ms = 3;
    };
    UdpRelay(uint32_t address, Conditions conditions, uint64_t seed = 1);
    ~UdpRelay();
    bool ok() const { return fd_a_ >= 0 && fd_b_ >= 0; }
    // The port `a` sends to (it stands for b) and the one `b` sends to (it stands for a).
    uint16_t port_for_a() const { return port_a_; }
    uint16_t port_for_b() const { return port_b_; }
    void Connect(uint32_t a_address, uint16_t a_port, uint32_t b_address, uint16_t b_port);
    uint64_t forwarded() const { return forwarded_.load(); }

private:
    struct Held {
        uint64_t due_ns;
        bool to_b;
        std::vector<uint8_t> bytes;
    };
    void Loop();
    void Forward(bool to_b, const uint8_t* data, size_t length);

    int fd_a_ = -1, fd_b_ = -1;
    uint16_t port_a_ = 0, port_b_ = 0;
    uint32_t a_address_ = 0, b_address_ = 0;
    uint16_t a_port_ = 0, b_port_ = 0;
    Conditions conditions_;
    std::mt19937_64 random_;
    std::vector<Held> held_;
    std::thread thread_;
    std::atomic<bool> stop_{false};
    std::atomic<uint64_t> forwarded_{0};
};

}  // namespace zl::test
