#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "engine/base/fake_clock.h"
#include "engine/core/sched/peer_health.h"
#include "engine/core/sched/transfer_pace.h"
#include "engine/core/sched/transfer_statistics.h"

namespace zl {
namespace {

TEST(TransferPace, TiersFollowTheBytesOfTheLastSecond) {
    struct Case {
        int64_t bytes;
        int32_t tier, period, slow_period;
        uint32_t sleep_ms;
    };
    const Case cases[] = {
        {0, 5, 5, 15, 6},
        {100 * 1024, 5, 5, 15, 6},
        {307200, 5, 5, 15, 6},
        {307201, 4, 6, 18, 5},
        {819200, 4, 6, 18, 5},
        {819201, 3, 7, 21, 4},
        {1024 * 1024, 3, 7, 21, 4},
        {1536001, 2, 9, 27, 3},
        {3145728, 2, 9, 27, 3},
        {3145729, 1, 14, 42, 2},
        {int64_t(1) << 40, 1, 14, 42, 2},
    };
    for (const Case& c : cases) {
        const RatePace pace = PaceForRate(c.bytes);
        EXPECT_EQ(pace.tier, c.tier) << c.bytes;
        EXPECT_EQ(pace.full_pass_period, c.period) << c.bytes;
        EXPECT_EQ(pace.slow_upload_period, c.slow_period) << c.bytes;
        EXPECT_EQ(pace.loop_sleep_ms, c.sleep_ms) << c.bytes;
    }
}

TEST(TransferPace, AllowedRatesUnderLimits) {
    struct Case {
        int32_t limit_kib;
        int64_t allowed;
    };
    const Case cases[] = {
        {0, 1048576000},  // no limit
        {-5, 1048576000},
        {1, 3072},        // the floor
        {3, 3072},
        {4, 4096},
        {100, 102400},
        {32766, 32766 * 1024},
    };
    for (const Case& c : cases) EXPECT_EQ(AllowedRate(c.limit_kib), c.allowed) << c.limit_kib;
}

TEST(TransferPace, ConnectionBudgetAndPassQuota) {
    struct Case {
        int64_t down, up;
        int32_t budget;
    };
    const Case cases[] = {
        {0, 0, 52},
        {100000, 50000, 52},            // a slow task keeps 52
        {180224, 0, 52},                // 44 + 8
        {184320, 0, 53},
        {500000, 500000, 252},          // 1 MB/s: 1000000 / 4096 + 8
        {int64_t(1) << 40, 0, 20480},   // never past what the settings accept
        {-100, -100, 52},
    };
    for (const Case& c : cases) EXPECT_EQ(ConnectionBudget(c.down, c.up), c.budget) << c.down << " " << c.up;

    struct Quota {
        int64_t up;
        int32_t quota;
    };
    const Quota quotas[] = {{0, 8}, {131071, 8}, {139264, 9}, {229376, 20}, {10 << 20, 20}};
    for (const Quota& q : quotas) EXPECT_EQ(PassQuota(q.up), q.quota) << q.up;
}

TEST(TransferPace, TimeRemainingIn64Bits) {
    // A 4 GiB volume of 2 MiB pieces, nothing finished, at 1 MiB/s: 4096 s.
    // piece length x missing pieces is 2^32, which a 32-bit product turns into 0.
    EXPECT_EQ(TimeRemainingSeconds(2 << 20, 2048, 0, 1 << 20, 0, true), 4096);
    EXPECT_EQ(TimeRemainingSeconds(4 << 20, 1024, 512, 1 << 20, 0, true), 2048);
    EXPECT_EQ(TimeRemainingSeconds(2 << 20, 2048, 0, 1023, 0, true), 0);     // below 1 KiB/s
    EXPECT_EQ(TimeRemainingSeconds(2 << 20, 2048, 0, 1024, 0, true), 4194304);
    EXPECT_EQ(TimeRemainingSeconds(2 << 20, 2048, 2048, 1 << 20, 0, true), 0);
    EXPECT_EQ(TimeRemainingSeconds(2 << 20, 2048, 10, 1 << 20, 1234, false), 0);  // complete, seeding
    EXPECT_EQ(TimeRemainingSeconds(2 << 20, 2048, 10, 1 << 20, 1234, true), 4076);
    // Absurd figures are capped, not wrapped negative.
    EXPECT_EQ(TimeRemainingSeconds(int64_t(1) << 30, int64_t(1) << 30, 0, 1024, 0, true), INT32_MAX);
}

TEST(TransferPace, SpeedLimitChanges) {
    struct Case {
        int32_t direction, kib;
        bool accepted;
        int32_t upload, download;
    };
    const Case cases[] = {
        {0, 100, true, 100, 7},  {1, 100, true, 5, 100},    {1, 40000, true, 5, 0},
        {0, -1, true, 0, 7},     {1, 32766, true, 5, 32766}, {1, 32767, true, 5, 0},
        {2, 100, false, 5, 7},   {-1, 100, false, 5, 7},
    };
    for (const Case& c : cases) {
        int32_t upload = 5, download = 7;
        EXPECT_EQ(ApplySpeedLimit(c.direction, c.kib, upload, download), c.accepted);
        EXPECT_EQ(upload, c.upload) << c.direction << " " << c.kib;
        EXPECT_EQ(download, c.download) << c.direction << " " << c.kib;
    }
}

TEST(TransferPace, UnchokeLimit) {
    EXPECT_EQ(UnchokeLimit(0, 6), 80);
    EXPECT_EQ(UnchokeLimit(819200, 8), 100 + 64 + 32);
    EXPECT_EQ(UnchokeLimit(-5, 20), 192);
}

class StatisticsTest : public ::testing::Test {
protected:
    FakeClock clock;
    TransferStatistics stats{clock};
    StatisticsPassInput input;

