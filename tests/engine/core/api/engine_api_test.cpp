// The flat interface: result codes, the duplicate rule, the task lifecycle and
// the worker's end conditions, on an engine context with a test clock.
#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>

#include "engine/core/api/engine_api.h"
#include "engine/core/api/engine_context.h"
#include "engine/base/fake_clock.h"
#include "engine/net/address.h"
#include "tests/engine/core/support/task_test_support.h"

namespace zl {
namespace {

using test::Descriptor;
using test::TaskOf;
using test::WaitFor;
using test::WaitForWorkerEnd;

class TaskApi : public ::testing::Test {
protected:
    TaskApi() : engine(clock) {}
    void SetUp() override { ASSERT_EQ(EngineStartup(engine, dir.path().c_str()), ENGINE_OK); }
    std::string Torrent(const std::string& name = "a.torrent") { return "file://" + dir.File(name, "d4:infod4:name1:xee"); }
    int32_t Status(TaskHandle h) {
        TaskProgressInfo info;
        EXPECT_EQ(TaskGetProgress(engine, h, &info), ENGINE_OK);
        return info.status;
    }

    FakeClock clock{FakeClock::Mode::AutoAdvance};
    test::TempDir dir;
    EngineContext engine;
};

TEST_F(TaskApi, ResultCodes) {
    auto d = Descriptor(kTaskFlagP2sp, Torrent(), "http://127.0.0.1:1/a", dir.path());
    ASSERT_EQ(TaskCreate(engine, d.get()), ENGINE_OK);
    const TaskHandle h = d->handle;
    ASSERT_NE(h, nullptr);
    int never_returned = 0;
    const TaskHandle unknown = &never_returned;
    int32_t out = 0;
    TaskProgressInfo info;
    uint8_t bits[4];
    const TaskHandle many[] = {unknown};
    struct Row {
        const char* call;
        int32_t result;
        int32_t expected;
    } rows[] = {
        {"TaskCreate(null)", TaskCreate(engine, nullptr), ENGINE_E_INVALID_ARG},
        {"TaskCreateAndStart(null)", TaskCreateAndStart(engine, nullptr), ENGINE_E_INVALID_ARG},
        {"TaskRecover(null)", TaskRecover(engine, nullptr, 1), ENGINE_E_INVALID_ARG},
        {"TaskRecoverAndContinue(null)", TaskRecoverAndContinue(engine, nullptr, 1), ENGINE_E_INVALID_ARG},
        {"TaskStart(unknown)", TaskStart(engine, unknown), ENGINE_E_NO_TASK},
        {"TaskStop(unknown)", TaskStop(engine, unknown, 1), ENGINE_E_NO_TASK},
        {"TaskStart(null)", TaskStart(engine, nullptr), ENGINE_E_NO_TASK},
        {"TaskGetProgress(unknown)", TaskGetProgress(engine, unknown, &info), ENGINE_E_NO_TASK},
        {"TaskIsComplete(unknown)", TaskIsComplete(engine, unknown, &out), ENGINE_E_NO_TASK},
        {"TaskSetSpeedLimit(unknown)", TaskSetSpeedLimit(engine, unknown, 1, 10), ENGINE_E_NO_TASK},
        {"TaskSetConnectionLimits(unknown)", TaskSetConnectionLimits(engine, unknown, 4, 40), ENGINE_E_NO_TASK},
        {"TaskClearServers(unknown)", TaskClearServers(engine, unknown), ENGINE_E_NO_TASK},
        {"TaskAddServers(unknown)", TaskAddServers(engine, unknown, "http://x/", "x"), ENGINE_E_NO_TASK},
        {"TaskGetBitfield(unknown)", TaskGetBitfield(engine, unknown, bits, 4), ENGINE_E_FAILED},
        {"TaskGetBitfieldSize(unknown)", TaskGetBitfieldSize(engine, unknown), ENGINE_E_FAILED},
        {"TaskStopMany(unknown only)", TaskStopMany(engine, many, 1, 0, nullptr), ENGINE_OK},
        {"TaskSetSpeedLimit(direction 2)", TaskSetSpeedLimit(engine, h, 2, 10), ENGINE_E_INVALID_ARG},
        {"TaskSetSpeedLimit(-1)", TaskSetSpeedLimit(engine, h, -1, 10), ENGINE_E_INVALID_ARG},
        {"TaskSetSpeedLimit(up, 100)", TaskSetSpeedLimit(engine, h, 0, 100), ENGINE_OK},
        {"TaskSetSpeedLimit(down, 40000)", TaskSetSpeedLimit(engine, h, 1, 40000), ENGINE_OK},
        {"TaskSetConnectionLimits", TaskSetConnectionLimits(engine, h, 6, 60), ENGINE_OK},
        {"TaskGetBitfield(null buffer)", TaskGetBitfield(engine, h, nullptr, 4), 0},
        {"TaskGetBitfield(size 0)", TaskGetBitfield(engine, h, bits, 0), 0},
        {"TaskGetBitfieldSize(no metainfo)", TaskGetBitfieldSize(engine, h), 0},
        {"TaskGetProgress(null record)", TaskGetProgress(engine, h, nullptr), ENGINE_E_INVALID_ARG},
        {"TaskIsComplete", TaskIsComplete(engine, h, &out), ENGINE_OK},
        {"TaskStop(idle task)", TaskStop(engine, h, 0), ENGINE_OK},
        {"TaskAddServers", TaskAddServers(engine, h, "http://m1/a\r\nhttp://m2/a", "m1\nm2"), ENGINE_OK},
    };
    for (const Row& row : rows) EXPECT_EQ(row.result, row.expected) << row.call;
    TWorkThread& task = *TaskOf(h);
    EXPECT_EQ(task.Settings().upload_limit_kib, 100);
    EXPECT_EQ(task.Settings().download_limit_kib, 0);  // out of range: no limit
    EXPECT_EQ(task.MaxServerConnections(), 6);
    EXPECT_EQ(task.MaxPeerConnections(), 60);
    EXPECT_EQ(task.ServerUrls(), (std::vector<std::string>{"http://m1/a", "http://m2/a"}));
    EXPECT_TRUE(task.ServerMode());
    EXPECT_EQ(TaskClearServers(engine, h), ENGINE_OK);
    EXPECT_TRUE(task.ServerUrls().empty());
    EXPECT_FALSE(task.ServerMode());
    EXPECT_EQ(out, 0);
}

TEST_F(TaskApi, DuplicateRuleThroughTheInterface) {
    const std::string meta = Torrent();
    auto first = Descriptor(kTaskFlagP2sp | kTaskFlagFullPath, meta, "", dir.path() + "/a.bin");
    ASSERT_EQ(TaskCreate(engine, first.get()), ENGINE_OK);

    struct Row {
        const char* what;
        uint32_t flags;
        std::string meta, target;
        const char* sources;
        bool recover;
        uint8_t force;
        int32_t expected;
    } rows[] = {
        {"same P2SP metainfo", kTaskFlagP2sp, meta, dir.path(), "", false, 0, ENGINE_E_DUPLICATE},
        {"same full target path", kTaskFlagFullPath, "", dir.path() + "/a.bin", "", false, 0, ENGINE_E_DUPLICATE},
        {"recover duplicate without force", kTaskFlagP2sp, meta, dir.path(), "", true, 0, ENGINE_E_DUPLICATE},
        {"recover duplicate with force", kTaskFlagP2sp, meta, dir.path(), "", true, 1, ENGINE_OK},
        {"other metainfo", kTaskFlagP2sp, Torrent("b.torrent"), dir.path(), "", false, 0, ENGINE_OK},
        {"HTTP task, 4 sources", 0, "", dir.path(), "http://a/\nhttp://b/\nhttp://c/\nhttp://d/", false, 0, ENGINE_OK},
        {"shares 1 of 4 sources", 0, "", dir.path(), "http://a/\nhttp://x/\nhttp://y/\nhttp://z/", false, 0, ENGINE_OK},
        {"shares 2 of 4 sources", 0, "", dir.path(), "http://b/\nhttp://c/\nhttp://v/\nhttp://w/", false, 0, ENGINE_E_DUPLICATE},
        {"only a blank line shared", 0, "", dir.path(), "\nhttp://q/", false, 0, ENGINE_OK},
        {"blank line again", 0, "", dir.path(), "\nhttp://r/", false, 0, ENGINE_OK},
    };
    size_t registered = 1;
    for (Row& row : rows) {
        auto d = Descriptor(row.flags, row.meta, row.sources, row.target);
        const int32_t result = row.recover ? TaskRecover(engine, d.get(), row.force) : TaskCreate(engine, d.get());
        EXPECT_EQ(result, row.expected) << row.what;
        if (result == ENGINE_OK) {
            ++registered;
            EXPECT_NE(d->handle, nullptr);
        } else {
            EXPECT_EQ(d->handle, nullptr) << row.what;
        }
        EXPECT_EQ(engine.Registry().Size(), registered) << row.what;
    }
}

TEST_F(TaskApi, BtTaskTakesItsMetainfoFromTheFirstSourceLine) {
    const std::string meta = Torrent();
    const std::string sources = meta + "\r\nhttp://127.0.0.1:1/x";
    auto d = Descriptor(kTaskFlagBt | kTaskFlagFullPath, "ignored", sources.c_str(), dir.path() + "/sub/file.bin",
                        dir.path() + "/file.zlinfo");
    ASSERT_EQ(TaskCreate(engine, d.get()), ENGINE_OK);
    TWorkThread& task = *TaskOf(d->handle);
    EXPECT_EQ(task.Identity().kind_name, "BT Task");
    EXPECT_EQ(task.Identity().metainfo_location, meta);
    ASSERT_EQ(task.Sources().size(), 2u);
    EXPECT_EQ(task.Sources()[0].state, 1);
    EXPECT_EQ(task.Identity().target_file, dir.path() + "/sub/file.bin");
    EXPECT_EQ(task.Identity().directory, dir.path() + "/sub/");
    EXPECT_EQ(task.Identity().piece_cache_path, dir.path() + "/file.zlinfodf");
}

// An exception inside a task operation becomes -107; the task stays registered.
class ThrowingCodec : public ResumeInfoCodec {
public:
    bool Decode(std::string_view, std::array<std::string, ResumeBlobs::kCount>&) override {
        throw std::runtime_error("broken resume file");
    }
    std::string Encode(const std::array<std::string, ResumeBlobs::kCount>&) override { return "de"; }
};

TEST_F(TaskApi, ExceptionInSecondStepGives107AndKeepsTheTask) {
    engine.SetResumeCodec(std::make_shared<ThrowingCodec>());
    const std::string resume = dir.File("t.zlinfo", "d4:bits4:xxxxe");
    auto d = Descriptor(kTaskFlagP2sp, Torrent(), "http://127.0.0.1:1/a", dir.path(), resume);
    EXPECT_EQ(TaskRecoverAndContinue(engine, d.get(), 0), ENGINE_E_EXCEPTION);
    ASSERT_NE(d->handle, nullptr);
    EXPECT_EQ(engine.Registry().Size(), 1u);
    EXPECT_EQ(TaskOf(d->handle)->GetThreadId(), 0u);
    engine.SetResumeCodec(nullptr);
    EXPECT_EQ(TaskStart(engine, d->handle), ENGINE_OK);  // the caller may retry
    EXPECT_EQ(TaskStop(engine, d->handle, 0), ENGINE_OK);
}

TEST_F(TaskApi, LifecycleCreateStartPauseStopAndCleanup) {
    engine.SetMetainfoParser(std::make_shared<test::AnyTorrentParser>(20));
    auto d = Descriptor(kTaskFlagP2sp, Torrent(), "", dir.path());
    ASSERT_EQ(TaskCreateAndStart(engine, d.get()), ENGINE_OK);
    const TaskHandle h = d->handle;
    TWorkThread& task = *TaskOf(h);
    EXPECT_NE(task.GetThreadId(), 0u);
    EXPECT_EQ(TaskStart(engine, h), ENGINE_E_EXCEPTION);  // already running

    // The metainfo is ready: the loop runs (and is never starved) until stopped.
    ASSERT_TRUE(WaitFor([&] { return Status(h) == STATUS_DOWNLOADING && TaskGetBitfieldSize(engine, h) != 0; }));
    EXPECT_EQ(TaskGetBitfieldSize(engine, h), 3);
    uint8_t one_byte = 0xFF;
    EXPECT_EQ(TaskGetBitfield(engine, h, &one_byte, 1), 20);  // copies 1 byte, reports every bit
    EXPECT_EQ(one_byte, 0);
    TaskProgressInfo info;
    ASSERT_EQ(TaskGetProgress(engine, h, &info), ENGINE_OK);
    EXPECT_STREQ(info.name, "package.bin");
    EXPECT_EQ(info.total_kib, 20u * 16);
    EXPECT_EQ(info.progress, 0);

    EXPECT_EQ(task.PauseTask(true), ENGINE_OK);
    EXPECT_EQ(Status(h), STATUS_PAUSED);
    const uint64_t paused_at = clock.TickMs();
    ASSERT_TRUE(WaitFor([&] { return clock.TickMs() >= paused_at + 30'000; }, std::chrono::seconds(30),
                        std::chrono::microseconds(0)));
    EXPECT_NE(task.GetThreadId(), 0u);  // a paused task does not end

    EXPECT_EQ(TaskStop(engine, h, 0), ENGINE_OK);
    EXPECT_EQ(task.GetThreadId(), 0u);
    EXPECT_EQ(task.PauseTask(true), ENGINE_E_EXCEPTION);  // no thread to pause
    EXPECT_EQ(Status(h), STATUS_DOWNLOADING);  // the status of the run survives the stop

    EXPECT_EQ(TaskStart(engine, h), ENGINE_OK);  // restartable; the pause request is gone
    EXPECT_EQ(Status(h), STATUS_DOWNLOADING);
    const TaskHandle both[] = {h, &info};
    int32_t results[2] = {7, 7};
    EXPECT_EQ(TaskStopMany(engine, both, 2, 1, results), ENGINE_OK);
    EXPECT_EQ(results[0], ENGINE_OK);
    EXPECT_EQ(results[1], ENGINE_E_NO_TASK);
    EXPECT_EQ(task.GetThreadId(), 0u);

    EXPECT_EQ(TaskStart(engine, h), ENGINE_OK);
    EXPECT_EQ(EngineCleanup(engine), ENGINE_OK);  // destroys the running task
    EXPECT_EQ(engine.Registry().Size(), 0u);
    EXPECT_EQ(TaskStart(engine, h), ENGINE_E_NO_TASK);
    EXPECT_EQ(EngineCleanup(engine), ENGINE_OK);  // not initialised any more
}

TEST_F(TaskApi, RealTorrentIsLoadedFromItsFileLocation) {
    const std::string torrent = "d8:announce22:http://127.0.0.2:1/ann4:infod6:lengthi40000e4:name7:pkg.bin"
                                "12:piece lengthi16384e6:pieces60:" + std::string(60, 'h') + "ee";
    auto d = Descriptor(kTaskFlagP2sp, "file://" + dir.File("pkg.torrent", torrent), "", dir.path());
    ASSERT_EQ(TaskCreateAndStart(engine, d.get()), ENGINE_OK);
    bool running = true;
    ASSERT_TRUE(WaitFor([&] {
        if (Status(d->handle) == STATUS_DOWNLOADING && TaskGetBitfieldSize(engine, d->handle) == 1) return true;
        running = TaskOf(d->handle)->GetThreadId() != 0;
        return !running;
    })) << "status " << Status(d->handle);
    ASSERT_TRUE(running) << "the worker ended: " << Status(d->handle);
    TaskProgressInfo info;
    ASSERT_EQ(TaskGetProgress(engine, d->handle, &info), ENGINE_OK);
    EXPECT_STREQ(info.name, "pkg.bin");
    EXPECT_EQ(info.total_kib, 39u);
    EXPECT_EQ(info.status, STATUS_DOWNLOADING);
    TaskTorrentInfo about;
    EXPECT_EQ(TaskOf(d->handle)->GetTorrentInfo(about), ENGINE_OK);
    EXPECT_EQ(about.total_size, 40000u);
    EXPECT_EQ(about.piece_length, 16384);
    EXPECT_STREQ(about.announce, "http://127.0.0.2:1/ann");
    EXPECT_EQ(std::strlen(about.info_hash), 40u);
    EXPECT_EQ(TaskStop(engine, d->handle, 1), ENGINE_OK);
}

TEST_F(TaskApi, WorkerEndConditions) {
    const std::string not_a_dictionary = "file://" + dir.File("list.torrent", "l4:spame");
    const std::string missing = "file://" + dir.path() + "/missing.torrent";
    struct Row {
        const char* what;
        uint32_t flags;
        std::string meta;
        const char* sources;
        int32_t status;
        uint64_t min_run_ms;
    } rows[] = {
        {"unreadable location, no sources", kTaskFlagP2sp, missing, "", STATUS_METAINFO_FAILED, 0},
        {"not a dictionary, with sources", kTaskFlagP2sp, not_a_dictionary, "http://127.0.0.1:1/a", STATUS_METAINFO_FAILED, 0},
        {"no metainfo after 45 s", kTaskFlagP2sp, Torrent(), "http://127.0.0.1:1/b", STATUS_TIMED_OUT, 45'000},
        {"HTTP task without sources", 0, "", "", STATUS_DOWNLOAD_ERROR, 15'000},
    };
    for (const Row& row : rows) {
        auto d = Descriptor(row.flags, row.meta, row.sources, dir.path());
        ASSERT_EQ(TaskCreate(engine, d.get()), ENGINE_OK) << row.what;
        // Starvation, not the metainfo limit, must end the HTTP task.
        if (row.status == STATUS_DOWNLOAD_ERROR) TaskOf(d->handle)->Settings().metainfo_time_limit_s = 1'000'000;
        const uint64_t started = clock.TickMs();
        ASSERT_EQ(TaskStart(engine, d->handle), ENGINE_OK) << row.what;
        ASSERT_TRUE(WaitForWorkerEnd(d->handle)) << row.what;
        EXPECT_GE(clock.TickMs() - started, row.min_run_ms) << row.what;
        EXPECT_EQ(Status(d->handle), row.status) << row.what;
    }
}

// A run that ends without completing keeps what it learnt in the resume-info
// file, and a recovered task picks it up again.
TEST_F(TaskApi, UnfinishedRunLeavesResumeInfo) {
    const std::string torrent = "d4:infod4:name1:xee";
    const std::string resume = dir.path() + "/a.zlinfo";
    auto d = Descriptor(kTaskFlagP2sp, "file://" + dir.File("a.torrent", torrent), "http://127.0.0.1:1/a", dir.path(), resume);
    ASSERT_EQ(TaskCreateAndStart(engine, d.get()), ENGINE_OK);
    ASSERT_TRUE(WaitForWorkerEnd(d->handle));
    EXPECT_EQ(Status(d->handle), STATUS_TIMED_OUT);
    std::array<std::string, ResumeBlobs::kCount> saved;
    std::string bytes;
    ASSERT_TRUE(ReadFileBytes(resume, bytes));
    ASSERT_TRUE(engine.ResumeCodec()->Decode(bytes, saved));
    EXPECT_EQ(saved[ResumeBlobs::kTorrent], torrent);

    TWorkThread& task = *TaskOf(d->handle);
    task.Blobs() = ResumeBlobs{};
    task.LoadResumeInfo();
    EXPECT_EQ(task.Blobs().value[ResumeBlobs::kTorrent], torrent);
    EXPECT_FALSE(task.Blobs().AnyDirty());
}

// The metainfo limit is measured in run time: 40 s is not enough to give up,
// 46 s is. Time moves only when the test moves it.
TEST(TaskTimeLimit, MetainfoLimitIsMeasuredOnTheTestClock) {
    FakeClock clock{FakeClock::Mode::Manual};
    test::TempDir dir;
    EngineContext engine(clock);
    const std::string meta = "file://" + dir.File("a.torrent", "d4:infod4:name1:xee");
    auto d = Descriptor(kTaskFlagP2sp, meta, "http://127.0.0.1:1/a", dir.path());
    ASSERT_EQ(TaskCreateAndStart(engine, d.get()), ENGINE_OK);
    auto wait_all_asleep = [&] {
        ASSERT_TRUE(WaitFor([&] { return clock.Sleepers() >= 2; }));  // the worker and the clock thread
    };
    for (int i = 0; i < 40; ++i) {
        wait_all_asleep();
        clock.Advance(1000);
    }
    wait_all_asleep();
    EXPECT_NE(TaskOf(d->handle)->GetThreadId(), 0u);
    TaskProgressInfo info;
    ASSERT_EQ(TaskGetProgress(engine, d->handle, &info), ENGINE_OK);
    EXPECT_EQ(info.status, STATUS_DOWNLOADING);
    for (int i = 0; i < 6; ++i) {
        wait_all_asleep();
        clock.Advance(1000);
    }
    ASSERT_TRUE(WaitForWorkerEnd(d->handle));
    ASSERT_EQ(TaskGetProgress(engine, d->handle, &info), ENGINE_OK);
    EXPECT_EQ(info.status, STATUS_TIMED_OUT);
}

TEST(TaskEngine, StartupAndCleanupAreIdempotent) {
    FakeClock clock{FakeClock::Mode::AutoAdvance};
    EngineContext engine(clock);
    EXPECT_EQ(EngineCleanup(engine), ENGINE_OK);  // before startup
    EXPECT_EQ(EngineStartup(engine, nullptr), ENGINE_OK);
    EXPECT_EQ(EngineStartup(engine, "/data"), ENGINE_OK);
    EXPECT_TRUE(engine.Initialised());
    EXPECT_EQ(EngineCleanup(engine), ENGINE_OK);
    EXPECT_FALSE(engine.Initialised());
    EXPECT_EQ(EngineCleanup(engine), ENGINE_OK);
}

TEST(TaskEngine, FirstTaskSetsUpAndLastTaskTearsDown) {
    struct Recorder : GlobalService {
        void OnFirstTask(EngineContext&) override { ++first; }
        void OnLastTaskGone(EngineContext&) override { ++last; }
        void OnCleanup(EngineContext&) override { ++cleanup; }
        int first = 0, last = 0, cleanup = 0;
    } recorder;
    FakeClock clock{FakeClock::Mode::AutoAdvance};
    test::TempDir dir;
    EngineContext engine(clock);
    engine.AddService(&recorder);
    UdpServerConfig udp = DefaultUdpServerConfig("127.0.9.9", engine.NodeIdentity());
    udp.local_port = 0;  // a free port on the test's own address
    engine.SetUdpServerConfig(udp);
    engine.GetUdpServer().SetBindAddress(InetAddr("127.0.9.1"));
    ASSERT_EQ(EngineStartup(engine, nullptr), ENGINE_OK);
    EXPECT_FALSE(engine.GetUdpServer().IsRunning());
    auto a = Descriptor(0, "", "http://127.0.0.1:1/a", dir.path());
    auto b = Descriptor(0, "", "http://127.0.0.1:1/b", dir.path());
    ASSERT_EQ(TaskCreate(engine, a.get()), ENGINE_OK);
    ASSERT_EQ(TaskCreate(engine, b.get()), ENGINE_OK);
    EXPECT_EQ(recorder.first, 1);
    // The first task starts the UDP server with its stream transport on: its
    // socket is open (a suspended transport without the DHT closes it).
    EXPECT_TRUE(engine.GetUdpServer().IsRunning());
    EXPECT_TRUE(WaitFor([&] { return engine.GetUdpServer().BoundPort() != 0; }, std::chrono::seconds(5)));
    EXPECT_NE(engine.NodeIdentity()[0], 0);
    EXPECT_EQ(EngineCleanup(engine), ENGINE_OK);
    EXPECT_EQ(recorder.last, 1);
    EXPECT_EQ(recorder.cleanup, 1);
    EXPECT_FALSE(engine.GetUdpServer().IsRunning());
    engine.RemoveService(&recorder);
}

TEST(TaskEngine, MessageBoxesShowCopiesWithTheInstallationId) {
    struct Collect : MessageSink {
        void Show(uintptr_t owner, const std::string& text, const std::string& caption, uint32_t style) override {
            std::lock_guard<std::mutex> guard(mutex);
            lines.push_back(caption + "|" + text + "|" + std::to_string(owner) + "|" + std::to_string(style));
        }
        std::mutex mutex;
        std::vector<std::string> lines;
    };
    auto sink = std::make_shared<Collect>();
    EngineContext engine;
    engine.SetMessageSink(sink);
    std::atomic<int> asked{0};
    engine.MessageBoxes().SetInstallationIdSource([&] {
        ++asked;
        return std::string("ID42");
    });
    {
        std::string text = "下载失败";
        EXPECT_EQ(ShowMessageBoxAsync(engine, 7, text.c_str(), "Talvora下载器", 16), 1);
        text.assign(text.size(), 'X');  // the caller's buffer changes at once
    }
    EXPECT_EQ(ShowMessageBoxAsync(engine, 0, nullptr, nullptr, 0), 1);
    engine.MessageBoxes().JoinAll();
    std::sort(sink->lines.begin(), sink->lines.end());
    ASSERT_EQ(sink->lines.size(), 2u);
    EXPECT_EQ(sink->lines[0], "Talvora下载器|下载失败\n（ID42）|7|16");
    EXPECT_EQ(sink->lines[1], "|\n（ID42）|0|0");
    EXPECT_EQ(asked.load(), 1);  // kept once known
}

}  // namespace
}  // namespace zl
