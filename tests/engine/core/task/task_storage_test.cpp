// A task over real files: the piece map it builds from a real torrent checks
// what is on disk, reports it through the flat interface, keeps it in the
// resume file across a restart, and reports a full disk.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <arpa/inet.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "engine/core/sched/block_read.h"
#include "engine/core/api/engine_api.h"
#include "engine/core/api/engine_codes.h"
#include "engine/core/api/engine_context.h"
#include "engine/base/fake_clock.h"
#include "engine/meta/disk_space.h"
#include "engine/meta/pieces.h"
#include "engine/meta/sha1.h"
#include "tests/engine/core/support/task_test_support.h"
#include "tests/engine/core/support/torrent_fixture.h"
#include "tests/support/wait_for.h"

namespace zl {
namespace {

using test::Descriptor;
using test::TaskOf;
using test::WaitForWorkerEnd;

constexpr int64_t kPiece = 16384;

std::string Bytes(int64_t n, uint8_t seed) {
    std::string s(static_cast<size_t>(n), '\0');
    for (int64_t i = 0; i < n; ++i) s[static_cast<size_t>(i)] = static_cast<char>((i * 131 + seed + i / 977) & 0xff);
    return s;
}

std::string Str(const std::string& s) { return std::to_string(s.size()) + ":" + s; }

// A torrent as a maker writes it: one file, or a folder of files (name, size).
std::string MakeTorrent(const std::string& name, const std::vector<std::pair<std::string, int64_t>>& files,
                        const std::string& data) {
    std::string info = "d";
    if (files.size() == 1 && files[0].first.empty()) {
        info += "6:lengthi" + std::to_string(files[0].second) + "e";
    } else {
        info += "5:filesl";
        for (const auto& [file, size] : files) info += "d6:lengthi" + std::to_string(size) + "e4:pathl" + Str(file) + "ee";
        info += "e";
    }
    info += "4:name" + Str(name) + "12:piece lengthi" + std::to_string(kPiece) + "e6:pieces" + Str(test::PieceHashes(data, kPiece)) + "e";
    return "d8:announce" + Str("http://127.0.0.2:1/announce") + "4:info" + info + "e";
}

bool Exists(const std::string& path) { return ::access(path.c_str(), F_OK) == 0; }

int64_t SizeOf(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 ? st.st_size : -1;
}

// Flips one byte in place; `keep_time` puts the file's times back as they were.
void FlipByte(const std::string& path, int64_t offset, bool keep_time) {
    struct stat before {};
    ASSERT_EQ(::stat(path.c_str(), &before), 0);
    const int fd = ::open(path.c_str(), O_RDWR);
    ASSERT_GE(fd, 0);
    uint8_t b = 0;
    ASSERT_EQ(::pread(fd, &b, 1, offset), 1);
    b ^= 0x5a;
    ASSERT_EQ(::pwrite(fd, &b, 1, offset), 1);
    ::close(fd);
    timespec times[2] = {before.st_atim, before.st_mtim};
    if (!keep_time) times[1].tv_sec += 5;
    ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
}

class SwitchableSpace : public DiskSpaceProbe {
public:
    std::optional<uint64_t> FreeBytes(const std::string&) override { return free.load(); }
    std::atomic<uint64_t> free{uint64_t(1) << 40};
};

class TaskStorage : public ::testing::Test {
protected:
    TaskStorage() : engine(clock) {}
    void SetUp() override {
        ASSERT_EQ(EngineStartup(engine, dir.path().c_str()), ENGINE_OK);
        engine.SetDiskSpaceProbe(&space);
        data_dir = dir.path() + "/data";
        ASSERT_EQ(::mkdir(data_dir.c_str(), 0755), 0);
    }

    // One file "pkg.bin" of 4 whole pieces and a short fifth one.
    void SingleFileTorrent() {
        content = Bytes(4 * kPiece + 1000, 7);
        torrent_path = dir.File("pkg.torrent", MakeTorrent("pkg.bin", {{"", int64_t(content.size())}}, content));
    }

