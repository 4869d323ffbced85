// A small datagram network on the test clock: hosts with an address and port,
// each running what the engine's UDP server runs for the transport (dispatch
// and the 40 ms / 20 ms / 2 s ticks, registration and keep-alive), and links
// that lose, delay, reorder and duplicate datagrams from a seeded generator.
// Single-threaded: the test drives time with Run / RunUntil.
#pragma once
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <random>
#include <set>
#include <vector>

#include "engine/base/fake_clock.h"
#include "engine/udp/udp_consumers.h"
#include "engine/udp/udp_stream_transport.h"

namespace zl::test {

struct SimDatagram {
    std::vector<uint8_t> bytes;
    uint32_t from_address = 0;
    uint16_t from_port = 0;
    uint32_t to_address = 0;
    uint16_t to_port = 0;
    uint64_t due_ms = 0;
    uint64_t order = 0;
};

struct SimConditions {
    double loss = 0;           // chance a datagram is lost
    double duplicate = 0;      // chance it arrives twice
    double reorder = 0;        // chance it is held back by reorder_extra_ms
    uint32_t delay_ms = 1;
    uint32_t reorder_extra_ms = 3;
};

class SimUdpNet;

class SimHost final : public IUdpSender {
public:
    SimHost(SimUdpNet& net, uint32_t address, uint16_t port) : net_(net), address_(address), port_(port) {}

    bool Send(const uint8_t* data, size_t length, uint32_t address, uint16_t port) override;

    // The transport this host's UDP server feeds and ticks.
    void Serve(UdpStreamTransport* transport, uint32_t keepalive_seconds = 52);
    // Instead of a transport: every datagram goes to this function.
    std::function<void(const uint8_t*, size_t, uint32_t, uint16_t)> raw_receiver;
    // Datagrams this host sent, when capture is on (for crafted-packet tests).
    bool capture = false;
    std::vector<SimDatagram> captured;

    // Where this host's datagrams appear to come from (a NAT's mapping); the
    // host also receives datagrams sent there.
    void SetPublicEndpoint(uint32_t address, uint16_t port);
    uint32_t address() const { return address_; }
    uint16_t port() const { return port_; }
    uint32_t public_address() const { return public_address_ ? public_address_ : address_; }
    uint16_t public_port() const { return public_port_ ? public_port_ : port_; }
    bool timers_enabled = true;
    // Behind a NAT that drops unsolicited inbound datagrams: only endpoints
    // this host has sent to get through.
    bool nat_filtering = false;
    uint64_t filtered = 0;

private:
    friend class SimUdpNet;
    void Deliver(const SimDatagram& d);
    void RunTimers(uint64_t now_ms);

    SimUdpNet& net_;
    uint32_t address_;
    uint16_t port_;
    uint32_t public_address_ = 0;
    uint16_t public_port_ = 0;
    UdpStreamTransport* transport_ = nullptr;
    uint64_t keepalive_ms_ = 52000;
    uint64_t last_retransmit_ = 0, last_ack_ = 0, last_maintenance_ = 0, last_keepalive_ = 0;
    uint64_t last_register_ = 0;
    bool registered_once_ = false;
    std::set<std::pair<uint32_t, uint16_t>> contacted_;
};

class SimUdpNet {
public:
    explicit SimUdpNet(FakeClock& clock, uint64_t seed = 1) : clock_(clock), random_(seed) {}

    SimHost& AddHost(uint32_t address, uint16_t port);
    void SetConditions(const SimConditions& c) { conditions_ = c; }
    // Returns true for a datagram the network should lose (besides the random loss).
    std::function<bool(const SimDatagram&)> drop_filter;

    // Runs simulated milliseconds one at a time: time moves, due datagrams are
    // delivered, each host's timers run, then `each_ms` (if any) runs.
    void Run(uint64_t ms, const std::function<void()>& each_ms = {});
    // Runs until `done` holds (checked every millisecond) or `max_ms` pass.
    bool RunUntil(const std::function<bool()>& done, uint64_t max_ms, const std::function<void()>& each_ms = {});
    // Delivers what is due now without moving time.
    void DeliverDue();

    FakeClock& clock() { return clock_; }
    uint64_t sent() const { return sent_; }
    uint64_t lost() const { return lost_; }
    uint64_t duplicated() const { return duplicated_; }
    uint64_t reordered() const { return reordered_; }

private:
    friend class SimHost;
    void Enqueue(SimHost& from, const uint8_t* data, size_t length, uint32_t address, uint16_t port);

    FakeClock& clock_;
    std::mt19937_64 random_;
    SimConditions conditions_;
    std::vector<std::unique_ptr<SimHost>> hosts_;
    std::deque<SimDatagram> in_flight_;
    uint64_t order_ = 0;
    uint64_t sent_ = 0, lost_ = 0, duplicated_ = 0, reordered_ = 0;
};

}  // namespace zl::test
