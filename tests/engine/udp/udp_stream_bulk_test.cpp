// Bulk integrity between two transports on the simulated network: 32 MiB of
// random bytes through one stream, compared by SHA-256, on a clean link and
// with loss, reordering and duplication.
#include <openssl/sha.h>

#include <random>

#include "tests/engine/udp/udp_stream_test_support.h"

namespace zl::test {
namespace {

struct BulkCase {
    const char* name;
    SimConditions conditions;
};

std::vector<uint8_t> RandomBytes(size_t n, uint64_t seed) {
    std::vector<uint8_t> out(n);
    std::mt19937_64 g(seed);
    for (size_t i = 0; i + 8 <= n; i += 8) {
        const uint64_t v = g();
        std::memcpy(&out[i], &v, 8);
    }
    return out;
}

std::array<uint8_t, 32> Sha256(const uint8_t* data, size_t n) {
    std::array<uint8_t, 32> d{};
    SHA256(data, n, d.data());
    return d;
}

class BulkTest : public ::testing::TestWithParam<BulkCase> {};

TEST_P(BulkTest, ThirtyTwoMebibytesArriveIntact) {
    const BulkCase& c = GetParam();
    SimWorld world(11);
    SimEngine& a = world.AddEngine("127.0.8.2", 7001, 0xA1);
    SimEngine& b = world.AddEngine("127.0.8.3", 7002, 0xB1);
    auto [ha, hb] = world.Connect(a, b);
    ASSERT_GT(ha, 0);
    ASSERT_GT(hb, 0);
    world.net().SetConditions(c.conditions);

    const size_t total = size_t(32) << 20;
    const std::vector<uint8_t> data = RandomBytes(total, 99);
    std::vector<uint8_t> got;
    got.reserve(total);
    size_t sent = 0;
    std::vector<uint8_t> buffer(65536);
    auto pump = [&] {
        int32_t error = 0;
        while (sent < total) {
            const int64_t n = a.t().Send(ha, data.data() + sent, int64_t(std::min<size_t>(total - sent, 1 << 20)), &error);
            if (n < 0) break;
            sent += size_t(n);
        }
        for (;;) {
            const int64_t n = b.t().Receive(hb, buffer.data(), int64_t(buffer.size()), &error);
            if (n < 0) break;
            got.insert(got.end(), buffer.begin(), buffer.begin() + n);
        }
    };
    const bool done = world.net().RunUntil([&] { return got.size() >= total; }, 30ull * 60 * 1000, pump);
    const UdpStreamSnapshot sa = a.t().Inspect(ha);
    ASSERT_TRUE(done) << "received " << got.size() << " of " << total << "; sender state "
                      << UdpStreamStateName(sa.state) << " loss " << sa.loss_percent;
    EXPECT_EQ(got.size(), total);
    EXPECT_EQ(Sha256(got.data(), got.size()), Sha256(data.data(), data.size()));
    const UdpStreamCounters counters = a.t().Counters();
    std::printf("[%s] %.1f simulated s, %llu DATA sent, %llu resent, %llu lost, loss estimate %u%%\n", c.name,
                double(world.clock().TickMs()) / 1000.0 - 1000.0, (unsigned long long)counters.data_sent,
                (unsigned long long)counters.data_resent, (unsigned long long)world.net().lost(), sa.loss_percent);
}

INSTANTIATE_TEST_SUITE_P(
    Links, BulkTest,
    ::testing::Values(BulkCase{"clean", SimConditions{}},
                      BulkCase{"loss5", SimConditions{0.05, 0, 0, 1, 3}},
                      BulkCase{"loss10", SimConditions{0.10, 0, 0, 1, 3}},
                      BulkCase{"reorder_duplicate", SimConditions{0.0, 0.05, 0.10, 2, 4}}),
    [](const ::testing::TestParamInfo<BulkCase>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace zl::test
