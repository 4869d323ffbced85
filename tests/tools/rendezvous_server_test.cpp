// The rendezvous server's table against registrations from sources that cost
// the sender nothing (spoofed addresses, a fresh tag each): it holds a fixed
// number of engines, keeps serving the ones it knows, and still answers a
// newcomer's connect request while full.
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine/udp/rendezvous_messages.h"
#include "tools/zlrendezvous/rendezvous_server.h"

namespace zl {
namespace {

using namespace rendezvous;

struct Datagram {
    std::vector<uint8_t> bytes;
    uint32_t address;
    uint16_t port;
};

NodeId IdOf(uint32_t n) {
    NodeId id{0xa1, 0xb2};
    for (size_t i = 0; i < 4; ++i) id[4 + i] = uint8_t(n >> (24 - 8 * i));
    return id;
}

// 10.0.x.y for engine n: every registration from another source address.
uint32_t AddressOf(uint32_t n) { return htonl(0x0A000000u | (n & 0xFFFFFFu)); }

class RendezvousTableTest : public ::testing::Test {
protected:
    static constexpr size_t kCap = 4;
    static constexpr uint64_t kNow = 1000;

    RendezvousTableTest()
        : server_([this](const uint8_t* d, size_t n, uint32_t a, uint16_t p) {
                      sent_.push_back(Datagram{std::vector<uint8_t>(d, d + n), a, p});
                  },
                  [](const std::string&) {}, 180, kCap) {}

    void Register(uint32_t n, uint64_t now = kNow) {
        Registration r;
        r.tag = TagOfNodeId(IdOf(n));
        r.request = 1;
        r.local_address = AddressOf(n);
        r.local_port = 6881;
        const auto m = BuildRegistration(r);
        server_.OnDatagram(m.data(), m.size(), AddressOf(n), 6881, now);
    }
    // The datagrams sent to engine n since the last call.
    std::vector<Datagram> SentTo(uint32_t n) {
        std::vector<Datagram> out;
        for (const Datagram& d : sent_)
            if (d.address == AddressOf(n)) out.push_back(d);
        return out;
    }

    std::vector<Datagram> sent_;
    RendezvousServer server_;
};

TEST_F(RendezvousTableTest, AFullTableRefusesNewcomersButServesWhomItKnows) {
    for (uint32_t n = 1; n <= kCap; ++n) Register(n);
    ASSERT_EQ(server_.size(), kCap);
    sent_.clear();

    // A flood of fresh tags from fresh addresses: none is kept or answered.
    for (uint32_t n = 100; n < 1100; ++n) Register(n);
    EXPECT_EQ(server_.size(), kCap);
    EXPECT_TRUE(SentTo(100).empty());
    EXPECT_EQ(server_.Find(IdOf(100)), nullptr);

    // Engines it knows register again (from a new port) and are answered.
    Registration again;
    again.tag = TagOfNodeId(IdOf(2));
    const auto m = BuildRegistration(again);
    server_.OnDatagram(m.data(), m.size(), AddressOf(2), 7000, kNow + 10);
    ASSERT_NE(server_.Find(IdOf(2)), nullptr);
    EXPECT_EQ(server_.Find(IdOf(2))->observed_port, 7000);
    EXPECT_EQ(SentTo(2).size(), 1u);

    // A newcomer's connect request is still answered with a known target,
    // and the target asked to punch, though the newcomer is not kept.
    sent_.clear();
    const auto batch = [&] {
        ConnectBatch b;
        b.Start(TagOfNodeId(IdOf(5000)), 9, AddressOf(5000), 6881);
        b.Add(AddressOf(3), IdOf(3));
        return std::vector<uint8_t>(b.data(), b.data() + b.length());
    }();
    server_.OnDatagram(batch.data(), batch.size(), AddressOf(5000), 6881, kNow + 10);
    EXPECT_EQ(server_.size(), kCap);
    const auto replies = SentTo(5000);
    ASSERT_EQ(replies.size(), 1u);
    ConnectReply reply;
    ASSERT_TRUE(ParseConnectReply(WireView(replies[0].bytes.data(), replies[0].bytes.size()), &reply));
    ASSERT_EQ(reply.entries.size(), 1u);
    EXPECT_EQ(reply.entries[0].id, IdOf(3));
    ASSERT_EQ(SentTo(3).size(), 1u);
    PunchRequest punch;
    ASSERT_TRUE(ParsePunchRequest(WireView(SentTo(3)[0].bytes.data(), 32), &punch));
    EXPECT_EQ(punch.address, AddressOf(5000));

    // Once the idle ones expire there is room again.
    server_.Expire(kNow + 181);
    EXPECT_EQ(server_.size(), 1u);  // engine 2 registered later
    Register(100, kNow + 181);
    EXPECT_NE(server_.Find(IdOf(100)), nullptr);
}

}  // namespace
}  // namespace zl
