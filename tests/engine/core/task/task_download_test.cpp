// A task created through the flat interface with a torrent file and a list of
// HTTP sources fetches the data from a real nginx on loopback: the sources
// share the pieces, every piece is checked against the torrent, the file ends
// complete with the right bytes, and the progress shows the bytes received.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <thread>

#include "engine/core/api/engine_api.h"
#include "engine/core/api/engine_api_peers.h"
#include "engine/core/api/engine_codes.h"
#include "engine/core/api/engine_context.h"
#include "engine/meta/sha1.h"
#include "tests/engine/core/support/task_test_support.h"
#include "tests/engine/core/support/torrent_fixture.h"
#include "tests/engine/net/http_ftp_test_support.h"
#include "tests/support/wait_for.h"

namespace zl {
namespace {

constexpr int64_t kPiece = 65536;
constexpr size_t kSize = 4 * 1024 * 1024 + 12345;  // the last piece is short

class TaskDownload : public ::testing::Test {
protected:
    void SetUp() override {
        if (!test::HaveProgram(test::kNginx)) GTEST_SKIP() << "nginx is not installed";
        content_ = test::TestContent(kSize);
        test::WriteFile(www_ / "www/one/pkg.bin", content_);
        test::WriteFile(www_ / "www/two/pkg.bin", content_);
        // The runs below are separate tasks, which may share neither a source
        // text nor a target: each sees the mirrors under a folder of its own.
        for (int run = 1; run <= 3; ++run)
            std::filesystem::create_directory_symlink(www_ / "www", www_ / ("www/r" + std::to_string(run)));
        address_ = test::TestAddress();
        port_ = test::FreePort(address_);
        server_ = test::StartNginx(www_, address_, port_, "    location ~ /busy/ { return 503; }\n");
        ASSERT_TRUE(server_) << "nginx did not start; see " << www_ / "error.log";
        ASSERT_EQ(EngineStartup(engine_, dir_.path().c_str()), ENGINE_OK);
        data_dir_ = dir_.path() + "/data";
        std::filesystem::create_directories(data_dir_);
    }
    void TearDown() override { EngineCleanup(engine_); }

    // Polls the task's progress (real time, bounded) until it reports complete.
    void WaitForComplete(TaskHandle handle, TaskProgressInfo* info) {
        ASSERT_TRUE(test::WaitFor(
            [&] { return TaskGetProgress(engine_, handle, info) == ENGINE_OK && info->status == STATUS_COMPLETE; },
            std::chrono::seconds(60), std::chrono::milliseconds(20)))
            << "status " << info->status << ", progress " << info->progress;
    }

    std::string Url(const std::string& path) const {
        return "http://" + address_ + ":" + std::to_string(port_) + path;
    }

