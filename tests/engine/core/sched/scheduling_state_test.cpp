// The piece-scheduling state of a task: how many peers may request a piece,
// the end game and its seen flag, the shared request list, and announcements
// of completed pieces in batches (explicit uptimes, no clock).
#include <gtest/gtest.h>

#include <vector>

#include "engine/core/task/task_piece_view.h"
#include "engine/core/sched/scheduling_state.h"
#include "engine/net/peer_requests.h"
#include "engine/net/peer_task.h"
#include "tests/engine/core/sched/scheduling_state_test_support.h"

namespace zl {
namespace test {

bool ShareBlock(TaskScheduling& scheduling, int64_t block, int32_t length) {
    RequestRecord r;
    r.block = block;
    r.length = length;
    return scheduling.AddShared(r);
}

std::vector<int32_t> Announced(const std::vector<std::vector<uint8_t>>& batch) {
    std::vector<int32_t> pieces;
    for (const std::vector<uint8_t>& buffer : batch) {
        EXPECT_EQ(buffer.size() % kHaveMessageSize, 0u);
        for (size_t at = 0; at + kHaveMessageSize <= buffer.size(); at += kHaveMessageSize) {
            const uint8_t* m = buffer.data() + at;
            EXPECT_EQ(std::vector<uint8_t>(m, m + 5), (std::vector<uint8_t>{0, 0, 0, 5, 4}));
            pieces.push_back(int32_t(uint32_t(m[5]) << 24 | uint32_t(m[6]) << 16 | uint32_t(m[7]) << 8 | m[8]));
        }
    }
    return pieces;
}

PeerTaskCalls ThroughPeerTask(TaskPeers& peers, const std::vector<int64_t>& returned, int64_t taken,
                              int32_t not_requested) {
    PeerTaskCalls calls;
    IPeerTask* task = dynamic_cast<IPeerTask*>(&peers);
    if (!task) return calls;
    calls.peer_task = true;
    std::vector<RequestRecord> records;
    for (int64_t block : returned) {
        RequestRecord r;
        r.block = block;
        r.length = 16384;
        r.sent = true;
        records.push_back(r);
    }
    task->ReturnRequests(records);
    calls.returned_listed = !returned.empty() && task->SharedRequestListed(returned[0]);
    calls.taken = task->TakeSharedRequest(taken, 16384);
    calls.taken_again = task->TakeSharedRequest(taken, 16384);
    task->MarkNotRequested(not_requested);
    calls.in_endgame = task->InEndgame();
    return calls;
}

}  // namespace test

namespace {

using test::Announced;

constexpr int64_t kPiece = 32768;  // two blocks a piece

MarkFacts Facts(int64_t peers, int32_t finished, bool stopping = false) {
    MarkFacts f;
    f.active_peers = peers;
    f.finished_pieces = finished;
    f.stop_requested = stopping;
    return f;
}

RequestRecord Request(int64_t block, int32_t length = 16384) {
    RequestRecord r;
    r.block = block;
    r.length = length;
    r.piece = int32_t(block * 16384 / kPiece);
    return r;
}

const PieceTest kNone = [](int32_t) { return false; };

TEST(TaskScheduling, RequestersPerPieceFollowTheMissingPieces) {
    struct Row {
        const char* what;
        int32_t pieces, finished;
        int64_t peers;
        int32_t most;  // entries one piece can reach
    } rows[] = {
        {"100 missing, 30 peers: one requester plus one", 100, 0, 30, 2},
        {"10 missing, 300 peers: allowed 90", 100, 90, 300, 91},
        {"the last piece, few peers", 100, 99, 3, 64},
        {"no peers counted yet", 5000, 0, 0, 2},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        TaskScheduling s;
        s.Resize(row.pieces);
        int32_t added = 0;
        while (added < 1000 && s.MarkRequested(7, true, false, Facts(row.peers, row.finished)).changed) ++added;
        EXPECT_EQ(added, row.most);
        EXPECT_EQ(s.Requested().Count(7), row.most);
        // One requester leaving makes room for exactly one more.
        EXPECT_TRUE(s.MarkRequested(7, false, false, Facts(row.peers, row.finished)).changed);
        EXPECT_TRUE(s.MarkRequested(7, true, false, Facts(row.peers, row.finished)).changed);
        EXPECT_FALSE(s.MarkRequested(7, true, false, Facts(row.peers, row.finished)).changed);
    }
    TaskScheduling s;
    s.Resize(4);
    for (const int32_t outside : {-1, 4, 1 << 30}) {
        EXPECT_FALSE(s.MarkRequested(outside, true, false, Facts(1, 0)).changed) << outside;
        EXPECT_FALSE(s.MarkRequested(outside, false, true, Facts(1, 0)).discard_data) << outside;
    }
    EXPECT_EQ(s.Requested().Entries(), 0);
}

TEST(TaskScheduling, DropAllDiscardsDataUnlessDeepInTheEndGameOrStopping) {
    struct Row {
        const char* what;
        int32_t finished;   // of 10 pieces
        bool endgame;       // enough entries to cover the missing pieces
        bool stopping;
        bool discard;
    } rows[] = {
        {"no end game", 0, false, false, true},
        {"end game, 10 missing", 0, true, false, false},
        {"end game, 4 missing", 6, true, false, false},
        {"end game, 3 missing", 7, true, false, true},
        {"stopping", 0, false, true, false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        TaskScheduling s;
        s.Resize(10);
        const int32_t missing = 10 - row.finished;
        const int32_t requested = row.endgame ? missing : 1;
        for (int32_t p = 0; p < requested; ++p) ASSERT_TRUE(s.MarkRequested(p, true, false, Facts(30, row.finished)).changed);
        ASSERT_TRUE(s.MarkRequested(0, true, false, Facts(30, row.finished)).changed);
        EXPECT_EQ(s.UpdateEndgame(row.finished), row.endgame);
        const MarkResult r = s.MarkRequested(0, false, true, Facts(30, row.finished, row.stopping));
        EXPECT_TRUE(r.changed);
        EXPECT_EQ(r.discard_data, row.discard);
        EXPECT_EQ(s.Requested().Count(0), 0) << "every entry of the piece goes";
        EXPECT_FALSE(s.MarkRequested(0, false, true, Facts(30, row.finished)).changed) << "nothing left to remove";
    }
}

TEST(TaskScheduling, EndGameSeenStaysUntilPrioritiesChangeOrReset) {
    TaskScheduling s;
    s.Resize(4);
    for (int32_t p = 0; p < 3; ++p) s.MarkRequested(p, true, false, Facts(3, 0));
    EXPECT_FALSE(s.UpdateEndgame(0)) << "3 entries, 4 missing";
    EXPECT_FALSE(s.EndgameSeen());
    EXPECT_TRUE(s.UpdateEndgame(1)) << "3 entries, 3 missing";
    EXPECT_TRUE(s.InEndgame());
    s.MarkRequested(0, false, false, Facts(3, 1));
    EXPECT_FALSE(s.UpdateEndgame(1));
    EXPECT_FALSE(s.InEndgame());
    EXPECT_TRUE(s.EndgameSeen()) << "seen stays after the end game itself is left";
    s.PrioritiesApplied();
    EXPECT_FALSE(s.EndgameSeen());
    EXPECT_TRUE(s.UpdateEndgame(2));
    s.Reset();
    EXPECT_FALSE(s.InEndgame());
    EXPECT_FALSE(s.EndgameSeen());
    EXPECT_EQ(s.PieceCount(), 0);
}

TEST(TaskScheduling, SharedRequestsAreListedOnceTakenExactlyAndDroppedWithTheirPiece) {
    TaskScheduling s;
    s.Resize(8);
    std::vector<RequestRecord> leaving = {Request(0), Request(1), Request(4), Request(4), Request(9)};
    leaving[0].sent = true;
    s.ReturnRequests(leaving, false);
    EXPECT_TRUE(leaving.empty());
    EXPECT_EQ(s.SharedCount(), 4u) << "a block listed once";
    EXPECT_TRUE(s.SharedListed(4));
    EXPECT_FALSE(s.AddShared(Request(4)));
    EXPECT_FALSE(s.TakeShared(4, 100)) << "another length is another request";
    EXPECT_TRUE(s.TakeShared(4, 16384));
    EXPECT_FALSE(s.SharedListed(4));

    std::vector<RequestRecord> stopping = {Request(10)};
    s.ReturnRequests(stopping, true);
    EXPECT_TRUE(stopping.empty());
    EXPECT_FALSE(s.SharedListed(10)) << "freed while stopping";

    // Piece 0 (blocks 0, 1) is had: the second's pass removes its requests only.
    const PieceTest had = [](int32_t piece) { return piece == 0; };
    s.Second(kPiece, false, had);
    EXPECT_FALSE(s.SharedListed(0));
    EXPECT_FALSE(s.SharedListed(1));
    EXPECT_TRUE(s.SharedListed(9));
    // Complete data frees the whole list.
    s.Second(kPiece, true, kNone);
    EXPECT_EQ(s.SharedCount(), 0u);
}

TEST(TaskScheduling, PeersTakeSharedRequestsOfAPieceTheyHave) {
    TaskScheduling s;
    s.Resize(8);
    for (int64_t block : {2, 3, 6, 7, 8}) s.AddShared(Request(block));
    RequestList mine;
    mine.Add(Request(7));
    const PieceTest has_3_and_4 = [](int32_t piece) { return piece == 3 || piece == 4; };
    const PieceTest needed = [](int32_t) { return true; };
    ASSERT_TRUE(s.TakeSharedRequests(mine, kPiece, has_3_and_4, kNone, needed, 0));
    EXPECT_TRUE(mine.Contains(6));
    EXPECT_EQ(mine.size(), 2u);
    EXPECT_FALSE(s.SharedListed(6));
    EXPECT_TRUE(s.SharedListed(7)) << "the peer held block 7 already: it stays shared";
    EXPECT_TRUE(s.SharedListed(2));
    RequestList other;
    const PieceTest excluded_4 = [](int32_t piece) { return piece == 4; };
    EXPECT_FALSE(s.TakeSharedRequests(other, kPiece, [](int32_t p) { return p == 4; }, excluded_4, needed, 0));
    EXPECT_TRUE(other.empty());
}

TEST(TaskScheduling, CompletedPiecesAreAnnouncedOnceInBatchesEveryQuarterSecond) {
    TaskScheduling s;
    s.Resize(10000);
    for (int32_t i = 0; i < 3; ++i) s.MarkRequested(5, true, false, Facts(300, 0));
    EXPECT_TRUE(s.PieceHad(5));
    EXPECT_TRUE(s.PieceHad(5));
    EXPECT_EQ(s.Requested().Count(5), 0) << "a had piece has no requesters";
    EXPECT_FALSE(s.PieceHad(10000));
    EXPECT_FALSE(s.PieceHad(-1));
    EXPECT_EQ(Announced(s.TakeHaves(8000)), std::vector<int32_t>{5});
    EXPECT_EQ(s.PendingAnnouncements(), 0u);

    // Pieces completing within 250 ms wait for one batch.
    for (uint64_t ms = 8010; ms <= 8070; ms += 10) {
        s.PieceHad(int32_t(ms / 10 - 792));
        EXPECT_TRUE(s.TakeHaves(ms).empty()) << ms;
    }
    EXPECT_EQ(Announced(s.TakeHaves(8250)), (std::vector<int32_t>{9, 10, 11, 12, 13, 14, 15}));

    // More than 4097 at once: whole messages, at most 4097 to a buffer.
    for (int32_t p = 0; p < 5000; ++p) s.PieceHad(p);
    const auto batch = s.TakeHaves(9000);
    ASSERT_EQ(batch.size(), 2u);
    EXPECT_EQ(batch[0].size(), size_t(kHavesPerBuffer) * kHaveMessageSize);
    const std::vector<int32_t> pieces = Announced(batch);
    ASSERT_EQ(pieces.size(), 5000u);
    EXPECT_EQ(pieces.front(), 0);
    EXPECT_EQ(pieces.back(), 4999);

    // A new piece map forgets what the old one queued.
    s.PieceHad(1);
    s.Resize(10);
    EXPECT_TRUE(s.TakeHaves(20000).empty());
}

}  // namespace
}  // namespace zl
