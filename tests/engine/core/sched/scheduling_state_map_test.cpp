// A real task keeps its piece-scheduling state in step with its piece map:
// had pieces leave the requests and the shared list and are announced once,
// dropping every requester gives up the data in progress, the end game and
// random start follow the map (real files, driven on the test thread).
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "engine/core/api/engine_api.h"
#include "engine/core/api/engine_context.h"
#include "engine/base/fake_clock.h"
#include "engine/core/sched/scheduling_state.h"
#include "engine/meta/sha1.h"
#include "tests/engine/core/sched/scheduling_state_test_support.h"
#include "tests/engine/core/support/task_test_support.h"
#include "tests/engine/core/support/torrent_fixture.h"

namespace zl {
namespace {

using test::Announced;
using test::ShareBlock;

constexpr int64_t kPiece = 32768;  // two blocks a piece
constexpr int64_t kBlocksPerPiece = kPiece / 16384;

std::string Bytes(int64_t n) {
    std::string s(size_t(n), '\0');
    for (int64_t i = 0; i < n; ++i) s[size_t(i)] = char((i * 131 + i / 977) & 0xff);
    return s;
}

class TaskSchedulingOnAMap : public ::testing::Test {
protected:
    TaskSchedulingOnAMap() : engine(clock) {}
    void SetUp() override {
        ASSERT_EQ(EngineStartup(engine, dir.path().c_str()), ENGINE_OK);
        ASSERT_EQ(::mkdir((dir.path() + "/data").c_str(), 0755), 0);
        content = Bytes(12 * kPiece);
        task = new TWorkThread(engine);  // registered; the engine destroys it at clean-up
        task->Identity().p2sp = true;
        task->Identity().directory = dir.path() + "/data/";
        task->Blobs().Set(ResumeBlobs::kTorrent, test::SingleFileTorrent("pkg.bin", content, kPiece));
        // Built on the test thread: the worker never runs.
        ASSERT_TRUE(task->BuildMetainfo());
        ASSERT_NE(task->PieceMap(), nullptr);
        ASSERT_TRUE(task->PieceMap()->CheckFinished());
        ASSERT_EQ(task->Scheduling().PieceCount(), 12);
    }
    void TearDown() override { EXPECT_EQ(EngineCleanup(engine), ENGINE_OK); }

    void Deliver(int32_t piece, int64_t offset, int64_t length) {
        const auto* bytes = reinterpret_cast<const uint8_t*>(content.data()) + piece * kPiece + offset;
        ASSERT_EQ(task->PieceMap()->ReceiveBlock(piece, bytes, int32_t(length), offset).bytes, int32_t(length));
    }

