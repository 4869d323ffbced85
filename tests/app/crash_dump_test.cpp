#include "app/crash_dump.h"

#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>

#include "engine/meta/atomic_file.h"

namespace zl::app {
namespace {

TEST(CrashDump, FileName) {
    std::tm t{};
    t.tm_year = 2026 - 1900;
    t.tm_mon = 0;
    t.tm_mday = 5;
    t.tm_hour = 14;
    t.tm_min = 3;
    t.tm_sec = 7;
    EXPECT_EQ(DumpFileName(t, 42, 57), "2026-01-05-14-03-07-42-57.dmp");
    EXPECT_EQ(DumpFileName(t, 999, 157), "2026-01-05-14-03-07-999-57.dmp");
}

// A wild (not null) address: a real fault, not one a sanitizer reports first.
[[gnu::noinline]] void Crash(uintptr_t address) {
    volatile uintptr_t where = address;  // hidden from the optimiser
    *reinterpret_cast<volatile int*>(uintptr_t(where)) = 1;
}

TEST(CrashDumpDeathTest, SegfaultLeavesADumpWithABacktrace) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    // The same folder in the re-executed child as here: one per build.
    const std::string dir = ZL_BINARY_DIR "/tests/app/crash_dumps";
    if (!::testing::internal::InDeathTestChild()) {
        std::filesystem::remove_all(dir);
        std::filesystem::create_directories(dir);
    }
    EXPECT_EXIT(
        {
            InstallCrashDumpWriter(dir);
            Crash(8);
        },
        ::testing::KilledBySignal(SIGSEGV), "");
    int dumps = 0;
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
        ASSERT_EQ(entry.path().extension(), ".dmp");
        const std::string text = *ReadWholeFile(entry.path());
        EXPECT_NE(text.find("signal 11"), std::string::npos);
        EXPECT_NE(text.find("SEGV"), std::string::npos);
        EXPECT_NE(text.find("rip 0x"), std::string::npos);
        EXPECT_NE(text.find("backtrace\n"), std::string::npos);
        EXPECT_NE(text.find("maps\n"), std::string::npos);
        EXPECT_NE(text.find("[stack]"), std::string::npos);
        ++dumps;
    }
    EXPECT_EQ(dumps, 1);
    std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace zl::app
