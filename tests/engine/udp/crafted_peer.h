// One transport on the test clock, and a remote end played by the test: it
// builds packets as another engine would, hands them to the transport as the
// UDP server does, and reads what the transport sent.
#pragma once
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <random>
#include <vector>

#include "engine/base/errnum.h"
#include "engine/base/fake_clock.h"
#include "engine/meta/buffer_pool.h"
#include "engine/udp/rendezvous_messages.h"
#include "engine/udp/udp_stream_packet.h"
#include "engine/udp/udp_stream_transport.h"

namespace zl::test {

inline uint32_t Addr(const char* dotted) {
    in_addr a{};
    inet_pton(AF_INET, dotted, &a);
    return a.s_addr;
}

struct Sent {
    std::vector<uint8_t> bytes;
    uint32_t address = 0;
    uint16_t port = 0;
    WireView view() const { return WireView(bytes.data(), bytes.size()); }
    uint32_t type() const { return view().Be32(udpstream::kTypeAt); }
};

class CapturingSender final : public IUdpSender {
public:
    bool Send(const uint8_t* data, size_t length, uint32_t address, uint16_t port) override {
        sent.push_back(Sent{std::vector<uint8_t>(data, data + length), address, port});
        return true;
    }
    std::vector<Sent> sent;
    std::vector<Sent> Take() { return std::exchange(sent, {}); }
};

inline std::vector<Sent> OfType(const std::vector<Sent>& all, uint32_t type) {
    std::vector<Sent> out;
    for (const Sent& s : all)
        if (s.bytes.size() >= 64 && int32_t(s.view().Be32(0)) >= 1 && s.type() == type) out.push_back(s);
    return out;
}

// A 64-byte (or longer) transport packet with the given words at their offsets.
struct PacketSpec {
    uint32_t type = 0;
    uint32_t connection = 0;
    uint32_t sequence = 0;
    NodeId receiver{};
    std::vector<std::pair<size_t, uint32_t>> words;
    std::vector<std::pair<size_t, EndpointTag>> tags;
    std::vector<uint8_t> payload;  // from offset 64
    std::vector<std::pair<size_t, uint8_t>> bytes;
};

inline std::vector<uint8_t> BuildPacket(const PacketSpec& s) {
    std::vector<uint8_t> p(64 + s.payload.size(), 0);
    for (auto [at, v] : s.words) StoreBe32(&p[at], v);
    for (auto& [at, t] : s.tags) std::memcpy(&p[at], t.data(), 12);
    for (auto [at, b] : s.bytes) p[at] = b;
    if (!s.payload.empty()) std::memcpy(&p[64], s.payload.data(), s.payload.size());
    udpstream::WriteHeader(p.data(), uint32_t(p.size()), s.connection, s.sequence, s.type,
                           TagOfNodeId(s.receiver));
    udpstream::Seal(p.data(), uint32_t(p.size()));
    return p;
}

class CraftedPeerTest : public ::testing::Test {
protected:
    static constexpr uint16_t kLocalPort = 7001;
    static constexpr uint16_t kRemotePort = 7002;
    static constexpr uint16_t kServerPort = 7000;
    static constexpr uint32_t kRemoteStream = 0x1234567;
    static constexpr uint32_t kRemoteNonce = 777;

    CraftedPeerTest() : clock_(FakeClock::Mode::Manual) { Make(UdpStreamConfig{}); }

    void Make(UdpStreamConfig c) {
        c.node_id = local_id_;
        c.local_address = Addr("127.0.8.2");
        c.local_port = kLocalPort;
        c.rendezvous_address = Addr("127.0.8.1");
        c.rendezvous_port = kServerPort;
        c.clock = &clock_;
        c.pool = &pool_;
        c.random = [this] { return uint32_t(random_()); };
        t_.reset();
        t_ = std::make_unique<UdpStreamTransport>(sender_, c);
        sender_.sent.clear();
    }

    UdpStreamTransport& t() { return *t_; }
    uint32_t remote_address() const { return Addr("127.0.8.3"); }
    uint32_t server_address() const { return Addr("127.0.8.1"); }

    void Deliver(const std::vector<uint8_t>& bytes, uint32_t address, uint16_t port) {
        t_->OnStreamDatagram(bytes.data(), bytes.size(), address, port);
    }
    void FromRemote(const std::vector<uint8_t>& bytes, uint16_t port = kRemotePort) {
        Deliver(bytes, remote_address(), port);
    }
    void FromServer(const std::vector<uint8_t>& bytes) { Deliver(bytes, server_address(), kServerPort); }
    template <size_t N>
    void FromServer(const std::array<uint8_t, N>& bytes) {
        FromServer(std::vector<uint8_t>(bytes.begin(), bytes.end()));
    }

