// A whole task through the flat interface on a fake clock: a P2SP task whose
// sources all fail gives up after 900 seconds without data.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <string>

#include "engine/core/api/engine_api.h"
#include "engine/core/api/engine_codes.h"
#include "engine/core/api/engine_context.h"
#include "engine/base/fake_clock.h"
#include "engine/meta/sha1.h"
#include "tests/engine/core/support/task_test_support.h"
#include "tests/engine/core/support/torrent_fixture.h"

namespace zl {
namespace {

constexpr int64_t kPiece = 16384;
constexpr int64_t kSize = kPiece * 8;

// A P2SP task whose only source refuses every connection gives up after 900
// seconds without data with the network error, like any other task.
TEST(TaskNoData, TorrentTaskWhoseSourcesFailStopsAfter900Seconds) {
    FakeClock clock{FakeClock::Mode::AutoAdvance};
    EngineContext engine(clock);
    test::TempDir dir;
    ASSERT_EQ(EngineStartup(engine, dir.path().c_str()), ENGINE_OK);
    const std::string data(kSize, 'x');
    const std::string torrent = dir.File("pkg.torrent", test::SingleFileTorrent("pkg.bin", data, kPiece));
    // Port 1 on loopback: nothing listens there, every dial is refused.
    const std::string sources = "http://127.0.0.1:1/pkg.bin";
    const std::string data_dir = dir.path() + "/data";
    std::filesystem::create_directories(data_dir);
    auto d = test::Descriptor(kTaskFlagP2sp, "file://" + torrent, sources.c_str(), data_dir,
                              dir.path() + "/pkg.zlinfo");
    const uint64_t started = clock.TickMs();
    ASSERT_EQ(TaskCreateAndStart(engine, d.get()), ENGINE_OK);
    ASSERT_TRUE(test::WaitForWorkerEnd(d->handle, std::chrono::seconds(60)));
    TaskProgressInfo info{};
    ASSERT_EQ(TaskGetProgress(engine, d->handle, &info), ENGINE_OK);
    EXPECT_EQ(info.status, STATUS_NETWORK_ERROR);
    EXPECT_GE(clock.TickMs() - started, 900'000u);
    EngineCleanup(engine);
}

}  // namespace
}  // namespace zl
