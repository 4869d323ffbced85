// A whole download task, fed by two simulated HTTP mirrors on the test clock,
// stores its data and progress on an in-memory file system that cuts the
// power. The power goes at every durability step of the download in turn;
// after each cut the task's saved progress may trust only pieces whose bytes
// survived, and a recovered task completes the file correctly from there.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <functional>
#include <string>
#include <thread>

#include "engine/core/api/engine_api.h"
#include "engine/core/api/engine_codes.h"
#include "engine/base/fake_clock.h"
#include "engine/core/api/engine_context.h"
#include "engine/meta/storage_layout_info.h"
#include "engine/meta/task_info_file.h"
#include "engine/meta/torrent.h"
#include "tests/engine/core/support/task_test_support.h"
#include "tests/engine/core/sim/sim_network.h"
#include "tests/engine/meta/fault_file_system.h"
#include "tests/engine/core/support/torrent_fixture.h"

namespace zl {
namespace {

using test::FaultFileSystem;
using Cut = FaultFileSystem::Cut;

constexpr int64_t kPiece = 64 * 1024;
constexpr uint16_t kPort = 8080;
const std::string kDataDir = "/dl";
const std::string kInfoPath = "/state/pkg.zlinfo";
const char* const kMirrors[] = {"127.0.12.2", "127.0.12.3"};

// Counts how often the piece map announces its state: twice when resume data was accepted.
struct CountingHost : PiecesHost {
    void OnPieceNotice(const PieceNotice& n) override {
        if (n.kind == kNoticeStateEstablished) ++established;
    }
    int established = 0;
};

std::string Content(size_t size) {
    std::string bytes(size, '\0');
    uint64_t x = 0x2545f4914f6cdd1dull;
    for (char& c : bytes) {
        x = x * 6364136223846793005ull + 1442695040888963407ull;
        c = static_cast<char>(x >> 56);
    }
    return bytes;
}

// One engine run on its own simulated network and clock, on the shared file
// system: the task starts fresh or recovers from the saved progress.
class EngineRun {
public:
    EngineRun(FaultFileSystem& fs, const std::string& torrent_path, const std::string& content, bool recover) {
        for (const char* address : kMirrors) {
            test::SimBehaviour b;
            b.rate = 192 * 1024;
            net_.AddServer(address, kPort, content, b);
        }
        engine_.SetStreamTransport(&net_);
        engine_.SetFileSystem(&fs);
        EXPECT_EQ(EngineStartup(engine_, dir_.path().c_str()), ENGINE_OK);
        for (const char* address : kMirrors)
            sources_ += (sources_.empty() ? "" : "\r\n") + std::string("http://") + address + ":" +
                        std::to_string(kPort) + "/pkg.bin";
        descriptor_ = test::Descriptor(kTaskFlagP2sp, "file://" + torrent_path, sources_.c_str(), kDataDir, kInfoPath);
        EXPECT_EQ(recover ? TaskRecoverAndContinue(engine_, descriptor_.get(), 1) : TaskCreateAndStart(engine_, descriptor_.get()),
                  ENGINE_OK);
    }
    ~EngineRun() { EngineCleanup(engine_); }

    // Polls (real time, bounded) until `done` or the task completes; true when complete.
    bool RunUntil(const std::function<bool()>& done) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        for (;;) {
            TaskProgressInfo info{};
            EXPECT_EQ(TaskGetProgress(engine_, descriptor_->handle, &info), ENGINE_OK);
            if (info.status == STATUS_COMPLETE) return true;
            if (done() || std::chrono::steady_clock::now() > deadline) return false;
            std::this_thread::sleep_for(std::chrono::microseconds(500));
        }
    }
    void Stop() {
        EXPECT_EQ(TaskStop(engine_, descriptor_->handle, 0), ENGINE_OK);
        EXPECT_TRUE(test::WaitForWorkerEnd(descriptor_->handle));
    }

private:
    test::LoopDrivenClock clock_;
    test::SimNetwork net_{clock_};  // outlives the engine that uses it
    test::ScratchDir dir_;
    EngineContext engine_{clock_};
    std::string sources_;
    std::unique_ptr<TaskDescriptor> descriptor_;
};

class PowerCut : public ::testing::Test {
protected:
    void SetUp() override {
        content_ = Content(24 * kPiece + 777);
        const std::string torrent = test::SingleFileTorrent("pkg.bin", content_, kPiece);
        torrent_path_ = dir_.File("pkg.torrent", torrent);
        ASSERT_TRUE(torrent_->LoadFromData(torrent.data(), int64_t(torrent.size())));
        layout_ = LayoutFromTorrentInfo(torrent_->Info());
        layout_.info_hash = torrent_->InfoHash();
    }