    // Advances the clock in steps and runs the UDP server's ticks as its loop would.
    void Advance(uint64_t ms) {
        for (uint64_t i = 0; i < ms; ++i) {
            clock_.Advance(1);
            const uint64_t now = clock_.TickMs();
            if (now - last_retransmit_ >= 40) {
                t_->RetransmitTick();
                last_retransmit_ = last_ack_ = now;
            } else if (now - last_ack_ >= 20) {
                t_->AcknowledgeTick();
                last_ack_ = now;
            }
            if (now - last_maintenance_ > 2000) {
                t_->MaintenanceTick();
                last_maintenance_ = now;
            }
            if (t_->HasPendingConnectBatch()) t_->FlushConnectBatch();
        }
    }

    int Listen(uint16_t port = kLocalPort) {
        int32_t e = 0;
        const int h = t_->Open(&e);
        EXPECT_EQ(t_->Bind(h, 0, port, &e), 0);
        EXPECT_EQ(t_->Listen(h, 5, &e), 0);
        return h;
    }

    std::vector<uint8_t> Syn(uint32_t connection, uint32_t sequence, uint32_t nonce, uint16_t service = kLocalPort) {
        return BuildPacket({udpstream::kSyn, connection, sequence, local_id_,
                            {{32, kLocalPort}, {48, service}, {60, nonce}},
                            {{36, TagOfNodeId(remote_id_)}}, {}, {}});
    }

    // The remote connects to a listening stream; returns the accepted handle.
    int AcceptFromRemote() {
        if (listener_ <= 0) listener_ = Listen();
        const int listener = listener_;
        FromRemote(Syn(kRemoteStream, 1, kRemoteNonce));
        auto syn_acks = OfType(sender_.Take(), udpstream::kSynAck);
        EXPECT_EQ(syn_acks.size(), 2u);
        if (syn_acks.empty()) return -1;
        const uint32_t ours = syn_acks[0].view().Be32(udpstream::kConnectionAt);
        FromRemote(BuildPacket({udpstream::kConfirm, ours, 1, local_id_, {{32, kRemoteNonce}}, {}, {}, {}}));
        StreamEndpoint from;
        int32_t e = 0;
        const int h = t_->Accept(listener, &from, &e);
        EXPECT_GT(h, 0) << e;
        our_stream_ = ours;
        return h;
    }

    // Packets from the remote to our established stream.
    std::vector<uint8_t> Data(uint32_t number, std::vector<uint8_t> payload, uint32_t claimed = UINT32_MAX) {
        const uint32_t length = claimed == UINT32_MAX ? uint32_t(payload.size()) : claimed;
        return BuildPacket({udpstream::kData, our_stream_, ++remote_sequence_, local_id_, {{32, length}, {36, number}},
                            {}, std::move(payload), {}});
    }
    std::vector<uint8_t> Ack(uint32_t their_base, uint32_t next, std::vector<uint8_t> bitmap = {}) {
        PacketSpec s{udpstream::kAck, our_stream_, ++remote_sequence_, local_id_, {{32, their_base}, {36, next}}, {}, {}, {}};
        for (size_t i = 0; i < bitmap.size() && i < 12; ++i) s.bytes.push_back({40 + i, bitmap[i]});
        return BuildPacket(s);
    }
    std::vector<uint8_t> Keepalive(uint16_t service = kLocalPort) {
        return BuildPacket({udpstream::kKeepalive, our_stream_, ++remote_sequence_, local_id_, {{32, service}}, {}, {}, {}});
    }

    FakeClock clock_;
    BufferPool pool_;
    CapturingSender sender_;
    std::mt19937 random_{12345};
    std::unique_ptr<UdpStreamTransport> t_;
    NodeId local_id_{0x4c, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07};
    NodeId remote_id_{0x52, 0x11, 0x12, 0x13, 0x14, 0x15, 0x16, 0x17};
    uint32_t our_stream_ = 0;
    int listener_ = 0;
    uint32_t remote_sequence_ = 1;
    uint64_t last_retransmit_ = 1'000'000, last_ack_ = 1'000'000, last_maintenance_ = 1'000'000;
};

}  // namespace zl::test