    FakeClock clock{FakeClock::Mode::AutoAdvance};
    test::TempDir dir;
    EngineContext engine;
    std::string content;
    TWorkThread* task = nullptr;
};

TEST_F(TaskSchedulingOnAMap, HadPiecesLeaveTheRequestsAndTheSharedListAndAreAnnouncedOnce) {
    for (int32_t p : {2, 2, 3}) ASSERT_TRUE(task->MarkRequested(p, true, false));
    ASSERT_TRUE(ShareBlock(task->Scheduling(), 2 * kBlocksPerPiece, 16384));
    ASSERT_TRUE(ShareBlock(task->Scheduling(), 3 * kBlocksPerPiece, 16384));

    Deliver(2, 0, kPiece);
    task->FlushPieceMap();  // the verified piece reaches the disk: its have bit is set
    ASSERT_TRUE(task->PieceMap()->Have(2));
    EXPECT_EQ(task->Scheduling().Requested().Count(2), 0);
    EXPECT_EQ(task->Scheduling().Requested().Count(3), 1);
    // Have notices outside the piece map touch nothing.
    for (const int64_t index : {int64_t(12), int64_t(1000), int64_t(-1)}) task->OnPieceEvent(kNoticeHave, 1, 4, index);
    task->OnPieceEvent(kNoticeHave, 1, 4, 2);  // reported again: still announced once

    task->SchedulingSecond();
    const auto batch = task->TakeHaveBatch(20000);
    EXPECT_EQ(Announced(batch), std::vector<int32_t>{2});
    EXPECT_FALSE(task->Scheduling().SharedListed(2 * kBlocksPerPiece)) << "the second's pass drops requests of had pieces";
    EXPECT_TRUE(task->Scheduling().SharedListed(3 * kBlocksPerPiece));
    Deliver(3, 0, kPiece);
    task->FlushPieceMap();
    EXPECT_TRUE(task->TakeHaveBatch(20100).empty()) << "the next batch waits 250 ms";
    EXPECT_EQ(Announced(task->TakeHaveBatch(20250)), std::vector<int32_t>{3});
}

TEST_F(TaskSchedulingOnAMap, DroppingAllRequestersGivesUpThePieceDataInProgress) {
    Deliver(4, 0, 16384);
    Deliver(5, 0, 16384);
    ASSERT_TRUE(task->PieceMap()->Piece(4).blocks.HasBlock(0));
    ASSERT_TRUE(task->MarkRequested(4, true, false));
    EXPECT_TRUE(task->MarkRequested(4, false, true));
    EXPECT_FALSE(task->PieceMap()->Piece(4).blocks.HasBlock(0)) << "the half piece is given up";
    EXPECT_EQ(task->Scheduling().Requested().Count(4), 0);
    // A single requester leaving keeps the data.
    ASSERT_TRUE(task->MarkRequested(5, true, false));
    EXPECT_TRUE(task->MarkRequested(5, false, false));
    EXPECT_TRUE(task->PieceMap()->Piece(5).blocks.HasBlock(0));
    // A verified piece is never given up.
    Deliver(6, 0, kPiece);
    EXPECT_FALSE(task->MarkRequested(6, false, true));
    EXPECT_TRUE(task->PieceMap()->Piece(6).complete);
    // Its second half is fetched again: the piece completes and verifies.
    Deliver(4, 0, kPiece);
    EXPECT_TRUE(task->PieceMap()->Piece(4).complete);
}

TEST_F(TaskSchedulingOnAMap, EndGameAndRandomStartFollowThePieceMap) {
    EXPECT_FALSE(task->IsEndgame());
    for (int32_t p = 0; p < 12; ++p) ASSERT_TRUE(task->MarkRequested(p, true, false));
    EXPECT_TRUE(task->IsEndgame());
    EXPECT_TRUE(task->InEndgame());
    for (int32_t p = 0; p < 12; ++p) task->MarkRequested(p, false, false);
    EXPECT_FALSE(task->IsEndgame());
    EXPECT_TRUE(task->EndgameSeen());
    // A change of priorities is applied with the second's pending changes.
    task->QueueFileWanted(0, true);
    task->ApplyPendingChanges();
    EXPECT_FALSE(task->EndgameSeen());
    for (int i = 0; i < 200; ++i) {
        const int32_t start = task->RandomStartPiece();
        ASSERT_GE(start, 0);
        ASSERT_LT(start, 6) << "below 20 x 0 + 6 with nothing finished";
    }
    task->Settings().random_start = false;
    task->ApplyPendingChanges();
    EXPECT_EQ(task->RandomStartPiece(), 0);
}

// The peers reach this state through the task's peer driver: requests a
// leaving peer hands back are shared, taken once, and a peer that stops
// requesting a piece removes one entry.
TEST_F(TaskSchedulingOnAMap, PeersReachTheStateThroughTheDriver) {
    task->RefreshSources();  // the run's peers exist from the first source refresh
    ASSERT_NE(task->Peers(), nullptr);
    ASSERT_TRUE(task->MarkRequested(1, true, false));
    ASSERT_TRUE(task->MarkRequested(1, true, false));
    for (int32_t p = 2; p < 12; ++p) ASSERT_TRUE(task->MarkRequested(p, true, false));
    ASSERT_TRUE(task->IsEndgame()) << "11 pieces requested, one twice: 12 entries for 12 missing pieces";
    const test::PeerTaskCalls calls = test::ThroughPeerTask(*task->Peers(), {4, 5, 6}, 5, 1);
    ASSERT_TRUE(calls.peer_task);
    EXPECT_TRUE(calls.returned_listed);
    EXPECT_TRUE(calls.taken);
    EXPECT_FALSE(calls.taken_again);
    EXPECT_TRUE(calls.in_endgame) << "the flag as last computed";
    EXPECT_TRUE(task->Scheduling().SharedListed(4));
    EXPECT_FALSE(task->Scheduling().SharedListed(5));
    EXPECT_TRUE(task->Scheduling().SharedListed(6));
    EXPECT_EQ(task->Scheduling().Requested().Count(1), 1);
    EXPECT_FALSE(task->IsEndgame()) << "11 entries for 12 missing pieces";
}

}  // namespace
}  // namespace zl
