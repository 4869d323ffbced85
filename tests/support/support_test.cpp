// The test sandbox: a temporary folder goes away with everything in it, and
// waits end when their condition holds or their time is up, on the real
// clock or on a test clock that another thread moves.
#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <thread>
#include <type_traits>

#include "engine/base/fake_clock.h"
#include "tests/support/temp_dir.h"
#include "tests/support/wait_for.h"

namespace zl::test {
namespace {

static_assert(!std::is_copy_constructible_v<TempDir> && !std::is_copy_assignable_v<TempDir>);

TEST(TempDir, IsRemovedWithWhatItHolds) {
    std::string path, file;
    {
        TempDir a("zl-support"), b("zl-support", TempDirAccess::kReadableByAll);
        path = a.path();
        EXPECT_NE(a.path(), b.path());
        EXPECT_EQ(std::filesystem::path(path).filename().string().rfind("zl-support-", 0), 0u) << path;
        EXPECT_EQ(std::filesystem::status(a.path()).permissions() & std::filesystem::perms::others_read,
                  std::filesystem::perms::none);
        EXPECT_NE(std::filesystem::status(b.path()).permissions() & std::filesystem::perms::others_read,
                  std::filesystem::perms::none);
        file = a.File("deep/er/x.bin", std::string("a\0b", 3));
        EXPECT_EQ(file, a / "deep/er/x.bin");
        EXPECT_EQ(std::filesystem::file_size(file), 3u);
        // A folder the owner cannot write into is still removed.
        std::filesystem::create_directories(a / "locked/inner");
        std::filesystem::permissions(a / "locked", std::filesystem::perms::owner_read | std::filesystem::perms::owner_exec);
    }
    EXPECT_FALSE(std::filesystem::exists(path));
}

TEST(WaitFor, EndsWhenTheConditionHoldsOrTheTimeIsUp) {
    std::atomic<bool> flag{false};
    std::thread setter([&] {
        std::this_thread::sleep_for(20ms);
        flag = true;
    });
    EXPECT_TRUE(WaitFor([&] { return flag.load(); }, 10s));
    setter.join();
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(WaitFor([] { return false; }, 30ms));
    EXPECT_GE(std::chrono::steady_clock::now() - start, 30ms);
}

// On a test clock the limit is the clock's: a condition that never holds
// ends the wait once the clock has moved past the limit, long before the
// real backstop.
TEST(WaitFor, OnATestClockTheLimitIsTheClocks) {
    FakeClock clock(FakeClock::Mode::Manual);
    std::atomic<bool> stop{false};
    std::thread mover([&] {
        while (!stop) {
            clock.Advance(100);
            std::this_thread::sleep_for(100us);
        }
    });
    const uint64_t start = clock.TickMs();
    const auto real_start = std::chrono::steady_clock::now();
    EXPECT_FALSE(WaitFor(clock, 5'000, [] { return false; }, 60s));
    EXPECT_GT(clock.TickMs(), start + 5'000);
    EXPECT_LT(std::chrono::steady_clock::now() - real_start, 30s);
    EXPECT_TRUE(WaitFor(clock, 60'000, [&] { return clock.TickMs() > start + 10'000; }));
    stop = true;
    mover.join();
    // A clock that does not move: the real backstop ends the wait.
    EXPECT_FALSE(WaitFor(clock, 1'000, [] { return false; }, 20ms));
}

}  // namespace
}  // namespace zl::test
