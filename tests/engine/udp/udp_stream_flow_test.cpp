// A reader that falls behind: the receiving end stores 12 segments in its
// receive window and 12 more in its readable queue, and acknowledges them all.
// The sender must then hold back what lies 12 or more beyond the receiver's
// next expected segment (the receiver would drop it, and it would come again
// only after the 1.6 s resend time) until reading moves the window, which
// the reader's end reports at once.
#include "tests/engine/udp/udp_stream_test_support.h"

namespace zl::test {
namespace {

TEST(FlowTest, ASlowReaderHoldsTheSenderBackInsteadOfCostingItResends) {
    SimWorld world(5);
    SimEngine& a = world.AddEngine("127.0.93.2", 7001, 0xA5);
    SimEngine& b = world.AddEngine("127.0.93.3", 7002, 0xB5);
    auto [ha, hb] = world.Connect(a, b);
    ASSERT_GT(ha, 0);
    ASSERT_GT(hb, 0);

    const std::vector<uint8_t> data(size_t(60) * udpstream::kSegmentSize, 0x5A);
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
    EXPECT_EQ(held.readable_count + held.receive_filled, 2 * udpstream::kWindow);

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

}  // namespace
}  // namespace zl::test
