#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <atomic>
#include <thread>
#include <vector>

#include "engine/base/engine_clock.h"
#include "engine/base/engine_log.h"
#include "engine/base/fake_clock.h"
#include "tests/support/temp_dir.h"
#include "tests/support/wait_for.h"

namespace zl {
namespace {

TEST(EngineClock, StartsFromTheSystemTimeAndFollowsTheTick) {
    FakeClock clock;
    const uint64_t start = clock.SystemSeconds();
    EngineClockService service(clock);
    EXPECT_FALSE(service.Running());
    EXPECT_EQ(service.Clock(), start);  // first use starts the clock thread
    EXPECT_TRUE(service.Running());
    EXPECT_EQ(service.Uptime(), 0u);

    clock.Advance(2500);
    EXPECT_EQ(service.Clock(), start + 2);
    EXPECT_EQ(service.Uptime(), 2u);
    clock.Advance(500);
    EXPECT_EQ(service.Clock(), start + 3);
    EXPECT_EQ(service.Uptime(), 3u);
}

TEST(EngineClock, SystemTimeJumpsDoNotMoveIt) {
    FakeClock clock;
    EngineClockService service(clock);
    service.Start();
    const uint64_t start = service.Clock();
    clock.SetSystemSeconds(clock.SystemSeconds() - 86'400);
    EXPECT_EQ(service.Clock(), start);
    clock.Advance(1000);
    EXPECT_EQ(service.Clock(), start + 1);
    clock.SetSystemSeconds(clock.SystemSeconds() + 10 * 86'400);
    clock.Advance(1000);
    EXPECT_EQ(service.Clock(), start + 2);
    EXPECT_EQ(service.Uptime(), 2u);
}

TEST(EngineClock, RestartKeepsTheUptimeAndRetakesTheSystemTime) {
    FakeClock clock;
    EngineClockService service(clock);
    service.Start();
    clock.Advance(4000);
    service.Stop();  // a manual clock need not move for the thread to stop
    EXPECT_FALSE(service.Running());
    clock.SetSystemSeconds(2'000'000'000);
    clock.Advance(3000);  // the clock thread is gone: uptime does not count this
    service.Start();
    EXPECT_EQ(service.Clock(), 2'000'000'003u);
    EXPECT_EQ(service.Uptime(), 4u);
    clock.Advance(1000);
    EXPECT_EQ(service.Uptime(), 5u);
}

TEST(EngineClock, ClockThreadKeepsTheValuesWhileTimeRuns) {
    FakeClock clock(FakeClock::Mode::AutoAdvance);  // the thread's own sleeps move time
    const uint64_t base = clock.SystemSeconds();   // nothing moves time before the first run
    EngineClockService service(clock);
    std::vector<std::thread> readers;
    for (int i = 0; i < 3; ++i) {
        readers.emplace_back([&] {
            uint64_t last = 0;
            uint32_t last_uptime = 0;
            for (int n = 0; n < 2000; ++n) {
                const uint64_t now = service.Clock();
                const uint32_t uptime = service.Uptime();
                EXPECT_GE(now, last);
                EXPECT_GE(uptime, last_uptime);
                last = now;
                last_uptime = uptime;
            }
        });
    }
    for (auto& reader : readers) reader.join();
    ASSERT_TRUE(test::WaitFor([&] { return service.Uptime() >= 3; }, std::chrono::seconds(30),
                              std::chrono::microseconds(0)));
    const uint32_t before = service.Uptime();
    const uint64_t now = service.Clock();
    const uint32_t after = service.Uptime();
    EXPECT_LE(before, now - base);
    EXPECT_LE(now - base, after);
    service.Stop();
}

// A tick source that a test can turn back, as a wrapping 32-bit tick counter would.
class WrappingTick final : public zl::Clock {
public:
    uint64_t TickMs() override { return tick_.load(); }
    uint64_t SystemSeconds() override { return 1'790'000'000; }
    void SleepMs(uint32_t) override { std::this_thread::yield(); }
    std::atomic<uint64_t> tick_{4'294'960'000};
};

TEST(EngineClock, ATickBelowTheBaseCountsOneSecond) {
    WrappingTick clock;
    EngineClockService service(clock);
    service.Start();
    clock.tick_ = 4'294'967'000;  // 7 s later
    EXPECT_EQ(service.Uptime(), 7u);
    clock.tick_ = 200;  // wrapped
    EXPECT_EQ(service.Uptime(), 8u);
    EXPECT_EQ(service.Clock(), 1'790'000'008u);
    clock.tick_ = 2200;  // counted from the new base
    EXPECT_EQ(service.Uptime(), 10u);
    EXPECT_EQ(service.Clock(), 1'790'000'010u);
    service.Stop();
}

TEST(EngineClock, StopIsLogged) {
    test::TempDir sandbox("zl-clock-log");
    const std::filesystem::path dir = sandbox.path();
    EngineLogOpen();
    WithLog([&](CZephyrloaderLog& log) {
        log.SetBaseName((dir / "engine").string());
        log.SetLevels(22, 100);
    });
    {
        FakeClock clock;
        EngineClockService service(clock);
        service.Start();
        service.Stop();
        service.Stop();  // nothing to stop: nothing logged
    }
    EngineLogClose();
    std::ifstream file(dir / "engine.log");
    std::stringstream text;
    text << file.rdbuf();
    const std::string log = text.str();
    EXPECT_NE(log.find("] [Time Ensure Thread Stopped.. ]\n"), std::string::npos) << log;
    EXPECT_EQ(log.find("Stopped", log.find("Stopped") + 1), std::string::npos) << log;
}

}  // namespace
}  // namespace zl