    std::unique_ptr<TaskDescriptor> Describe(uint32_t extra_flags = 0) {
        return Descriptor(kTaskFlagP2sp | extra_flags, "file://" + torrent_path, "", data_dir, dir.path() + "/pkg.zlinfo");
    }

    // Waits until the worker has built its piece map and checked the data (or has ended).
    TaskStatus WaitForCheck(TaskHandle h) {
        TaskStatus s;
        if (!test::WaitFor([&] {
                s = TaskOf(h)->PublishedStatus();
                return s.state == kTaskStateRunning || TaskOf(h)->GetThreadId() == 0;
            })) {
            ADD_FAILURE() << "the check did not end";
        }
        return s;
    }

    std::vector<uint8_t> Bitfield(TaskHandle h, int32_t* bits = nullptr) {
        std::vector<uint8_t> out(static_cast<size_t>(std::max(TaskGetBitfieldSize(engine, h), 0)));
        const int32_t n = out.empty() ? 0 : TaskGetBitfield(engine, h, out.data(), int32_t(out.size()));
        if (bits) *bits = n;
        return out;
    }

    FakeClock clock{FakeClock::Mode::AutoAdvance};
    test::TempDir dir;
    SwitchableSpace space;  // outlives the engine's tasks
    EngineContext engine;
    std::string data_dir, torrent_path, content;
};

TEST_F(TaskStorage, CompleteDataIsReportedCompleteAfterItsCheck) {
    struct Row {
        const char* what;
        uint32_t flags;
        bool folder;           // a torrent of two files, one piece shared between them
        const char* on_disk;   // name suffix the data is found under
    } rows[] = {
        {"full check of a temporary file", 0, false, ".zltmp"},
        {"quick check of the final file", kTaskFlagQuickCheck, false, ""},
        {"full check across two files", 0, true, ""},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        ASSERT_EQ(std::system(("rm -rf '" + data_dir + "'/*").c_str()), 0);
        std::vector<std::string> finals;
        if (row.folder) {
            content = Bytes(20000 + 30000, 3);
            torrent_path = dir.File("pkg.torrent", MakeTorrent("pkgdir", {{"a.bin", 20000}, {"b.bin", 30000}}, content));
            ASSERT_EQ(::mkdir((data_dir + "/pkgdir").c_str(), 0755), 0);
            finals = {data_dir + "/pkgdir/a.bin", data_dir + "/pkgdir/b.bin"};
            WriteFileReplacing(finals[0] + row.on_disk, content.substr(0, 20000));
            WriteFileReplacing(finals[1] + row.on_disk, content.substr(20000));
        } else {
            SingleFileTorrent();
            finals = {data_dir + "/pkg.bin"};
            WriteFileReplacing(finals[0] + row.on_disk, content);
        }
        const int32_t pieces = int32_t((content.size() + kPiece - 1) / kPiece);
        auto d = Describe(row.flags);
        ASSERT_EQ(TaskCreateAndStart(engine, d.get()), ENGINE_OK);
        WaitForCheck(d->handle);
        int32_t complete = 0;
        ASSERT_EQ(TaskIsComplete(engine, d->handle, &complete), ENGINE_OK);
        EXPECT_EQ(complete, 1);
        TaskProgressInfo info;
        ASSERT_EQ(TaskGetProgress(engine, d->handle, &info), ENGINE_OK);
        EXPECT_EQ(info.progress, 10000);
        EXPECT_EQ(info.status, STATUS_COMPLETE);
        EXPECT_EQ(info.downloaded, content.size());
        EXPECT_EQ(info.total_kib, content.size() / 1024);
        int32_t bits = 0;
        const std::vector<uint8_t> field = Bitfield(d->handle, &bits);
        EXPECT_EQ(bits, pieces);
        ASSERT_EQ(field.size(), size_t((pieces + 7) / 8));
        EXPECT_EQ(field.back(), uint8_t(0xFF << (8 * field.size() - pieces)));  // spare bits clear

        ASSERT_EQ(TaskStop(engine, d->handle, 0), ENGINE_OK);
        std::string joined;
        for (const std::string& f : finals) {
            EXPECT_FALSE(Exists(f + ".zltmp")) << f;
            std::string bytes;
            EXPECT_TRUE(ReadFileBytes(f, bytes)) << f;
            joined += bytes;
        }
        EXPECT_EQ(joined, content);
        EXPECT_FALSE(Exists(dir.path() + "/pkg.zlinfo")) << "a verified download keeps no resume file";
        ASSERT_EQ(EngineCleanup(engine), ENGINE_OK);
        ASSERT_EQ(EngineStartup(engine, dir.path().c_str()), ENGINE_OK);
    }
}

TEST_F(TaskStorage, CorruptedByteLeavesExactlyThatPieceMissing) {
    SingleFileTorrent();
    WriteFileReplacing(data_dir + "/pkg.bin", content);
    FlipByte(data_dir + "/pkg.bin", 2 * kPiece + 100, false);
    auto d = Describe();
    ASSERT_EQ(TaskCreateAndStart(engine, d.get()), ENGINE_OK);
    const TaskStatus s = WaitForCheck(d->handle);
    EXPECT_EQ(s.status, STATUS_DOWNLOADING);
    int32_t bits = 0;
    EXPECT_EQ(Bitfield(d->handle, &bits), std::vector<uint8_t>{0xD8});  // 11011: piece 2 missing
    EXPECT_EQ(bits, 5);
    TaskProgressInfo info;
    ASSERT_EQ(TaskGetProgress(engine, d->handle, &info), ENGINE_OK);
    EXPECT_EQ(info.downloaded, content.size() - kPiece);
    EXPECT_EQ(info.progress, int32_t((content.size() - kPiece) * 10000 / content.size()));
    int32_t complete = 1;
    ASSERT_EQ(TaskIsComplete(engine, d->handle, &complete), ENGINE_OK);
    EXPECT_EQ(complete, 0);
    EXPECT_EQ(TaskStop(engine, d->handle, 1), ENGINE_OK);
}

// Have notices whose index lies outside the piece count leave the bitfield as the check found it.
class HaveBoundTask : public TWorkThread {
public:
    using TWorkThread::TWorkThread;
    ~HaveBoundTask() override { Stop(); }  // the hook below uses this object

protected:
    bool BuildMetainfo() override {
        const bool built = TWorkThread::BuildMetainfo();
        // 5 and 7 fall into the spare bits of the last byte, 1000 past the copy.
        for (const int64_t index : {int64_t(5), int64_t(7), int64_t(1000), int64_t(-1)}) OnPieceEvent(kNoticeHave, 1, 4, index);
        return built;
    }
};

TEST_F(TaskStorage, HaveNoticesOutsideThePieceCountAreIgnored) {
    SingleFileTorrent();
    WriteFileReplacing(data_dir + "/pkg.bin", content);
    FlipByte(data_dir + "/pkg.bin", 2 * kPiece + 100, false);
    auto* task = new HaveBoundTask(engine);  // registered; the engine destroys it at clean-up
    task->Identity().p2sp = true;
    task->Identity().metainfo_location = "file://" + torrent_path;
    task->Identity().directory = data_dir + "/";
    const TaskHandle h = static_cast<TBaseWork*>(task);
    ASSERT_EQ(TaskStart(engine, h), ENGINE_OK);
    WaitForCheck(h);
    int32_t bits = 0;
    EXPECT_EQ(Bitfield(h, &bits), std::vector<uint8_t>{0xD8});
    EXPECT_EQ(bits, 5);
    EXPECT_EQ(TaskStop(engine, h, 1), ENGINE_OK);
}

// Stands in for a source: hands the first two pieces to the piece map from the worker loop.
class FeedingTask : public TWorkThread {
public:
    FeedingTask(EngineContext& c, std::string data) : TWorkThread(c), data_(std::move(data)) {}
    ~FeedingTask() override { Stop(); }  // the hook below uses this object

protected:
    void PeerPass() override {
        TPieces* map = PieceMap();
        if (fed_ || !map || !map->CheckFinished()) return;
        fed_ = true;
        for (int32_t piece : {0, 1}) {
            const auto* bytes = reinterpret_cast<const uint8_t*>(data_.data()) + piece * kPiece;
            const BlockWriteResult result = map->ReceiveBlock(piece, 0, int32_t(kPiece), bytes);
            EXPECT_EQ(result.bytes, int32_t(kPiece));
            EXPECT_TRUE(result.piece_verified());
        }
    }

private:
    std::string data_;
    bool fed_ = false;
};

// A file whose pieces all arrived gets its final name while the download goes on.
TEST_F(TaskStorage, CompletedFileIsRenamedDuringTheDownload) {
    content = Bytes(20000 + 30000, 5);
    torrent_path = dir.File("pkg.torrent", MakeTorrent("pkgdir", {{"a.bin", 20000}, {"b.bin", 30000}}, content));
    auto* task = new FeedingTask(engine, content);  // registered; the engine destroys it at clean-up
    task->Identity().p2sp = true;
    task->Identity().metainfo_location = "file://" + torrent_path;
    task->Identity().directory = data_dir + "/";
    const TaskHandle h = static_cast<TBaseWork*>(task);
    ASSERT_EQ(TaskStart(engine, h), ENGINE_OK);
    const std::string a = data_dir + "/pkgdir/a.bin";
    ASSERT_TRUE(test::WaitFor([&] { return Exists(a); }));
    EXPECT_FALSE(Exists(a + ".zltmp"));
    EXPECT_FALSE(Exists(data_dir + "/pkgdir/b.bin")) << "b.bin is not complete yet";
    std::string bytes;
    ASSERT_TRUE(ReadFileBytes(a, bytes));
    EXPECT_EQ(bytes, content.substr(0, 20000));
    EXPECT_EQ(Bitfield(h), std::vector<uint8_t>{0xC0});
    EXPECT_EQ(TaskStop(engine, h, 1), ENGINE_OK);
}

// The verified pieces survive a stop and an engine restart through the resume
// file; while the files are as the resume data describes them, the data is not
// read again (a byte changed behind the task's back goes unnoticed), and once
// a file's size differs, it is checked again.
TEST_F(TaskStorage, StopAndRecoverKeepsVerifiedPieces) {
    struct Row {
        const char* what;
        bool keep_time;
        int64_t cut_to;  // file size before the restart (0: unchanged)
        uint8_t expected;
        int64_t downloaded_pieces;
    } rows[] = {
        {"files as recorded: the resume data is trusted", true, 0, 0xD8, 4},
        {"a file of another size: checked again", false, 4 * kPiece, 0x50, 2},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        ASSERT_EQ(std::system(("rm -rf '" + data_dir + "'/* '" + dir.path() + "'/pkg.zlinfo*").c_str()), 0);
        SingleFileTorrent();
        const std::string file = data_dir + "/pkg.bin";
        WriteFileReplacing(file, content);
        FlipByte(file, 2 * kPiece + 100, false);
        auto d = Describe();
        ASSERT_EQ(TaskCreateAndStart(engine, d.get()), ENGINE_OK);
        WaitForCheck(d->handle);
        ASSERT_EQ(Bitfield(d->handle), std::vector<uint8_t>{0xD8});
        ASSERT_EQ(TaskStop(engine, d->handle, 0), ENGINE_OK);
        ASSERT_EQ(EngineCleanup(engine), ENGINE_OK);
        ASSERT_TRUE(Exists(dir.path() + "/pkg.zlinfo"));

        FlipByte(file, 100, row.keep_time);  // piece 0
        if (row.cut_to > 0) {
            ASSERT_EQ(::truncate(file.c_str(), row.cut_to), 0);
        }
        ASSERT_EQ(EngineStartup(engine, dir.path().c_str()), ENGINE_OK);
        auto again = Describe();
        ASSERT_EQ(TaskRecoverAndContinue(engine, again.get(), 1), ENGINE_OK);
        const TaskStatus s = WaitForCheck(again->handle);
        EXPECT_EQ(s.status, STATUS_DOWNLOADING);
        EXPECT_EQ(Bitfield(again->handle), std::vector<uint8_t>{row.expected});
        TaskProgressInfo info;
        ASSERT_EQ(TaskGetProgress(engine, again->handle, &info), ENGINE_OK);
        EXPECT_EQ(info.downloaded, uint64_t(row.downloaded_pieces == 4 ? content.size() - kPiece : row.downloaded_pieces * kPiece));
        ASSERT_EQ(TaskStop(engine, again->handle, 0), ENGINE_OK);
        ASSERT_EQ(EngineCleanup(engine), ENGINE_OK);
        ASSERT_EQ(EngineStartup(engine, dir.path().c_str()), ENGINE_OK);
    }
}

// A volume without room for the target stops the task with "disk full"; once
// space is back, the next start checks the data, sizes the file and goes on.
TEST_F(TaskStorage, FullDiskStopsTheTaskAndItRecovers) {
    SingleFileTorrent();
    const std::string file = data_dir + "/pkg.bin";
    WriteFileReplacing(file, content.substr(0, 2 * kPiece));
    space.free = 0;
    auto d = Describe();
    ASSERT_EQ(TaskCreateAndStart(engine, d.get()), ENGINE_OK);
    ASSERT_TRUE(WaitForWorkerEnd(d->handle));
    TaskProgressInfo info;
    ASSERT_EQ(TaskGetProgress(engine, d->handle, &info), ENGINE_OK);
    EXPECT_EQ(info.status, STATUS_DISK_FULL);
    EXPECT_EQ(SizeOf(file), 2 * kPiece) << "nothing was written without room";

    space.free = uint64_t(1) << 40;
    ASSERT_EQ(TaskStart(engine, d->handle), ENGINE_OK);
    const TaskStatus s = WaitForCheck(d->handle);
    EXPECT_EQ(s.status, STATUS_DOWNLOADING);
    EXPECT_EQ(Bitfield(d->handle), std::vector<uint8_t>{0xC0});
    EXPECT_EQ(SizeOf(file), 2 * kPiece) << "the data already there is kept";
    ASSERT_EQ(TaskGetProgress(engine, d->handle, &info), ENGINE_OK);
    EXPECT_EQ(info.downloaded, uint64_t(2 * kPiece));
    EXPECT_EQ(TaskStop(engine, d->handle, 1), ENGINE_OK);
}

// A target that cannot be opened for writing (here a folder stands where the
// file's temporary name belongs) stops the task with a write failure the
// application can show, not a task that looks busy forever.
TEST_F(TaskStorage, UnwritableTargetStopsWithAWriteFailure) {
    SingleFileTorrent();
    ASSERT_EQ(::mkdir((data_dir + "/pkg.bin.zltmp").c_str(), 0755), 0);
    auto d = Describe();
    ASSERT_EQ(TaskCreateAndStart(engine, d.get()), ENGINE_OK);
    ASSERT_TRUE(WaitForWorkerEnd(d->handle));
    TaskProgressInfo info;
    ASSERT_EQ(TaskGetProgress(engine, d->handle, &info), ENGINE_OK);
    EXPECT_EQ(info.status, STATUS_WRITE_FAILED);
}

// The task takes its copy of the engine's IP filter when it builds its piece map.
TEST_F(TaskStorage, TaskCopiesTheEngineIpFilter) {
    engine.SetIpFilterPath(dir.File("filter.txt", "10.1.2.0-10.1.2.255 100\n"));
    SingleFileTorrent();
    auto d = Describe();
    ASSERT_EQ(TaskCreateAndStart(engine, d.get()), ENGINE_OK);
    WaitForCheck(d->handle);
    ASSERT_EQ(TaskStop(engine, d->handle, 0), ENGINE_OK);
    const CIPFilter& filter = TaskOf(d->handle)->TaskIpFilter();
    EXPECT_TRUE(filter.IsBlocked(inet_addr("10.1.2.3")));
    EXPECT_FALSE(filter.IsBlocked(inet_addr("10.1.3.3")));
}

TEST(EngineDiskQueries, AnswerFromTheFileSystem) {
    test::TempDir dir;
    const std::string part = dir.File("movie.bin.zltmp", std::string(10000, 'x'));
    const std::string whole = dir.File("whole.bin", std::string(5000, 'y'));
    EXPECT_GT(EngineGetDiskFreeSpace(dir.path().c_str()), 0u);
    EXPECT_GT(EngineGetDiskFreeSpace((dir.path() + "/not/yet/made").c_str()), 0u) << "the nearest existing folder is asked";
    EXPECT_EQ(EngineGetDiskFreeSpace(""), 0u);
    EXPECT_EQ(EngineGetDiskFreeSpace(nullptr), 0u);
    EXPECT_GE(EngineGetFileDiskSize((dir.path() + "/movie.bin").c_str()), 10000) << "the temporary companion counts";
    EXPECT_GE(EngineGetFileDiskSize(whole.c_str()), 5000);
    EXPECT_EQ(EngineGetFileDiskSize((dir.path() + "/absent.bin").c_str()), 0);
    EXPECT_EQ(EngineGetFileDiskSize(nullptr), -1);
    EXPECT_EQ(EngineGetFileDiskSize(""), -1);
    (void)part;
}

// Reads of the task's data through the worker: verified pieces are handed out
// byte for byte and tell server sources where the reader is; a read touching a
// missing piece, past the file or of a file that does not exist fails; once
// the worker is gone a read says so.
TEST_F(TaskStorage, BlockReadsServeVerifiedDataOnly) {
    SingleFileTorrent();
    WriteFileReplacing(data_dir + "/pkg.bin", content);
    FlipByte(data_dir + "/pkg.bin", 2 * kPiece + 100, false);  // piece 2 missing
    auto d = Describe();
    ASSERT_EQ(TaskCreateAndStart(engine, d.get()), ENGINE_OK);
    WaitForCheck(d->handle);
    TWorkThread& task = *TaskOf(d->handle);
    EXPECT_EQ(task.SchedulingPosition(), -1);
    // On the automatic test clock every sleeping thread moves time on, so the
    // fake 3 s a reader waits may pass before the worker came round to it:
    // ask again then, as an application would, within a real-time limit.
    const auto read = [&](int32_t file, int64_t offset, int32_t length, std::string* out) {
        out->assign(static_cast<size_t>(std::max(length, 0)), '\0');
        int32_t result = kReadNotStarted;
        (void)test::WaitFor(
            [&] {
                result = task.ReadBlock(file, reinterpret_cast<uint8_t*>(out->data()), offset, length);
                return result != kReadNotStarted;
            },
            std::chrono::seconds(20), std::chrono::microseconds(0));
        return result;
    };
    struct Row {
        const char* what;
        int32_t file;
        int64_t offset;
        int32_t length;
        int32_t expected;  // bytes, or a block-read code
    } rows[] = {
        {"inside piece 0", 0, 10, 1000, 1000},
        {"across pieces 3 and 4 to the end", 0, 3 * kPiece + 5, int32_t(kPiece - 5 + 1000), int32_t(kPiece - 5 + 1000)},
        {"touching the missing piece", 0, kPiece, int32_t(2 * kPiece), kReadFailed},
        {"past the end of the file", 0, 4 * kPiece, 2000, kReadFailed},
        {"a file that does not exist", 1, 0, 10, kReadFailed},
        {"a negative offset", 0, -1, 10, kReadRejected},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        std::string bytes;
        ASSERT_EQ(read(row.file, row.offset, row.length, &bytes), row.expected);
        if (row.expected > 0) {
            EXPECT_TRUE(bytes == content.substr(size_t(row.offset), size_t(row.length)));
        }
    }
    EXPECT_EQ(task.SchedulingPosition(), 1) << "the latest read that reached the pieces began in piece 1";
    ASSERT_EQ(TaskStop(engine, d->handle, 0), ENGINE_OK);
    ASSERT_TRUE(WaitForWorkerEnd(d->handle));
    std::string bytes;
    EXPECT_EQ(read(0, 0, 10, &bytes), kReadNoWorker);
}

}  // namespace
}  // namespace zl
