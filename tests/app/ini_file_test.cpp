#include "app/ini_file.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "app/finish_info.h"
#include "app/limit_split.h"
#include "engine/meta/atomic_file.h"
#include "tests/support/temp_dir.h"

namespace zl::app {
namespace {

TEST(IniFile, ReadsLikeTheProfileApi) {
    IniFile ini;
    ini.Parse("; comment\r\n[ZephyrloaderTask]\r\n  ZephyrloaderTaskHash = abc \r\nZephyrloaderTaskLink=150x\r\n"
              "Quoted=\"a b\"\r\nSingle='c'\r\n# Hidden=1\r\n[Other]\r\nZephyrloaderTaskHash=other\r\n");
    EXPECT_EQ(ini.Get("zephyrloadertask", "ZEPHYRLOADERTASKHASH"), "abc");
    EXPECT_EQ(ini.GetInt("ZephyrloaderTask", "ZephyrloaderTaskLink", 7), 150);
    EXPECT_EQ(ini.GetInt("ZephyrloaderTask", "Missing", 7), 7);
    EXPECT_EQ(ini.Get("ZephyrloaderTask", "Quoted"), "a b");
    EXPECT_EQ(ini.Get("ZephyrloaderTask", "Single"), "c");
    EXPECT_FALSE(ini.Get("ZephyrloaderTask", "# Hidden"));
    EXPECT_EQ(ini.Get("Other", "ZephyrloaderTaskHash"), "other");
    EXPECT_FALSE(ini.Get("Nowhere", "x"));
}

TEST(IniFile, WritesKeepOtherLinesAndSaveAtomically) {
    const zl::test::TempDir sandbox;
    const std::string dir = sandbox / "ini_write";
    std::filesystem::remove_all(dir);
    IniFile ini(dir + "/sub/a.zlconf");
    EXPECT_FALSE(ini.Load());
    ini.Parse("; keep me\n[S]\nA=1\n\n[T]\nB=2\n");
    EXPECT_TRUE(ini.Set("s", "a", "10"));
    EXPECT_TRUE(ini.Set("S", "C", "3"));
    EXPECT_TRUE(ini.Set("New", "K", "v"));
    EXPECT_FALSE(ini.Set("S", "D", "line\nZephyrloaderTaskHash=x"));  // a newline would add a key
    EXPECT_TRUE(ini.Dirty());
    ASSERT_TRUE(ini.Save());
    EXPECT_EQ(*ReadWholeFile(dir + "/sub/a.zlconf"), "; keep me\n[S]\na=10\nC=3\n\n[T]\nB=2\n[New]\nK=v\n");
    IniFile again(dir + "/sub/a.zlconf");
    ASSERT_TRUE(again.Load());
    EXPECT_EQ(again.Get("S", "A"), "10");
    EXPECT_FALSE(again.Dirty());
}

TEST(ConnectionSetting, OutsideTenToTwoHundredGivesThirtySix) {
    for (auto [configured, expected] : {std::pair<int64_t, int32_t>{5, 36}, {500, 36}, {150, 150}, {10, 10},
                                        {200, 200}, {9, 36}, {201, 36}, {0, 36}})
        EXPECT_EQ(ServerConnectionTotal(configured), expected) << configured;
}

TEST(LimitSplit, ConnectionsAreSharedWithTheRemainderFirst) {
    auto servers = [](int32_t total, int32_t n) {
        std::vector<int32_t> out;
        for (const ConnectionShare& s : SplitConnections(total, 108, n)) out.push_back(s.servers);
        return out;
    };
    EXPECT_EQ(servers(36, 3), (std::vector<int32_t>{12, 12, 12}));
    EXPECT_EQ(servers(36, 4), (std::vector<int32_t>{9, 9, 9, 9}));
    EXPECT_EQ(servers(37, 4), (std::vector<int32_t>{10, 9, 9, 9}));
    EXPECT_EQ(servers(2, 4), (std::vector<int32_t>{1, 1, 1, 1}));  // at least one each
    EXPECT_TRUE(SplitConnections(36, 108, 0).empty());
    EXPECT_EQ(SplitConnections(36, 108, 4)[0].peers, 27);
}

TEST(LimitSplit, SpeedLimitPerTask) {
    struct Case {
        int32_t limit, active, expected;
    } cases[] = {
        {15, 2, 10},      // never below 10 KiB/s
        {100, 2, 50},     {100, 1, 100}, {100, 0, 100},
        {0, 3, 0},        // none
        {32767, 4, 0},    // "none" as stored is no limit, not 8191 each
        {5, 1, 10},
    };
    for (const Case& c : cases) EXPECT_EQ(TaskSpeedLimit(c.limit, c.active), c.expected) << c.limit << "/" << c.active;
}

TEST(FinishInfo, FourTextsMustAllMatch) {
    const zl::test::TempDir sandbox;
    const std::string path = sandbox / "finish_info_file";
    ASSERT_TRUE(WriteFileAtomic(path, "data"));
    IniFile ini;
    const FileStamp stamp = StampOf(path);
    ASSERT_TRUE(stamp.exists);
    EXPECT_FALSE(FinishInfoUnchanged(ini, 2, stamp));
    RecordFinishInfo(ini, 2, stamp);
    EXPECT_TRUE(FinishInfoUnchanged(ini, 2, stamp));
    EXPECT_FALSE(FinishInfoUnchanged(ini, 1, stamp));
    FileStamp touched = stamp;
    touched.write_time += 1;
    EXPECT_FALSE(FinishInfoUnchanged(ini, 2, touched));
    EXPECT_TRUE(ini.Get("ZephyrloaderFinishInfo", "ZephyrloaderTask2FileSizeLow") == "4");
    EXPECT_FALSE(FinishInfoUnchanged(ini, 2, StampOf(path + ".missing")));
}

}  // namespace
}  // namespace zl::app
