// The transport carried by the engine's own UDP server: two servers on
// loopback with their transports installed, registering with the rendezvous
// server through the servers' timers, a stream between them by node id, and
// 32 MiB through it.
#include <chrono>
#include <thread>

#include "engine/udp/udp_stream_service.h"
#include "tests/engine/udp/loopback_rendezvous.h"
#include "tests/engine/udp/server_engine.h"
#include "tests/engine/udp/transfer_support.h"
#include "tests/engine/udp/udp_stream_test_support.h"

namespace zl::test {
namespace {

std::unique_ptr<ServerEngine> StartEngine(const char* address, uint8_t id_byte, const LoopbackRendezvous& rendezvous) {
    return StartServerEngine(address, NodeId{id_byte, 0x31, 0x32, 0x33, 0x34, 0x35, 0x36, id_byte}, rendezvous.port());
}

TEST(UdpStreamOnTheServer, EnginesMeetThroughTheirServersAndMoveThirtyTwoMebibytes) {
    LoopbackRendezvous rendezvous(Ip("127.0.8.1"));
    if (!rendezvous.ok()) GTEST_SKIP() << "cannot bind 127.0.8.1";
    auto a = StartEngine("127.0.8.2", 0xA2, rendezvous);
    auto b = StartEngine("127.0.8.3", 0xB2, rendezvous);
    ASSERT_TRUE(a && b);
    // Both register at their servers' first timer pass and hear their address.
    for (int i = 0; i < 200 && !(a->t().ServerAnswered() && b->t().ServerAnswered()); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ASSERT_TRUE(a->t().ServerAnswered() && b->t().ServerAnswered());
    EXPECT_EQ(a->server->RendezvousState().external_address, Ip("127.0.8.2"));
    EXPECT_FALSE(a->server->BehindNat());
    EXPECT_EQ(a->t().node_id(), a->id);

    const uint16_t b_port = b->server->BoundPort();
    const int listener = ListenOn(b->t(), b_port);
    ASSERT_GT(listener, 0);
    int32_t e = 0;
    const int h = a->t().Open(&e);
    ASSERT_EQ(a->t().Connect(h, StreamEndpoint{Ip("127.0.8.3"), b_port, b->id}, &e), -1);
    auto [ha, hb] = WaitConnected(a->t(), h, b->t(), listener, 10);
    ASSERT_GT(ha, 0);

    const std::vector<uint8_t> data = RandomBytes(size_t(32) << 20, 8);
    const auto start = std::chrono::steady_clock::now();
    const std::vector<uint8_t> got = Transfer(a->t(), ha, b->t(), hb, data, 90);
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    ASSERT_EQ(got.size(), data.size());
    EXPECT_EQ(Sha256(got), Sha256(data));
    std::printf("32 MiB through the engine's UDP server in %.2f s (%.1f MiB/s)\n", seconds, 32.0 / seconds);
}

}  // namespace
}  // namespace zl::test
