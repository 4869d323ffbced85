// Two engines and the rendezvous server on the simulated network: streams set
// up by node id and by placeholder, a target the server does not know, and
// two engines behind NATs that drop unsolicited datagrams, which meet only
// because the target punches a hole towards the connector.
#include "tests/engine/udp/udp_stream_test_support.h"

namespace zl::test {
namespace {

// Sends a greeting each way through an established pair.
void ExpectBothWays(SimWorld& world, SimEngine& a, int ha, SimEngine& b, int hb) {
    int32_t e = 0;
    const std::string hello = "hello from a", reply = "and back from b";
    ASSERT_EQ(a.t().Send(ha, reinterpret_cast<const uint8_t*>(hello.data()), int64_t(hello.size()), &e), int64_t(hello.size()));
    ASSERT_EQ(b.t().Send(hb, reinterpret_cast<const uint8_t*>(reply.data()), int64_t(reply.size()), &e), int64_t(reply.size()));
    std::string at_a, at_b;
    uint8_t buffer[256];
    world.net().RunUntil(
        [&] {
            int64_t n;
            while ((n = a.t().Receive(ha, buffer, sizeof buffer, &e)) > 0) at_a.append(reinterpret_cast<char*>(buffer), size_t(n));
            while ((n = b.t().Receive(hb, buffer, sizeof buffer, &e)) > 0) at_b.append(reinterpret_cast<char*>(buffer), size_t(n));
            return at_a == reply && at_b == hello;
        },
        5000);
    EXPECT_EQ(at_b, hello);
    EXPECT_EQ(at_a, reply);
}

TEST(HandshakeTest, EnginesMeetByNodeIdAndByPlaceholder) {
    for (bool by_placeholder : {false, true}) {
        SimWorld world;
        SimEngine& a = world.AddEngine("127.0.8.2", 7001, 0xA1);
        SimEngine& b = world.AddEngine("127.0.8.3", 7002, 0xB1);
        auto [ha, hb] = world.Connect(a, b, by_placeholder);
        ASSERT_GT(ha, 0) << by_placeholder;
        ASSERT_GT(hb, 0);
        EXPECT_EQ(a.t().Inspect(ha).remote_id, b.id);  // a placeholder gives way to the real id
        EXPECT_EQ(b.t().Inspect(hb).remote_id, a.id);
        ExpectBothWays(world, a, ha, b, hb);
        // Closing one end closes the other.
        int32_t e = 0;
        ASSERT_EQ(a.t().Close(ha, &e), 0);
        world.net().Run(10);
        EXPECT_EQ(b.t().Inspect(hb).state, UdpStreamState::kClosed);
        EXPECT_EQ(b.t().Inspect(hb).close_error, err::kNone);
    }
}

TEST(HandshakeTest, ATargetTheServerDoesNotKnowClosesTheStreamAtOnce) {
    SimWorld world;
    SimEngine& a = world.AddEngine("127.0.8.2", 7001, 0xA1);
    world.net().Run(5);
    int32_t e = 0;
    const int h = a.t().Open(&e);
    StreamEndpoint nobody{Ip("127.0.8.40"), 6881, NodeId{9, 9, 9, 9, 9, 9, 9, 9}};
    a.t().Connect(h, nobody, &e);
    world.net().Run(20);
    EXPECT_EQ(a.t().Inspect(h).state, UdpStreamState::kClosed);
    EXPECT_EQ(a.t().Inspect(h).close_error, err::kHostUnreachable);
}

TEST(HandshakeTest, EnginesBehindTwoNatsMeetThroughAPunchedHole) {
    for (bool by_placeholder : {false, true}) {
        SimWorld world;
        SimEngine& a = world.AddEngine("127.0.8.2", 7001, 0xA1);
        SimEngine& b = world.AddEngine("127.0.8.3", 7002, 0xB1);
        a.host->SetPublicEndpoint(Ip("198.18.0.10"), 40001);
        b.host->SetPublicEndpoint(Ip("198.18.0.20"), 40002);
        a.host->nat_filtering = b.host->nat_filtering = true;
        // A knows B as the tracker would list it: its public address and listening port.
        int32_t e = 0;
        const int listener = world.ListenOn(b);
        world.net().Run(5);
        ASSERT_TRUE(a.t().BehindNat());
        ASSERT_TRUE(b.t().BehindNat());
        const int h = a.t().Open(&e);
        StreamEndpoint remote{Ip("198.18.0.20"), 7002, by_placeholder ? PlaceholderId(Ip("198.18.0.20"), 7002) : b.id};
        a.t().Connect(h, remote, &e);
        const uint64_t asked = world.clock().TickMs();
        int accepted = -1;
        ASSERT_TRUE(world.net().RunUntil(
            [&] {
                if (accepted < 0) accepted = b.t().Accept(listener, nullptr, &e);
                return accepted > 0 && a.t().Inspect(h).state == UdpStreamState::kEstablished;
            },
            10000))
            << UdpStreamStateName(a.t().Inspect(h).state);
        // The SYN goes as soon as the server answers (and again when the
        // punch arrives), not with the next 2 s maintenance tick.
        EXPECT_LT(world.clock().TickMs() - asked, 200u);
        EXPECT_EQ(a.t().Inspect(h).remote_port, 40002);
        ExpectBothWays(world, a, h, b, accepted);
    }
}

TEST(HandshakeTest, WithoutAPunchTheNatsKeepTheEnginesApartUntilTheTimeout) {
    SimWorld world;
    SimEngine& a = world.AddEngine("127.0.8.2", 7001, 0xA1);
    SimEngine& b = world.AddEngine("127.0.8.3", 7002, 0xB1);
    a.host->SetPublicEndpoint(Ip("198.18.0.10"), 40001);
    b.host->SetPublicEndpoint(Ip("198.18.0.20"), 40002);
    a.host->nat_filtering = b.host->nat_filtering = true;
    // B's punches never get out (a NAT that maps every destination anew).
    world.net().drop_filter = [&](const SimDatagram& d) { return d.from_address == Ip("198.18.0.20") && d.bytes.size() == 48; };
    world.ListenOn(b);
    world.net().Run(5);
    int32_t e = 0;
    const int h = a.t().Open(&e);
    a.t().Connect(h, StreamEndpoint{Ip("198.18.0.20"), 7002, b.id}, &e);
    world.net().Run(35'000);
    EXPECT_EQ(a.t().Inspect(h).state, UdpStreamState::kClosed);
    EXPECT_EQ(a.t().Inspect(h).close_error, err::kTimedOut);
    EXPECT_EQ(b.t().AcceptQueueSize(), 0u);
    EXPECT_EQ(b.t().PunchListSize(), 0u);
    ASSERT_EQ(a.t().Close(h, &e), 0);
    EXPECT_EQ(a.t().Inspect(h).exists, false);
}

}  // namespace
}  // namespace zl::test
