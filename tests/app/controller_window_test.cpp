// The controller's entries for the window (folder and close buttons, the
// snapshot's flags), the driver thread on a manual fake clock, and the
// window's pure helpers (speed-limit check, piece coverage).
#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <mutex>

#include "app/controller_driver.h"
#include "app/window_texts.h"
#include "tests/app/window_harness.h"
#include "tests/support/temp_dir.h"

namespace zl::app {
namespace {

using testing::ControllerHarness;
using testing::RecordingUi;

// One folder per test inside this run's own sandbox (removed when the run ends).
std::string Root() {
    static const zl::test::TempDir sandbox("window");
    return sandbox / ::testing::UnitTest::GetInstance()->current_test_info()->name();
}

// Runs the timers for `seconds` of fake time without a driver.
void RunTimers(ControllerHarness& h, AppController& c, int seconds) {
    for (int s = 0; s < seconds; ++s) {
        for (int k = 0; k < 10; ++k) {
            h.clock.Advance(100);
            c.StateUpdate();
        }
        c.Tick();
    }
}

TEST(ControllerWindow, FolderButtonBrowsesBeforeTheDownloadThenShowsTheFolder) {
    RecordingUi ui;  // outlives the harness, whose end reports to it
    ControllerHarness h(Root());
    AppController& c = h.Make(ui);
    ASSERT_EQ(c.StartUp(), 0);
    FolderRequest r = c.FolderButton();
    EXPECT_EQ(r.kind, FolderRequest::kBrowse);
    EXPECT_EQ(r.path, h.Root() + "/save");
    // A chosen folder becomes folder/TLV300 and the state 1, also from state 0.
    std::filesystem::create_directories(h.Root() + "/other");
    EXPECT_TRUE(c.SetSaveFolder(h.Root() + "/other"));
    EXPECT_EQ(c.SavePath(), h.Root() + "/other/TLV300");
    EXPECT_EQ(c.State(), kStateReady);
    // Browsing starts at the nearest folder that exists.
    EXPECT_TRUE(c.SetSaveFolder(h.Root() + "/gone/deeper"));
    EXPECT_EQ(c.FolderButton().path, h.Root());

    EXPECT_TRUE(c.SetSaveFolder(h.Root() + "/save"));
    c.MainAction();
    ASSERT_EQ(c.State(), kStatePreparing);
    EXPECT_FALSE(c.SetSaveFolder(h.Root() + "/other"));  // not once the download has begun
    r = c.FolderButton();
    EXPECT_EQ(r.kind, FolderRequest::kOpen);
    EXPECT_EQ(r.path, h.Root() + "/save/TLV300");
    std::filesystem::remove_all(h.Root() + "/save");
    EXPECT_EQ(c.FolderButton().kind, FolderRequest::kNone);
    EXPECT_EQ(ui.Messages(), std::vector<std::string>{"下载位置不存在"});
}

TEST(ControllerWindow, CloseChoiceIsRememberedAcrossStarts) {
    RecordingUi ui;  // outlives the harness, whose end reports to it
    ControllerHarness h(Root());
    {
        AppController& c = h.Make(ui);
        c.StartUp();
        EXPECT_EQ(c.CloseButton(), CloseAction::kAsk);
        EXPECT_EQ(c.ApplyCloseChoice(3, true), CloseAction::kNone);  // no such choice: nothing stored
        EXPECT_EQ(c.ApplyCloseChoice(2, false), CloseAction::kExit);
        EXPECT_EQ(h.IniText().find("ZephyrloaderCloseSelection"), std::string::npos);
        EXPECT_EQ(c.ApplyCloseChoice(1, true), CloseAction::kMinimise);
        EXPECT_NE(h.IniText().find("ZephyrloaderCloseSelection=1"), std::string::npos);
        EXPECT_EQ(c.CloseButton(), CloseAction::kMinimise);
        h.Exit();
    }
    AppController& again = h.Make(ui);
    again.StartUp();
    EXPECT_EQ(again.View().close_selection, 1);
    EXPECT_EQ(again.CloseButton(), CloseAction::kMinimise);
}

TEST(ControllerWindow, SnapshotCarriesWhatTheWindowShows) {
    RecordingUi ui;  // outlives the harness, whose end reports to it
    ControllerHarness h(Root());
    AppController& c = h.Make(ui);
    c.StartUp();
    c.SetSpeedLimit(300);
    ControllerView v = c.View();
    EXPECT_EQ(v.save_path, h.Root() + "/save/TLV300");
    EXPECT_EQ(v.speed_limit_kib, 300);
    c.SetSpeedLimit(0);
    EXPECT_EQ(c.View().speed_limit_kib, 0);

    c.MainAction();
    h.engine.Task("Data300.zip").progress = 2500;
    h.engine.Task("Data300.zip").bitfield = {0xF0, 0x80};
    h.engine.Task("Data300.zip").bits = 9;
    RunTimers(h, c, 2);
    v = c.View();
    EXPECT_EQ(v.ticks, 2u);
    EXPECT_TRUE(v.files[1].progress_ok);
    EXPECT_EQ(v.files[1].bits, 9);
    EXPECT_EQ(v.files[1].bitfield, (std::vector<uint8_t>{0xF0, 0x80}));
    EXPECT_EQ(MakeWindowTexts(v).files[1].status, "25.00%    ");
    EXPECT_EQ(MakeWindowTexts(v).files[0].status, "未开始    ");

    // A repair that made the file match shows as such once verified.
    h.CompleteAll();
    RunTimers(h, c, 2);
    ASSERT_EQ(c.State(), kStateFinished);
    std::string bad = testing::ControllerHarness::Content(2);
    bad[3] ^= 1;
    ASSERT_TRUE(WriteFileAtomic(h.Target(2), bad));
    h.engine.repair_content[h.Target(2)] = testing::ControllerHarness::Content(2);
    c.Verify(false);
    for (int i = 0; i < 200 && c.State() != kStateCheckFinished; ++i) {
        h.clock.Advance(1000);  // the repair waits a second of fake time between queries
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    c.WaitForBackgroundWork();
    v = c.View();
    ASSERT_EQ(v.state, kStateCheckFinished);
    EXPECT_TRUE(v.repaired);
    EXPECT_TRUE(v.repair_reported);
    EXPECT_EQ(*MakeWindowTexts(v).status, "√ 修复成功");
}

TEST(ControllerDriver, RunsTimersAndCommandsOnItsThread) {
    RecordingUi ui;  // outlives the harness, whose end reports to it
    ControllerHarness h(Root());
    AppController& c = h.Make(ui);
    std::mutex m;
    std::vector<ControllerView> seen;
    ControllerDriver driver(c, h.clock, [&](const ControllerView& v) {
        std::lock_guard lock(m);
        seen.push_back(v);
    });
    auto published = [&] {
        std::lock_guard lock(m);
        return seen;
    };
    driver.Start([](AppController& a) { a.StartUp(); });
    driver.Sync();
    ASSERT_EQ(published().size(), 1u);  // after start-up
    EXPECT_EQ(published().back().state, kStateReady);

    h.clock.Advance(999);
    driver.Sync();
    EXPECT_EQ(published().size(), 1u);  // updates without a change publish nothing
    h.clock.Advance(1);
    driver.Sync();
    ASSERT_EQ(published().size(), 2u);  // the first tick
    EXPECT_EQ(published().back().ticks, 1u);

    // A press runs on the driver's thread and is published at once.
    driver.Post([](AppController& a) { a.MainAction(); });
    driver.Sync();
    EXPECT_EQ(published().back().state, kStatePreparing);

    // Three seconds at once: three ticks, each after the updates of its second.
    h.engine.Task("Data300.zip").progress = 100;
    h.clock.Advance(3000);
    driver.Sync();
    EXPECT_EQ(published().back().ticks, 4u);
    EXPECT_EQ(published().back().state, kStateReload);
    EXPECT_EQ(c.View().ticks, 4u);

    // A suspended machine does not replay every missed period.
    h.clock.Advance(60'000);
    driver.Sync();
    EXPECT_LE(c.View().ticks, 7u);

    // Stop runs what was posted before it; later posts are dropped.
    std::atomic<int> ran{0};
    driver.Post([&](AppController&) { ++ran; });
    driver.Stop();
    driver.Post([&](AppController&) { ++ran; });
    EXPECT_EQ(ran.load(), 1);
    EXPECT_FALSE(driver.Running());
}

TEST(WindowHelpers, SpeedLimitCheck) {
    struct Case {
        bool limited;
        const char* text;
        bool ok;
        int32_t kib;
    };
    for (const Case& k : {Case{false, "", true, 0}, Case{false, "5", true, 0}, Case{true, "200", true, 200},
                          Case{true, "10", true, 10}, Case{true, "30000", true, 30000}, Case{true, " 42 ", true, 42},
                          Case{true, "5", false, 0}, Case{true, "9", false, 0}, Case{true, "30001", false, 0},
                          Case{true, "", false, 0}, Case{true, "-20", false, 0}, Case{true, "2e3", false, 0},
                          Case{true, "99999999999999999999", false, 0}}) {
        const SpeedLimitChoice r = CheckSpeedLimit(k.limited, k.text);
        EXPECT_EQ(r.ok, k.ok) << k.text;
        if (k.ok) {
            EXPECT_EQ(r.kib, k.kib) << k.text;
        }
    }
}

TEST(WindowHelpers, PieceCoverageReadsBitsMostSignificantFirst) {
    // 0b1010'0000 0b1...: pieces 0, 2 and 8 of 9.
    const std::vector<uint8_t> bits = {0xA0, 0x80};
    EXPECT_EQ(PieceCoverage(bits, 9, 9), (std::vector<uint8_t>{255, 0, 255, 0, 0, 0, 0, 0, 255}));
    // More columns than pieces: every column shows its piece.
    EXPECT_EQ(PieceCoverage({0x80}, 2, 4), (std::vector<uint8_t>{255, 255, 0, 0}));
    // Fewer columns: fractions.
    EXPECT_EQ(PieceCoverage({0xC0}, 4, 2), (std::vector<uint8_t>{255, 0}));
    EXPECT_EQ(PieceCoverage({0x40}, 4, 2), (std::vector<uint8_t>{127, 0}));
    // A count beyond the bytes given, and nothing at all.
    EXPECT_EQ(PieceCoverage({0xFF}, 1000, 2), (std::vector<uint8_t>{255, 255}));
    EXPECT_EQ(PieceCoverage({}, 5, 3), (std::vector<uint8_t>{0, 0, 0}));
    EXPECT_TRUE(PieceCoverage({0xFF}, 8, 0).empty());
}

}  // namespace
}  // namespace zl::app
