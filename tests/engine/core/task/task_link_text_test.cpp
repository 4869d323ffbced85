// Tasks described other than by one torrent file: a task link text in place
// of the metainfo location (or as a BitTorrent task's first source line), and
// a torrent replaced by one with another piece length, whose task carries
// over the progress it can prove.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>

#include "engine/base/fake_clock.h"
#include "engine/core/api/engine_api.h"
#include "engine/core/api/engine_codes.h"
#include "engine/core/api/engine_context.h"
#include "engine/meta/sha1.h"
#include "tests/engine/core/support/task_test_support.h"
#include "tests/engine/core/support/torrent_fixture.h"

namespace zl {
namespace {

using test::Descriptor;
using test::TaskOf;

const std::string kHash = "89ABCDEF0123456789abcdef0123456789ABCDEF";

std::string LinkText(int64_t size, int64_t piece_length, const std::string& marker_left_out = "") {
    std::string text = "$Hash$" + kHash + "$Size$" + std::to_string(size) + "$Length$" +
                       std::to_string(piece_length) + "$Tracker$http$$$127.0.14.9:1/announce$End$";
    if (!marker_left_out.empty()) text.erase(text.find(marker_left_out), marker_left_out.size());
    return text;
}

bool Exists(const std::string& path) { return ::access(path.c_str(), F_OK) == 0; }

class TaskLinkText : public ::testing::Test {
protected:
    TaskLinkText() : engine(clock) {}
    void SetUp() override { ASSERT_EQ(EngineStartup(engine, dir.path().c_str()), ENGINE_OK); }
    void TearDown() override { EngineCleanup(engine); }

