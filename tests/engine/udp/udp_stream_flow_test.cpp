// How a stream paces its two ends. A reader that falls behind: the receiving end stores 12 segments in its
// receive window and as many as its readable queue takes (12 for the bare
// calls, 60 by default), and acknowledges them all.
// The sender must then hold back what lies 12 or more beyond the receiver's
// next expected segment (the receiver would drop it, and it would come again
// only after the 1.6 s resend time) until reading moves the window, which
// the reader's end reports at once.
#include <poll.h>

#include "tests/engine/udp/udp_stream_test_support.h"

namespace zl::test {
namespace {

TEST(FlowTest, ASlowReaderHoldsTheSenderBackInsteadOfCostingItResends) {
    for (const int read_queue : {udpstream::kWindow, UdpStreamConfig{}.read_queue}) {
        SCOPED_TRACE(read_queue);
        UdpStreamConfig config;
        config.read_queue = read_queue;
        SimWorld world(5);
        SimEngine& a = world.AddEngine("127.0.93.2", 7001, 0xA5);
        SimEngine& b = world.AddEngine("127.0.93.3", 7002, 0xB5, config);
        auto [ha, hb] = world.Connect(a, b);
        ASSERT_GT(ha, 0);
        ASSERT_GT(hb, 0);

        const std::vector<uint8_t> data(size_t(120) * udpstream::kSegmentSize, 0x5A);
        size_t sent = 0;
        auto pump = [&] {
            int32_t error = 0;
            while (sent < data.size()) {
                const int64_t n = a.t().Send(ha, data.data() + sent, int64_t(data.size() - sent), &error);
                if (n < 0) break;
                sent += size_t(n);
            }
        };
        // Nobody reads for a second: the receiving end fills up and the rest
        // waits (a probe would go only after the 1.6 s resend time).
        world.net().Run(1000, pump);
        EXPECT_EQ(b.t().Counters().packets_dropped, 0u);
        EXPECT_EQ(a.t().Counters().data_resent, 0u);
        const UdpStreamSnapshot held = b.t().Inspect(hb);
        EXPECT_EQ(held.readable_count + held.receive_filled, udpstream::kWindow + read_queue);

        // Reading now moves everything across within a few round trips.
        std::vector<uint8_t> got;
        std::vector<uint8_t> buffer(65536);
        auto read = [&] {
            pump();
            int32_t error = 0;
            for (int64_t n; (n = b.t().Receive(hb, buffer.data(), int64_t(buffer.size()), &error)) > 0;)
                got.insert(got.end(), buffer.begin(), buffer.begin() + n);
        };
        EXPECT_TRUE(world.net().RunUntil([&] { return got.size() == data.size(); }, 300, read));
        EXPECT_TRUE(got == data);
        EXPECT_EQ(a.t().Counters().data_resent, 0u);
        EXPECT_EQ(b.t().Counters().packets_dropped, 0u);
    }
}

bool Signalled(int fd) {
    pollfd p{fd, POLLIN, 0};
    return ::poll(&p, 1, 0) == 1;
}

// A task loop polls a stream's event descriptor: it turns readable when data
// arrives, when the window opens and when the other end closes; the call that
// acts on it clears it, and data left unread keeps it readable.
TEST(FlowTest, TheEventDescriptorWakesForDataRoomAndTheClose) {
    SimWorld world(6);
    UdpStreamConfig window_only;
    window_only.send_queue = 0;
    SimEngine& a = world.AddEngine("127.0.93.2", 7001, 0xA6, window_only);
    SimEngine& b = world.AddEngine("127.0.93.3", 7002, 0xB6);
    auto [ha, hb] = world.Connect(a, b);
    ASSERT_GT(hb, 0);
    const int fa = a.t().EventDescriptor(ha);
    const int fb = b.t().EventDescriptor(hb);
    ASSERT_GE(fa, 0);
    ASSERT_GE(fb, 0);
    int32_t e = 0;
    std::vector<uint8_t> buffer(65536);
    b.t().Receive(hb, buffer.data(), 1, &e);  // both start cleared
    const std::vector<uint8_t> data(size_t(30) * udpstream::kSegmentSize, 7);
    ASSERT_EQ(a.t().Send(ha, data.data(), int64_t(data.size()), &e), int64_t(12 * udpstream::kSegmentSize));
    EXPECT_FALSE(Signalled(fa));  // the window is full
    EXPECT_FALSE(Signalled(fb));
    world.net().Run(3);
    EXPECT_TRUE(Signalled(fb));  // data arrived
    ASSERT_EQ(b.t().Receive(hb, buffer.data(), 100, &e), 100);
    EXPECT_TRUE(Signalled(fb));  // more waits
    while (b.t().Receive(hb, buffer.data(), int64_t(buffer.size()), &e) > 0) {
    }
    EXPECT_FALSE(Signalled(fb));
    world.net().Run(60);
    EXPECT_TRUE(Signalled(fa));  // the ACKs opened the window
    EXPECT_GT(a.t().Send(ha, data.data(), int64_t(data.size()), &e), 0);
    EXPECT_FALSE(Signalled(fa));
    ASSERT_EQ(b.t().Close(hb, &e), 0);
    world.net().Run(3);
    EXPECT_TRUE(Signalled(fa));  // the other end closed
}

// The listener's descriptor wakes for a connection to accept; data that
// arrives before the listener takes the stream from the queue is kept, not
// dropped to come again after 1.6 s.
TEST(FlowTest, DataBeforeAcceptIsKept) {
    SimWorld world(8);
    SimEngine& a = world.AddEngine("127.0.93.2", 7001, 0xA8);
    SimEngine& b = world.AddEngine("127.0.93.3", 7002, 0xB8);
    const int listener = world.ListenOn(b);
    const int listen_fd = b.t().EventDescriptor(listener);
    ASSERT_GE(listen_fd, 0);
    world.net().Run(5);
    EXPECT_FALSE(Signalled(listen_fd));
    int32_t e = 0;
    const int h = a.t().Open(&e);
    a.t().Connect(h, StreamEndpoint{b.host->address(), b.host->port(), b.id}, &e);
    ASSERT_TRUE(world.net().RunUntil([&] { return a.t().Inspect(h).state == UdpStreamState::kEstablished; }, 1000));
    const std::vector<uint8_t> hello(5000, 0x42);
    ASSERT_EQ(a.t().Send(h, hello.data(), int64_t(hello.size()), &e), int64_t(hello.size()));
    world.net().Run(100);
    EXPECT_TRUE(Signalled(listen_fd));
    const int accepted = b.t().Accept(listener, nullptr, &e);
    ASSERT_GT(accepted, 0);
    EXPECT_FALSE(Signalled(listen_fd));
    std::vector<uint8_t> got(hello.size());
    EXPECT_EQ(b.t().Receive(accepted, got.data(), int64_t(got.size()), &e), int64_t(hello.size()));
    EXPECT_TRUE(got == hello);
    world.net().Run(100);
    EXPECT_EQ(a.t().Inspect(h).send_used, 0);  // acknowledged
    EXPECT_EQ(a.t().Counters().data_resent, 0u);
}

}  // namespace
}  // namespace zl::test
