// Settings, source lists, the duplicate rule, limits and the resume-info file.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <future>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

#include "engine/core/api/duplicate_rule.h"
#include "engine/core/task/half_open_limit.h"
#include "engine/base/message_box.h"
#include "engine/core/task/metainfo_source.h"
#include "engine/core/task/pool_trim.h"
#include "engine/core/task/resume_info.h"
#include "engine/core/task/source_lines.h"
#include "engine/core/task/task_settings.h"
#include "engine/core/task/task_status.h"
#include "tests/support/temp_dir.h"

namespace zl {
namespace {

TEST(TaskSettings, OutOfRangeValuesFallBackToDefaults) {
    struct Case {
        int32_t TaskSettings::*field;
        int32_t value;
        int32_t expected;
    };
    const Case cases[] = {
        {&TaskSettings::connection_budget, 0, 52},      {&TaskSettings::connection_budget, 20480, 20480},
        {&TaskSettings::connection_budget, 20481, 52},  {&TaskSettings::connections_per_server, 21, 1},
        {&TaskSettings::connections_per_server, 20, 20}, {&TaskSettings::memory_cache_units, 8001, 64},
        {&TaskSettings::memory_cache_units, 1, 1},      {&TaskSettings::seeding_hours, -1, 12},
        {&TaskSettings::seeding_hours, 0, 0},           {&TaskSettings::download_limit_kib, 40000, 0},
        {&TaskSettings::download_limit_kib, 32766, 32766}, {&TaskSettings::upload_limit_kib, -5, 0},
    };
    for (const Case& c : cases) {
        TaskSettings s;
        s.*c.field = c.value;
        NormaliseTaskSettings(s);
        EXPECT_EQ(s.*c.field, c.expected) << "value " << c.value;
    }
    TaskSettings defaults;
    EXPECT_EQ(defaults.metainfo_time_limit_s, 45);
    EXPECT_TRUE(defaults.random_start);
}

TEST(TaskSourceLines, SplitsAtEveryBreakAndTrimsControlBytes) {
    using V = std::vector<std::string>;
    const std::map<std::string, V> cases = {
        {"", V{}},
        {"a", V{"a"}},
        {"a\r\nb\nc\rd", V{"a", "b", "c", "d"}},
        {" \ta\t \r\n\r\nb", V{"a", "", "b"}},  // empty lines are kept
        {"a\n", V{"a"}},
        {"a\n\n", V{"a", ""}},
        {"\x01x\x20", V{"x"}},
    };
    for (const auto& [text, expected] : cases) EXPECT_EQ(SplitSourceLines(text), expected) << text;
}

TEST(TaskDuplicateRule, Table) {
    using V = std::vector<std::string>;
    struct Side {
        bool p2sp, bt, full_path;
        std::string target, meta;
        V sources;
    };
    struct Case {
        const char* what;
        Side n, r;
        bool duplicate;
    };
    const V four = {"http://a/1", "http://b/1", "http://c/1", "http://d/1"};
    const Case cases[] = {
        {"same explicit target", {false, false, true, "/d/f", "", {}}, {false, false, true, "/d/f", "", {}}, true},
        {"target equal but one not full-path", {false, false, true, "/d/f", "", {}}, {false, false, false, "/d/f", "", {}}, false},
        {"same metainfo, both P2SP", {true, false, false, "", "file:///t", {}}, {true, false, false, "", "file:///t", {}}, true},
        {"same metainfo, P2SP and BT", {true, false, false, "", "file:///t", {}}, {false, true, false, "", "file:///t", {}}, true},
        {"same metainfo, one HTTP task", {true, false, false, "", "x", {}}, {false, false, false, "", "x", {}}, false},
        {"1 of 4 shared: 4/1 > 2", {false, false, false, "", "", four}, {false, false, false, "", "", {"http://a/1"}}, false},
        {"2 of 4 shared: 4/2 = 2", {false, false, false, "", "", four}, {false, false, false, "", "", {"http://b/1", "http://a/1"}}, true},
        {"nothing shared", {false, false, false, "", "", four}, {false, false, false, "", "", {"http://z/1"}}, false},
        {"only blank lines shared", {false, false, false, "", "", {"", "http://a/1"}}, {false, false, false, "", "", {"", "http://q/1"}}, false},
        {"blank lines do not dilute", {false, false, false, "", "", {"", "", "", "http://a/1"}}, {false, false, false, "", "", {"http://a/1"}}, true},
    };
    for (const Case& c : cases) {
        const TaskIdentityView n{c.n.p2sp, c.n.bt, c.n.full_path, &c.n.target, &c.n.meta, &c.n.sources};
        const TaskIdentityView r{c.r.p2sp, c.r.bt, c.r.full_path, &c.r.target, &c.r.meta, &c.r.sources};
        EXPECT_EQ(IsDuplicateTask(n, r), c.duplicate) << c.what;
    }
}

TEST(TaskHalfOpenLimit, ProbeResultBecomesTheLimit) {
    const std::pair<int32_t, int32_t> cases[] = {{10, 8}, {-1, 32}, {-6, 32}, {2, 32}, {3, 1}, {34, 32}, {40, 32}, {INT32_MIN, 32}};
    for (auto [probe, limit] : cases) EXPECT_EQ(HalfOpenLimitFromProbe(probe), limit) << probe;
    EXPECT_EQ(HalfOpenLimitFromProbe(ProbeHalfOpenLimit()), 32);
}

TEST(TaskPoolTrim, TrimsOnlyLargeUnderusedPools) {
    constexpr int64_t KiB = 1024;
    struct Case {
        TrimPoolKind kind;
        int64_t in_use, free;
        int percent;
        std::optional<int64_t> limit;
    };
    const Case cases[] = {
        {TrimPoolKind::kRequestRecords, 0, 0, 15, std::nullopt},         // empty: no division by zero
        {TrimPoolKind::kRequestRecords, 100, 500, 15, std::nullopt},     // under 1 KiB in total
        {TrimPoolKind::kRequestRecords, 100 * KiB, 2000 * KiB, 0, std::nullopt},
        {TrimPoolKind::kRequestRecords, 100 * KiB, 2000 * KiB, 15, 100 * KiB / 5},
        {TrimPoolKind::kRequestRecords, 100 * KiB, 900 * KiB, 15, std::nullopt},  // total not over 1 MiB
        {TrimPoolKind::kRequestRecords, 1000 * KiB, 1000 * KiB, 15, std::nullopt},  // 50 % in use
        {TrimPoolKind::kSocketBuffers, 10 * KiB, 1030 * KiB, 35, 10 * KiB / 5},
        {TrimPoolKind::kSocketBuffers, 10 * KiB, 1024 * KiB, 35, std::nullopt},  // free part not over 1 MiB
    };
    for (const Case& c : cases) EXPECT_EQ(TrimByUsageLimit(c.kind, c.in_use, c.free, c.percent), c.limit) << c.in_use;
}

TEST(TaskStatus, ProgressUnitsUse64BitArithmetic) {
    EXPECT_EQ(ProgressUnits(0, 0), 0);
    EXPECT_EQ(ProgressUnits(5, 0), 0);
    const uint64_t four_gib = uint64_t(1) << 32;
    EXPECT_EQ(ProgressUnits(four_gib / 2, four_gib), 5000);
    EXPECT_EQ(ProgressUnits(four_gib, four_gib), 10000);
    EXPECT_EQ(ProgressUnits(four_gib - 1, four_gib), 9999);
}

TEST(TaskMessageBox, InstallationIdIsAppendedInFullWidthParentheses) {
    EXPECT_EQ(WithInstallationId("text", ""), "text");
    EXPECT_EQ(WithInstallationId("text", "ABC"), "text\n（ABC）");
}

class WithTempDir : public ::testing::Test {
protected:
    std::string Write(const std::string& name, const std::string& bytes) {
        const std::string path = dir_ + "/" + name;
        EXPECT_TRUE(WriteFileReplacing(path, bytes));
        return path;
    }
    test::TempDir sandbox_{"zl-task"};
    const std::string dir_ = sandbox_.path();
};

// A stand-in for the bencode codec: "key=value;" pairs, enough to follow the blobs.
class PairCodec : public ResumeInfoCodec {
public:
    bool Decode(std::string_view bytes, std::array<std::string, ResumeBlobs::kCount>& out) override {
        if (bytes.substr(0, 1) != "d") return false;
        for (int k = 0; k < ResumeBlobs::kCount; ++k) {
            const std::string key = std::string(ResumeBlobs::kNames[k]) + "=";
            const size_t at = bytes.find(key);
            if (at == std::string_view::npos) continue;
            const size_t end = bytes.find(';', at);
            out[k] = std::string(bytes.substr(at + key.size(), end - at - key.size()));
        }
        return true;
    }
    std::string Encode(const std::array<std::string, ResumeBlobs::kCount>& values) override {
        ++encodes;
        if (fail) throw std::runtime_error("encoder failure");
        std::string s = "d";
        for (int k = 0; k < ResumeBlobs::kCount; ++k)
            if (!values[k].empty()) s += std::string(ResumeBlobs::kNames[k]) + "=" + values[k] + ";";
        return s;
    }
    int encodes = 0;
    bool fail = false;
};

using TaskResumeInfo = WithTempDir;

TEST_F(TaskResumeInfo, LoadKeepsLongValuesAndSavesOnlyWhenDirty) {
    PairCodec codec;
    const std::string path = Write("t.zlinfo", "dbits=BBBB;part=PP;seeds=SEEDS;torrent=d4:xxxe;");
    ResumeBlobs blobs;
    blobs.Set(ResumeBlobs::kPart, "old-part");
    LoadResumeInfo(path, &codec, blobs);
    EXPECT_EQ(blobs.value[ResumeBlobs::kBits], "BBBB");
    EXPECT_EQ(blobs.value[ResumeBlobs::kPart], "old-part");  // 2 bytes or less is ignored
    EXPECT_EQ(blobs.value[ResumeBlobs::kSeeds], "SEEDS");
    EXPECT_FALSE(blobs.AnyDirty());

    // Nothing changed since the load: nothing is written.
    ASSERT_EQ(::unlink(path.c_str()), 0);
    EXPECT_TRUE(SaveResumeInfo(path, &codec, blobs));
    EXPECT_EQ(codec.encodes, 0);
    EXPECT_NE(::access(path.c_str(), F_OK), 0);

    blobs.Set(ResumeBlobs::kBits, "NEWBITS");
    EXPECT_TRUE(SaveResumeInfo(path, &codec, blobs));
    std::string written;
    ASSERT_TRUE(ReadFileBytes(path, written));
    EXPECT_EQ(written, "dbits=NEWBITS;part=old-part;seeds=SEEDS;torrent=d4:xxxe;");  // seeds written back unchanged
    EXPECT_FALSE(blobs.AnyDirty());
}

TEST_F(TaskResumeInfo, FailedSaveKeepsOldFileAndDirtyFlags) {
    PairCodec codec;
    const std::string path = Write("t.zlinfo", "dbits=OLDBITS;");
    ResumeBlobs blobs;
    blobs.Set(ResumeBlobs::kBits, "NEWBITS");
    // The folder of the file cannot be made (a file stands in its place): nor can the temporary file.
    EXPECT_FALSE(SaveResumeInfo(path + "/t.zlinfo", &codec, blobs));
    EXPECT_TRUE(blobs.dirty[ResumeBlobs::kBits]);
    codec.fail = true;
    EXPECT_THROW(SaveResumeInfo(path, &codec, blobs), std::runtime_error);
    std::string kept;
    ASSERT_TRUE(ReadFileBytes(path, kept));
    EXPECT_EQ(kept, "dbits=OLDBITS;");
    EXPECT_TRUE(blobs.AnyDirty());
    // Without a codec nothing is touched.
    EXPECT_FALSE(SaveResumeInfo(path, nullptr, blobs));
    ResumeBlobs untouched;
    LoadResumeInfo(path, nullptr, untouched);
    EXPECT_TRUE(untouched.value[ResumeBlobs::kBits].empty());
}

using TaskMetainfoFile = WithTempDir;

TEST_F(TaskMetainfoFile, OnlyReadableDictionariesAreAccepted) {
    const std::string good = Write("good.torrent", "d4:infod4:name1:xee");
    const std::string upper = Write("upper.torrent", "Dxy");
    const std::string list = Write("list.torrent", "l4:spame");
    const std::string tiny = Write("tiny.torrent", "de");
    EXPECT_TRUE(ReadMetainfoFile("file://" + good).has_value());
    EXPECT_TRUE(ReadMetainfoFile("FILE://" + upper).has_value());
    EXPECT_FALSE(ReadMetainfoFile("file://" + list).has_value());
    EXPECT_FALSE(ReadMetainfoFile("file://" + tiny).has_value());
    EXPECT_FALSE(ReadMetainfoFile("file://" + dir_ + "/absent.torrent").has_value());
    EXPECT_FALSE(ReadMetainfoFile("file://" + dir_).has_value());  // a folder
    EXPECT_FALSE(ReadMetainfoFile(good).has_value());              // no scheme
    EXPECT_FALSE(ReadMetainfoFile("file:/").has_value());
    // A FIFO is refused at once instead of waiting for a writer.
    const std::string fifo = dir_ + "/fifo.torrent";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0644), 0);
    std::future<bool> read = std::async(std::launch::async, [&] { return ReadMetainfoFile("file://" + fifo).has_value(); });
    const bool answered = read.wait_for(std::chrono::seconds(5)) == std::future_status::ready;
    if (!answered) ::close(::open(fifo.c_str(), O_WRONLY | O_NONBLOCK));  // lets the test end
    ASSERT_TRUE(answered) << "the read waited on the FIFO";
    EXPECT_FALSE(read.get());
}

}  // namespace
}  // namespace zl