    // Waits until the worker has built its piece map (or has ended).
    TaskStatus WaitForPrepared(TaskHandle h) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        for (;;) {
            const TaskStatus s = TaskOf(h)->PublishedStatus();
            if (s.state == kTaskStateRunning || TaskOf(h)->GetThreadId() == 0) return s;
            if (std::chrono::steady_clock::now() > deadline) {
                ADD_FAILURE() << "the task was not prepared";
                return s;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }

    FakeClock clock{FakeClock::Mode::AutoAdvance};
    test::TempDir dir;
    EngineContext engine;
};

TEST_F(TaskLinkText, ALinkTextReachesTheReader) {
    const std::string text = LinkText(5000000, 2097152);
    struct Row {
        const char* what;
        uint32_t flags;
        std::string metainfo, sources, target, file;
    } rows[] = {
        // No mirror beside the text: a dead one would let the auto-advancing clock reach the no-data stop.
        {"first source line of a BitTorrent task", kTaskFlagBt, "", text + "\n",
         dir.path() + "/bt", dir.path() + "/bt/001.zlinfo"},
        {"metainfo location of a P2SP task", kTaskFlagP2sp, text, "", dir.path() + "/p2sp",
         dir.path() + "/p2sp/001.zlinfo"},
        {"with an explicit target path", kTaskFlagP2sp | kTaskFlagFullPath, text, "", dir.path() + "/chosen.bin",
         dir.path() + "/chosen.bin"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        auto d = Descriptor(row.flags, row.metainfo, row.sources.c_str(), row.target);
        ASSERT_EQ(TaskCreateAndStart(engine, d.get()), ENGINE_OK);
        const TaskStatus s = WaitForPrepared(d->handle);
        EXPECT_EQ(s.status, STATUS_DOWNLOADING);
        TaskTorrentInfo info;
        ASSERT_EQ(TaskOf(d->handle)->GetTorrentInfo(info), ENGINE_OK);
        EXPECT_EQ(info.total_size, 5000000u);
        EXPECT_EQ(info.piece_length, 2097152);
        EXPECT_EQ(std::string(info.info_hash), "89abcdef0123456789abcdef0123456789abcdef");
        EXPECT_EQ(std::string(info.announce), "http://127.0.14.9:1/announce");
        EXPECT_EQ(s.piece_count, 3);
        // The one file is prepared where the text says; nothing is verified yet.
        EXPECT_TRUE(Exists(row.file + ".zltmp") || Exists(row.file)) << row.file;
        EXPECT_EQ(s.downloaded, 0u);
        ASSERT_EQ(TaskStop(engine, d->handle, 1), ENGINE_OK);
        // The next row's task would duplicate this one.
        ASSERT_EQ(EngineCleanup(engine), ENGINE_OK);
        ASSERT_EQ(EngineStartup(engine, dir.path().c_str()), ENGINE_OK);
    }
}

TEST_F(TaskLinkText, AnUnreadableLinkTextEndsTheTaskAtOnce) {
    for (const std::string& text : {LinkText(5000, 16384, "$Size$"), LinkText(5000, 0), LinkText(5000, 16385)}) {
        SCOPED_TRACE(text);
        auto d = Descriptor(kTaskFlagP2sp, text, "", dir.path());
        ASSERT_EQ(TaskCreateAndStart(engine, d.get()), ENGINE_OK);
        ASSERT_TRUE(test::WaitForWorkerEnd(d->handle));
        TaskProgressInfo info;
        ASSERT_EQ(TaskGetProgress(engine, d->handle, &info), ENGINE_OK);
        EXPECT_EQ(info.status, STATUS_METAINFO_FAILED);
        ASSERT_EQ(TaskStop(engine, d->handle, 1), ENGINE_OK);
    }
}

// The content: 1 MiB, bytes that differ piece by piece.
std::string Content() {
    std::string s(1 << 20, '\0');
    for (size_t i = 0; i < s.size(); ++i) s[i] = char((i * 131 + i / 977) & 0xff);
    return s;
}

TEST_F(TaskLinkText, AReplacedTorrentKeepsTheProgressItCanProve) {
    const std::string content = Content();
    const std::string data = dir.path() + "/data";
    ASSERT_EQ(::mkdir(data.c_str(), 0755), 0);
    // 384 KiB of the file are there: 24 pieces of 16 KiB.
    std::string on_disk = content;
    std::fill(on_disk.begin() + 384 * 1024, on_disk.end(), '\0');
    WriteFileReplacing(data + "/pkg.bin", on_disk);
    const std::string torrent = dir.File("pkg.torrent", test::SingleFileTorrent("pkg.bin", content, 16384));
    const std::string resume = dir.path() + "/pkg.zlinfo";
    {
        auto d = Descriptor(kTaskFlagP2sp, "file://" + torrent, "", data, resume);
        ASSERT_EQ(TaskCreateAndStart(engine, d.get()), ENGINE_OK);
        WaitForPrepared(d->handle);
        TaskProgressInfo info;
        ASSERT_EQ(TaskGetProgress(engine, d->handle, &info), ENGINE_OK);
        EXPECT_EQ(info.downloaded, 384u * 1024);
        ASSERT_EQ(TaskStop(engine, d->handle, 0), ENGINE_OK);  // keeps the resume file
    }
    // The same file, described in pieces of 256 KiB: piece 0 is proven, and the
    // first 128 KiB of piece 1 go on as its written part.
    WriteFileReplacing(torrent, test::SingleFileTorrent("pkg.bin", content, 256 * 1024));
    auto d = Descriptor(kTaskFlagP2sp, "file://" + torrent, "", data, resume);
    ASSERT_EQ(TaskRecoverAndContinue(engine, d.get(), 1), ENGINE_OK);  // the stopped task is still registered
    WaitForPrepared(d->handle);
    TaskProgressInfo info;
    ASSERT_EQ(TaskGetProgress(engine, d->handle, &info), ENGINE_OK);
    EXPECT_EQ(info.downloaded, 256u * 1024);
    ASSERT_EQ(TaskStop(engine, d->handle, 0), ENGINE_OK);
    std::string saved;
    ASSERT_TRUE(ReadFileBytes(resume, saved));
    EXPECT_NE(saved.find("5:Indexi1e4:Parti131072e"), std::string::npos) << "piece 1 continues from 128 KiB";
}

}  // namespace
}  // namespace zl