    void Second() {
        clock.Advance(1000);
        ASSERT_TRUE(stats.PassDue());
        stats.Pass(input);
    }
};

TEST_F(StatisticsTest, CountersBecomeTotalsAveragesAndSmoothedSpeed) {
    stats.Start();
    EXPECT_EQ(stats.PassQuotaFigure(), 6);
    EXPECT_EQ(stats.ConnectionBudgetFigure(), 52);
    EXPECT_FALSE(stats.PassDue());

    stats.AddReceived(1 << 20);  // 1 MiB read in the first second
    stats.AddPayload(800000);
    stats.AddSent(300000);
    Second();
    EXPECT_EQ(stats.DownloadedTotal(), uint64_t(1) << 20);  // what the sockets read while downloading
    EXPECT_EQ(stats.UploadedTotal(), 300000u);
    EXPECT_EQ(stats.CurrentDownloadSpeed(), 600000);       // (3 x 800000 + 0) / 4
    EXPECT_EQ(stats.AverageDownloadSpeed(), 1 << 20);      // divided by one second
    EXPECT_EQ(stats.AverageUploadSpeed(), 300000);
    EXPECT_EQ(stats.Pace().tier, 3);
    EXPECT_EQ(stats.Pace().full_pass_period, 7);
    EXPECT_EQ(stats.Pace().loop_sleep_ms, 4u);
    EXPECT_EQ(stats.ReceivedThisSecond(), 0);

    stats.AddReceived(100 * 1024);
    stats.AddPayload(0);
    Second();
    EXPECT_EQ(stats.CurrentDownloadSpeed(), 150000);  // (0 + 600000) / 4
    EXPECT_EQ(stats.AverageDownloadSpeed(), ((1 << 20) + 100 * 1024) / 2);
    EXPECT_EQ(stats.Pace().tier, 5);
    EXPECT_EQ(stats.Pace().loop_sleep_ms, 6u);

    // Complete: the payload counts, the current speed is 0, the tier follows uploads.
    input.complete = true;
    stats.AddReceived(5000);
    stats.AddPayload(16384);
    stats.AddSent(4 << 20);
    Second();
    EXPECT_EQ(stats.DownloadedTotal(), uint64_t(1 << 20) + 100 * 1024 + 16384);
    EXPECT_EQ(stats.CurrentDownloadSpeed(), 0);
    EXPECT_EQ(stats.Pace().tier, 1);
    EXPECT_EQ(stats.AverageDownloadSpeed(), ((1 << 20) + 100 * 1024) / 2);  // frozen once complete
}

TEST_F(StatisticsTest, RatesDriveBudgetQuotaAndTimeRemaining) {
    stats.Start();
    input.piece_length = 2 << 20;
    input.piece_count = 2048;
    input.finished_pieces = 0;
    stats.SetRates(1000, 0);
    Second();
    EXPECT_EQ(stats.TimeRemaining(), 0);  // below 1 KiB/s
    stats.SetRates(1 << 20, 229376);
    Second();
    EXPECT_EQ(stats.TimeRemaining(), 4096);
    EXPECT_EQ(stats.ConnectionBudgetFigure(), int32_t(((1 << 20) + 229376) / 4096 + 8));
    EXPECT_EQ(stats.PassQuotaFigure(), 20);
}

TEST_F(StatisticsTest, AllowancesShrinkWithinTheSecondAndRenewEachPass) {
    stats.Start(100, 0);  // 100 KiB/s down, no upload limit
    EXPECT_EQ(stats.DownloadAllowance(), 102400);
    EXPECT_EQ(stats.UploadAllowance(), kUnlimitedRate);
    stats.AddReceived(60000);
    EXPECT_EQ(stats.DownloadAllowance(), 42400);
    stats.AddReceived(42400);
    EXPECT_EQ(stats.DownloadAllowance(), 0);
    input.download_limit_kib = 1;
    input.upload_limit_kib = 0;
    Second();
    EXPECT_EQ(stats.AllowedDownloadRate(), 3072);
    EXPECT_EQ(stats.DownloadAllowance(), 3072);
    EXPECT_EQ(stats.AllowedUploadRate(), 1048576000);
}

TEST_F(StatisticsTest, OvershootAtABlockBoundaryIsChargedToTheNextSecond) {
    stats.Start(10, 0);  // 10240 B/s
    input.download_limit_kib = 10;
    stats.AddReceived(16384);  // one whole block although only 10240 were allowed
    Second();
    EXPECT_EQ(stats.DownloadAllowance(), 10240 - 6144);
    stats.AddReceived(4096);
    Second();
    EXPECT_EQ(stats.DownloadAllowance(), 10240);
}

// A simulated peer behind a fast link: each loop iteration it may read what
// the link delivered meanwhile, but only up to the task's allowance, or (a
// peer that can only stop between blocks) in whole 16 KiB blocks while any
// allowance is left.
int64_t SimulateMinute(int32_t limit_kib, int64_t link_rate, bool whole_blocks) {
    FakeClock clock;
    TransferStatistics stats(clock);
    StatisticsPassInput input;
    input.download_limit_kib = limit_kib;
    stats.Start(limit_kib, 0);
    const uint64_t start = clock.TickMs();
    int64_t total = 0, backlog = 0;
    while (clock.TickMs() - start < 60'000) {
        const uint32_t sleep_ms = stats.Pace().loop_sleep_ms;
        clock.Advance(sleep_ms);
        backlog = std::min<int64_t>(backlog + link_rate * sleep_ms / 1000, 4 << 20);
        int64_t read = 0;
        if (whole_blocks) {
            while (stats.DownloadAllowance() > 0 && backlog - read >= 16384) {
                stats.AddReceived(16384);
                read += 16384;
            }
        } else {
            read = std::min(backlog, stats.DownloadAllowance());
            stats.AddReceived(read);
        }
        backlog -= read;
        total += read;
        if (stats.PassDue()) stats.Pass(input);
    }
    return total;
}

TEST(SpeedLimit, HoldsWithinTenPercentOverAMinute) {
    for (const bool whole_blocks : {false, true}) {
        for (const int32_t limit_kib : {4, 10, 50, 100, 700, 3000, 20000}) {
            const double wanted = double(limit_kib) * 1024 * 60;
            const double got = double(SimulateMinute(limit_kib, 200 << 20, whole_blocks));
            EXPECT_NEAR(got / wanted, 1.0, 0.10) << limit_kib << " KiB/s, whole blocks " << whole_blocks;
        }
    }
}

TEST(SpeedLimit, NoLimitLeavesTheLinkAlone) {
    const double got = double(SimulateMinute(0, 30 << 20, true));
    EXPECT_NEAR(got / (30.0 * (1 << 20) * 60), 1.0, 0.02);
}

TEST(PeerHealth, RateSnapshotFigures) {
    EXPECT_FALSE(RateSnapshotDue(103, 100));
    EXPECT_TRUE(RateSnapshotDue(104, 100));
    EXPECT_TRUE(RateSnapshotDue(5, 0));
    EXPECT_EQ(RateFromAccumulator(300000), 100000);  // 4 s of bytes over 3
    EXPECT_EQ(RateFromAccumulator(-7), 0);
}

TEST(PeerHealth, SilentPeerIsChokedAfterFourChecksAndDroppedAfterFive) {
    PeerStallState state;
    // Every fourth peer-statistics step (every 16 s) is a stall check.
    int checks = 0;
    for (uint64_t counter = 1; counter <= 16; ++counter) checks += StallCheckDue(counter);
    EXPECT_EQ(checks, 4);

    EXPECT_FALSE(CheckPeerStall(state, 100, 500).choke);  // bytes moved since the start
    for (int i = 1; i <= 3; ++i) {
        const StallVerdict v = CheckPeerStall(state, 100, 500);
        EXPECT_FALSE(v.choke) << i;
        EXPECT_FALSE(v.disconnect) << i;
    }
    StallVerdict v = CheckPeerStall(state, 100, 500);
    EXPECT_TRUE(v.choke);
    EXPECT_FALSE(v.disconnect);
    v = CheckPeerStall(state, 100, 500);
    EXPECT_TRUE(v.disconnect);

    // Traffic in either direction starts the count again.
    PeerStallState busy;
    for (int i = 0; i < 4; ++i) CheckPeerStall(busy, 0, 0);
    EXPECT_EQ(busy.counter, 4);
    EXPECT_FALSE(CheckPeerStall(busy, 1, 0).choke);
    EXPECT_EQ(busy.counter, 0);
}

TEST(PeerHealth, UnchokeDecision) {
    EXPECT_TRUE(ShouldUnchoke(true, false, 80, 80));
    EXPECT_FALSE(ShouldUnchoke(true, false, 81, 80));
    EXPECT_FALSE(ShouldUnchoke(true, true, 3, 80));
    EXPECT_FALSE(ShouldUnchoke(false, false, 3, 80));
}

TEST(PeerHealth, ServerWatchdogAfterSixteenSlowSecondsInARow) {
    ServerWatchdog watchdog;
    for (int i = 0; i < 15; ++i) EXPECT_FALSE(watchdog.OnSecond(1023)) << i;
    EXPECT_FALSE(watchdog.OnSecond(1024));  // a fast second resets the count
    for (int i = 0; i < 15; ++i) EXPECT_FALSE(watchdog.OnSecond(0)) << i;
    EXPECT_TRUE(watchdog.OnSecond(0));
    EXPECT_EQ(watchdog.SlowSeconds(), 0);  // counting starts again
    for (int i = 0; i < 15; ++i) EXPECT_FALSE(watchdog.OnSecond(0)) << i;
    EXPECT_TRUE(watchdog.OnSecond(0));
}

}  // namespace
}  // namespace zl