    static void Prepare(FaultFileSystem& fs) {
        fs.MakeDirectory(kDataDir);
        fs.MakeDirectory("/state");
    }

    // Pieces the saved progress trusts whose bytes on disk are wrong; counts
    // in `trusted` the pieces it trusts. Looks only: nothing is created or written.
    std::vector<int32_t> WrongTrustedPieces(FaultFileSystem& fs, int32_t* trusted, bool* resumed) {
        CountingHost host;
        QTMutex lock;
        FakeClock clock;
        TPieces* map = new TPieces(&host, lock, clock, nullptr, nullptr, &fs);
        StorageOptions options;
        options.read_only = true;
        map->SetOptions(options);
        map->SetSaveDirectory(kDataDir);
        if (const auto bytes = ReadWholeFileOn(fs, kInfoPath, 1 << 24))
            if (const auto info = DecodeTaskInfo(*bytes)) map->SetResumeData(info->bits);
        std::vector<int32_t> wrong;
        EXPECT_TRUE(map->LoadLayout(layout_));
        *resumed = host.established >= 2;
        *trusted = 0;
        std::string buffer(size_t(kPiece), '\0');
        for (int32_t i = 0; i < map->Geometry().piece_count(); ++i) {
            if (!map->Have(i)) continue;
            ++*trusted;
            const int64_t size = map->Geometry().PieceSize(i);
            if (map->ReadPieceBytes(i, reinterpret_cast<uint8_t*>(buffer.data()), size, 0) != size ||
                buffer.compare(0, size_t(size), content_, size_t(map->Geometry().PieceBegin(i)), size_t(size)) != 0)
                wrong.push_back(i);
        }
        map->Release();
        return wrong;
    }

    test::ScratchDir dir_;
    std::string content_, torrent_path_;
    RefPtr<TTorrent> torrent_ = RefPtr<TTorrent>::Adopt(new TTorrent());
    StorageLayout layout_;
};

TEST_F(PowerCut, EveryDurabilityStepOfADownloadIsASafeCutPoint) {
    int64_t steps = 0;
    {
        FaultFileSystem fs;
        Prepare(fs);
        EngineRun run(fs, torrent_path_, content_, false);
        ASSERT_TRUE(run.RunUntil([] { return false; }));
        run.Stop();
        steps = fs.Steps();
        EXPECT_TRUE(fs.Content(kDataDir + "/pkg.bin") == content_);
    }
    ASSERT_GT(steps, 8);
    int cuts = 0, resumed = 0, trusted_total = 0;
    for (Cut mode : {Cut::kStrict, Cut::kNamesKept, Cut::kTorn}) {
        for (int64_t step = 1; step <= steps; ++step) {
            SCOPED_TRACE("mode " + std::to_string(int(mode)) + ", power cut before step " + std::to_string(step) +
                         " of " + std::to_string(steps));
            FaultFileSystem fs;
            Prepare(fs);
            fs.ArmCut(step, mode, uint64_t(step));
            {
                EngineRun run(fs, torrent_path_, content_, false);
                run.RunUntil([&] { return fs.CutTaken(); });
                run.Stop();
            }
            if (!fs.RestoreCut()) continue;  // this run took fewer steps
            ++cuts;
            int32_t trusted = 0;
            bool used_resume = false;
            EXPECT_EQ(WrongTrustedPieces(fs, &trusted, &used_resume), std::vector<int32_t>{});
            if (used_resume && trusted > 0) ++resumed;
            trusted_total += trusted;
            {
                EngineRun run(fs, torrent_path_, content_, true);
                ASSERT_TRUE(run.RunUntil([] { return false; })) << "the recovered task completes";
                run.Stop();
            }
            ASSERT_TRUE(fs.Content(kDataDir + "/pkg.bin") == content_) << "and its file is right";
        }
    }
    std::printf("[ power cut ] %d cuts over %lld steps of the download; %d resumed with trusted pieces (%d in all)\n",
                cuts, static_cast<long long>(steps), resumed, trusted_total);
    EXPECT_GT(cuts, int(steps));
    EXPECT_GT(resumed, 0) << "saved progress survives cuts, not only checks of the data";
}

}  // namespace
}  // namespace zl
