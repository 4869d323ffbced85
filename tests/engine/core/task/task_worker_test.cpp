// The worker loop's ends that depend on the piece layer, driven through a task
// whose piece-layer hooks are scripted.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>

#include "engine/core/api/engine_api.h"
#include "engine/core/api/engine_context.h"
#include "engine/base/fake_clock.h"
#include "tests/engine/core/support/task_test_support.h"
#include "tests/support/wait_for.h"

namespace zl {
namespace {

class ScriptedTask : public TWorkThread {
public:
    explicit ScriptedTask(EngineContext& c) : TWorkThread(c) {}
    ~ScriptedTask() override { Stop(); }  // the hooks below use this object

    std::atomic<bool> complete_now{false};
    std::atomic<uint32_t> seconds_without_data{0};
    std::atomic<int> closes{0};

protected:
    void PeerPass() override {
        if (!complete_now) return;
        // What the piece map reports once every piece is verified.
        figures_.piece_count = figures_.finished_pieces = figures_.wanted_pieces = 4;
        figures_.downloaded = figures_.wanted_size = 4 * 16384;
        live_.total_size = 4 * 16384;
    }
    bool ClosePieceFiles() override {
        ++closes;
        return TWorkThread::ClosePieceFiles();
    }
    uint32_t SecondsWithoutData() override { return seconds_without_data; }
};

class TaskWorker : public ::testing::Test {
protected:
    TaskWorker() : engine(clock) {}
    // Registered like a created task; the engine destroys it at clean-up.
    ScriptedTask& NewTask(bool p2sp, const std::string& resume) {
        auto* task = new ScriptedTask(engine);
        task->Identity().p2sp = p2sp;
        task->Identity().resume_path = resume;
        if (p2sp) task->Identity().metainfo_location = "file://" + dir.File("a.torrent", "d4:infod4:name1:xee");
        task->Sources().push_back({"http://127.0.0.1:1/a", 0});
        return *task;
    }
    TaskProgressInfo Progress(ScriptedTask& task) {
        TaskProgressInfo info;
        EXPECT_EQ(TaskGetProgress(engine, static_cast<TBaseWork*>(&task), &info), ENGINE_OK);
        return info;
    }

    FakeClock clock{FakeClock::Mode::AutoAdvance};
    test::TempDir dir;
    EngineContext engine;
};

TEST_F(TaskWorker, HttpTaskLeavesTheLoopWhenVerifiedAndDropsItsResumeInfo) {
    const std::string resume = dir.File("a.zlinfo", "d4:bits4:xxxxe");
    ScriptedTask& task = NewTask(false, resume);
    task.Settings().metainfo_time_limit_s = 1'000'000;
    task.complete_now = true;
    ASSERT_EQ(task.StartDownload(), ENGINE_OK);
    ASSERT_TRUE(test::WaitForWorkerEnd(static_cast<TBaseWork*>(&task)));
    const TaskProgressInfo info = Progress(task);
    EXPECT_EQ(info.progress, 10000);
    EXPECT_EQ(info.status, STATUS_COMPLETE);
    EXPECT_NE(::access(resume.c_str(), F_OK), 0);  // deleted, not saved
    EXPECT_GE(task.closes.load(), 1);
}

TEST_F(TaskWorker, EndOfRunGivesUnusedPoolMemoryBack) {
    BufferPools& pools = engine.Pools();
    for (BufferPool* pool : {&pools.socket_buffer, &pools.piece_data, &pools.hash_state}) {
        uint8_t* held[3];
        for (uint8_t*& b : held) b = pool->Get(1 << 20);
        for (uint8_t* b : held) pool->Release(b);
    }
    uint8_t* in_use = pools.request_record.Get(4096);
    ScriptedTask& task = NewTask(false, "");
    task.complete_now = true;
    ASSERT_EQ(task.StartDownload(), ENGINE_OK);
    ASSERT_TRUE(test::WaitForWorkerEnd(static_cast<TBaseWork*>(&task)));
    EXPECT_EQ(pools.socket_buffer.GetSizes().free, 0);  // nothing in use: all of it goes
    EXPECT_LE(pools.piece_data.GetSizes().free, 2 << 20);
    EXPECT_LE(pools.hash_state.GetSizes().free, 10240);
    EXPECT_GE(pools.request_record.GetSizes().in_use, 4096);  // buffers in use are never touched
    pools.request_record.Release(in_use);
}

TEST_F(TaskWorker, NoDataFor900SecondsEndsWithANetworkError) {
    engine.SetMetainfoParser(std::make_shared<test::AnyTorrentParser>(8));
    ScriptedTask& task = NewTask(true, "");
    task.seconds_without_data = 900;
    ASSERT_EQ(task.StartDownload(), ENGINE_OK);
    ASSERT_TRUE(test::WaitForWorkerEnd(static_cast<TBaseWork*>(&task)));
    EXPECT_EQ(Progress(task).status, STATUS_NETWORK_ERROR);
}

TEST_F(TaskWorker, TorrentTaskKeepsSeedingAfterCompletionUntilStopped) {
    engine.SetMetainfoParser(std::make_shared<test::AnyTorrentParser>(4));
    ScriptedTask& task = NewTask(true, "");
    task.Settings().seeding_hours = 0;  // forever
    task.complete_now = true;
    ASSERT_EQ(task.StartDownload(), ENGINE_OK);
    const uint64_t started = clock.TickMs();
    // Past an hour of engine time the worker still runs; on a loaded machine it
    // may publish its completion only after the fake clock ran ahead, so wait
    // (in real time, bounded) for both.
    bool running = true;
    ASSERT_TRUE(test::WaitFor(
        [&] {
            running = task.GetThreadId() != 0;
            return !running || (clock.TickMs() >= started + 3'600'000 && Progress(task).status == STATUS_COMPLETE);
        },
        std::chrono::seconds(30), std::chrono::microseconds(0)))
        << "status " << Progress(task).status;
    ASSERT_TRUE(running);
    EXPECT_EQ(task.StopTask(), ENGINE_OK);
}

TEST_F(TaskWorker, SeedingEndsAfterTheSeedingHours) {
    engine.SetMetainfoParser(std::make_shared<test::AnyTorrentParser>(4));
    ScriptedTask& task = NewTask(true, "");
    task.Settings().seeding_hours = 1;
    task.complete_now = true;
    const uint64_t started = clock.TickMs();
    ASSERT_EQ(task.StartDownload(), ENGINE_OK);
    ASSERT_TRUE(test::WaitForWorkerEnd(static_cast<TBaseWork*>(&task)));
    EXPECT_GE(clock.TickMs() - started, 3'600'000u);
    EXPECT_EQ(Progress(task).status, STATUS_COMPLETE);
}

}  // namespace
}  // namespace zl