    test::ServedDir www_;
    test::TempDir dir_;
    EngineContext engine_;  // the real clock: the servers answer in real time
    std::string content_, address_, data_dir_;
    uint16_t port_ = 0;
    std::optional<test::TestServer> server_;
};

TEST_F(TaskDownload, TwoHttpSourcesFetchTheWholeFile) {
    struct Case {
        const char* what;
        std::vector<std::string> paths;
    } cases[] = {
        {"two good mirrors", {"/one/pkg.bin", "/two/pkg.bin"}},
        {"a busy mirror and a good one", {"/busy/pkg.bin", "/two/pkg.bin"}},
        {"a missing file and a good one", {"/none/pkg.bin", "/one/pkg.bin"}},
    };
    int run = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        // A torrent of its own per run (the engine refuses a second task of one torrent).
        const std::string name = "pkg" + std::to_string(++run) + ".bin";
        const std::string torrent = dir_.File(name + ".torrent", test::SingleFileTorrent(name, content_, kPiece));
        const std::string target = data_dir_ + "/" + std::to_string(run);
        std::filesystem::create_directories(target);
        const std::string prefix = "/r" + std::to_string(run);
        const std::string sources = Url(prefix + c.paths[0]) + "\r\n" + Url(prefix + c.paths[1]);
        auto d = test::Descriptor(kTaskFlagP2sp, "file://" + torrent, sources.c_str(), target,
                                  dir_.path() + "/pkg" + std::to_string(run) + ".zlinfo");
        ASSERT_EQ(TaskCreateAndStart(engine_, d.get()), ENGINE_OK);

        TaskProgressInfo info{};
        ASSERT_NO_FATAL_FAILURE(WaitForComplete(d->handle, &info));
        int32_t complete = 0;
        ASSERT_EQ(TaskIsComplete(engine_, d->handle, &complete), ENGINE_OK);
        EXPECT_EQ(complete, 1);
        EXPECT_TRUE(std::filesystem::exists(target + "/" + name)) << "complete means the file has its final name";
        EXPECT_EQ(info.progress, 10000);
        EXPECT_EQ(info.downloaded, kSize);
        ASSERT_EQ(TaskStop(engine_, d->handle, 0), ENGINE_OK);
        ASSERT_TRUE(test::WaitForWorkerEnd(d->handle));
        ASSERT_EQ(TaskGetProgress(engine_, d->handle, &info), ENGINE_OK);
        EXPECT_GE(info.http_bytes, kSize) << "every byte came from the HTTP sources";
        EXPECT_EQ(info.peer_bytes, 0u);
        std::string bytes;
        ASSERT_TRUE(ReadFileBytes(target + "/" + name, bytes));
        EXPECT_TRUE(bytes == content_) << "the file holds the source's bytes";
    }
}

// Pieces hashed on a worker thread: a mirror whose every piece is altered
// is charged for the pieces it completed (shown as sending bad data), though
// each verdict comes after its last block was taken, and the file completes
// from the good mirror.
TEST_F(TaskDownload, CorruptMirrorIsChargedForPiecesHashedOnTheWorker) {
    engine_.SetHashThreads(1);
    std::string altered = content_;
    for (size_t at = 1000; at < altered.size(); at += kPiece) altered[at] = static_cast<char>(altered[at] ^ 0x5a);
    test::WriteFile(www_ / "www/bad/pkg.bin", altered);
    const std::string torrent = dir_.File("bad.torrent", test::SingleFileTorrent("pkg.bin", content_, kPiece));
    const std::string target = data_dir_ + "/bad";
    std::filesystem::create_directories(target);
    const std::string sources = Url("/bad/pkg.bin") + "\r\n" + Url("/one/pkg.bin");
    auto d = test::Descriptor(kTaskFlagP2sp, "file://" + torrent, sources.c_str(), target, dir_.path() + "/bad.zlinfo");
    ASSERT_EQ(TaskCreateAndStart(engine_, d.get()), ENGINE_OK);
    TaskPeerInfo peers{};
    EXPECT_TRUE(test::WaitFor(
        [&] {
            return TaskGetPeerInfo(engine_, d->handle, &peers) == ENGINE_OK &&
                   std::string(peers.failing_text).find(Url("/bad/pkg.bin") + "\tsent bad data") != std::string::npos;
        },
        std::chrono::seconds(30), std::chrono::milliseconds(20)))
        << "failing: " << peers.failing_text;
    TaskProgressInfo info{};
    ASSERT_NO_FATAL_FAILURE(WaitForComplete(d->handle, &info));
    ASSERT_EQ(TaskStop(engine_, d->handle, 0), ENGINE_OK);
    ASSERT_TRUE(test::WaitForWorkerEnd(d->handle));
    std::string bytes;
    ASSERT_TRUE(ReadFileBytes(target + "/pkg.bin", bytes));
    EXPECT_TRUE(bytes == content_) << "no altered byte was kept";
}

// With an FTP mirror beside an HTTP one, and with an FTP mirror alone.
TEST_F(TaskDownload, FtpSourcesFetchTheFile) {
    if (!test::HaveProgram(test::kVsftpd)) GTEST_SKIP() << "vsftpd is not installed";
    test::WriteFile(www_ / "ftp/pub/pkg.bin", content_);
    const uint16_t ftp_port = test::FreePort(address_);
    auto ftp = test::StartVsftpd(www_, address_, ftp_port, "no_anon_password=YES\n");
    ASSERT_TRUE(ftp) << "vsftpd did not start";
    const std::string ftp_url = "ftp://" + address_ + ":" + std::to_string(ftp_port) + "/pub/";
    const std::string lists[] = {ftp_url + "pkg.bin\r\n" + Url("/one/pkg.bin"), ftp_url + "./pkg.bin"};
    int run = 0;
    for (const std::string& sources : lists) {
        SCOPED_TRACE(sources);
        const std::string name = "pkg" + std::to_string(++run) + ".bin";
        const std::string torrent = dir_.File(name + ".torrent", test::SingleFileTorrent(name, content_, kPiece));
        auto d = test::Descriptor(kTaskFlagP2sp, "file://" + torrent, sources.c_str(), data_dir_,
                                  dir_.path() + "/" + name + ".zlinfo");
        ASSERT_EQ(TaskCreateAndStart(engine_, d.get()), ENGINE_OK);
        TaskProgressInfo info{};
        ASSERT_NO_FATAL_FAILURE(WaitForComplete(d->handle, &info));
        ASSERT_EQ(TaskStop(engine_, d->handle, 0), ENGINE_OK);
        std::string bytes;
        ASSERT_TRUE(ReadFileBytes(data_dir_ + "/" + name, bytes));
        EXPECT_TRUE(bytes == content_);
    }
}

TEST_F(TaskDownload, ServersAddedThroughTheInterfaceAreMirrors) {
    const std::string torrent = dir_.File("pkg.torrent", test::SingleFileTorrent("pkg.bin", content_, kPiece));
    auto d = test::Descriptor(kTaskFlagP2sp, "file://" + torrent, "", data_dir_, dir_.path() + "/pkg.zlinfo");
    ASSERT_EQ(TaskCreate(engine_, d.get()), ENGINE_OK);
    const std::string urls = Url("/one/pkg.bin") + "\r\n" + Url("/two/pkg.bin");
    ASSERT_EQ(TaskAddServers(engine_, d->handle, urls.c_str(), ""), ENGINE_OK);
    ASSERT_EQ(TaskStart(engine_, d->handle), ENGINE_OK);
    TaskProgressInfo info{};
    ASSERT_NO_FATAL_FAILURE(WaitForComplete(d->handle, &info));
    ASSERT_EQ(TaskStop(engine_, d->handle, 0), ENGINE_OK);
    std::string bytes;
    ASSERT_TRUE(ReadFileBytes(data_dir_ + "/pkg.bin", bytes));
    EXPECT_TRUE(bytes == content_);
}

TEST_F(TaskDownload, DownloadSpeedLimitHoldsTheTaskBack) {
    constexpr int32_t kLimitKib = 2048;
    const std::string torrent = dir_.File("pkg.torrent", test::SingleFileTorrent("pkg.bin", content_, kPiece));
    const std::string sources = Url("/one/pkg.bin") + "\r\n" + Url("/two/pkg.bin");
    auto d = test::Descriptor(kTaskFlagP2sp, "file://" + torrent, sources.c_str(), data_dir_,
                              dir_.path() + "/pkg.zlinfo");
    ASSERT_EQ(TaskCreate(engine_, d.get()), ENGINE_OK);
    ASSERT_EQ(TaskSetSpeedLimit(engine_, d->handle, 1, kLimitKib), ENGINE_OK);
    const auto start = std::chrono::steady_clock::now();
    ASSERT_EQ(TaskStart(engine_, d->handle), ENGINE_OK);
    TaskProgressInfo info{};
    int32_t fastest = 0;
    for (;;) {
        ASSERT_EQ(TaskGetProgress(engine_, d->handle, &info), ENGINE_OK);
        fastest = std::max(fastest, info.speed);
        if (info.status == STATUS_COMPLETE) break;
        ASSERT_LT(std::chrono::steady_clock::now(), start + std::chrono::seconds(60)) << "progress " << info.progress;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    // Unlimited, loopback moves these 4 MiB in a fraction of a second; at
    // 2 MiB/s the allowance lets two seconds' worth through at best.
    EXPECT_GE(seconds, 1.0);
    EXPECT_GT(fastest, 0) << "the speed was shown while the data came";
    EXPECT_LE(fastest, kLimitKib * 1024 * 3 / 2);
    ASSERT_EQ(TaskStop(engine_, d->handle, 0), ENGINE_OK);
    std::string bytes;
    ASSERT_TRUE(ReadFileBytes(data_dir_ + "/pkg.bin", bytes));
    EXPECT_TRUE(bytes == content_);
}

}  // namespace
}  // namespace zl
