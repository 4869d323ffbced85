// The socket object in UDP mode over the transport: connect by identity,
// accept on a UDP-stream listener, bytes both ways, the other end's close, and
// a connect the rendezvous server cannot answer.
#include "engine/net/socket.h"
#include "engine/udp/udp_stream_socket.h"
#include "tests/engine/udp/udp_stream_test_support.h"

namespace zl::test {
namespace {

SocketEnv EnvFor(SimWorld& world, IStreamTransport& udp) {
    SocketEnv env;
    env.clock = &world.clock();
    env.pool = &world.pool();
    env.udp = &udp;
    return env;
}

TEST(UdpStreamSocket, PeersUseTheSocketObjectUnchanged) {
    SimWorld world;
    SimEngine& a = world.AddEngine("127.0.8.2", 7001, 0xA1);
    SimEngine& b = world.AddEngine("127.0.8.3", 7002, 0xB1);
    UdpStreamSocketTransport udp_a(a.t()), udp_b(b.t());
    TSocket listener(EnvFor(world, udp_b));
    ASSERT_TRUE(listener.Listen(7002, Ip("127.0.8.3"), &b.id));
    EXPECT_TRUE(listener.udp_mode());
    world.net().Run(5);

    TSocket client(EnvFor(world, udp_a));
    ASSERT_TRUE(client.Connect(Ip("127.0.8.3"), 7002, false, 0, &b.id));
    EXPECT_FALSE(client.IsConnected());
    std::unique_ptr<TSocket> served;
    ASSERT_TRUE(world.net().RunUntil(
        [&] {
            if (!served) served = listener.Accept();
            return served && client.IsConnected();
        },
        10000));
    EXPECT_EQ(client.local_port(), 7002);
    EXPECT_EQ(served->remote_address(), Ip("127.0.8.2"));
    EXPECT_EQ(served->connection_tag()[0], 0xA1);  // the connector's identity, then "UDP"
    EXPECT_EQ(served->connection_tag()[8], 'U');

    // More than a window's worth each way, queued by the socket and drained as the window opens.
    std::string request(50'000, 'q'), answer(70'000, 'a');
    ASSERT_GE(client.Send(request.data(), int64_t(request.size())), 0);
    ASSERT_GE(served->Send(answer.data(), int64_t(answer.size())), 0);
    ASSERT_TRUE(world.net().RunUntil(
        [&] {
            client.Flush();
            served->Flush();
            client.Receive(0, 1 << 20);
            served->Receive(0, 1 << 20);
            return client.received_length() == int64_t(answer.size()) && served->received_length() == int64_t(request.size());
        },
        20000));
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(served->received()), request.size()), request);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(client.received()), answer.size()), answer);

    served->Close();
    world.net().Run(10);
    EXPECT_EQ(client.Receive(0, 1 << 20), -1);  // the other end closed
    EXPECT_EQ(client.last_error(), err::kNone);
    EXPECT_FALSE(client.IsOpen());
}

TEST(UdpStreamSocket, AConnectNobodyAnswersDropsTheSocket) {
    SimWorld world;
    SimEngine& a = world.AddEngine("127.0.8.2", 7001, 0xA1);
    UdpStreamSocketTransport udp_a(a.t());
    world.net().Run(5);
    TSocket client(EnvFor(world, udp_a));
    const TSocket::Identity nobody{7, 7, 7, 7, 7, 7, 7, 7};
    ASSERT_TRUE(client.Connect(Ip("127.0.8.44"), 6881, false, Ip("127.0.8.2"), &nobody));
    world.net().Run(50);
    EXPECT_FALSE(client.IsConnected());
    EXPECT_FALSE(client.IsOpen());
    EXPECT_EQ(client.last_error(), err::kHostUnreachable);
}

}  // namespace
}  // namespace zl::test
