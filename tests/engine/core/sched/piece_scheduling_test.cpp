#include <gtest/gtest.h>

#include <cstdint>
#include <set>
#include <vector>

#include "engine/core/sched/block_read.h"
#include "engine/core/sched/have_announcer.h"
#include "engine/core/sched/have_bitfield.h"
#include "engine/core/sched/random_start.h"
#include "engine/core/sched/requested_pieces.h"
#include "engine/core/sched/shared_requests.h"

namespace zl {
namespace {

TEST(RequestedPieces, OneRequesterWhileManyAreMissingMoreAtTheEnd) {
    struct Case {
        int32_t piece_count, finished;
        int64_t active_peers;
        int32_t most;  // entries one piece can reach
    };
    const Case cases[] = {
        {1000, 900, 30, 2},    // 100 missing, 30 peers: one requester (two entries at most)
        {1000, 990, 300, 91},  // 10 missing, 300 peers: allowed 90, so 91 entries
        {1000, 990, 30, 55},   // 10 missing: max(10, 64) - 10 = 54 allowed
        {100, 100, 0, 65},     // all finished: 64 allowed
        {1, 0, 0, 64},         // a single missing piece
    };
    for (const Case& c : cases) {
        RequestedPieces set;
        set.Resize(c.piece_count);
        const int32_t piece = c.piece_count - 1;  // the last piece like any other
        int32_t added = 0;
        while (set.Add(piece, c.active_peers, c.finished) && added < 1000) ++added;
        EXPECT_EQ(added, c.most) << c.piece_count << "/" << c.finished << "/" << c.active_peers;
        EXPECT_EQ(set.Count(piece), c.most);
        EXPECT_EQ(set.Entries(), c.most);
    }
}

TEST(RequestedPieces, RemovalsAndBadIndexes) {
    RequestedPieces set;
    set.Resize(10);
    EXPECT_FALSE(set.Add(-1, 0, 0));
    EXPECT_FALSE(set.Add(10, 0, 0));  // one past the last piece
    EXPECT_EQ(set.Count(10), 0);
    EXPECT_FALSE(set.RemoveOne(10));
    EXPECT_FALSE(set.RemoveAll(-3));

    ASSERT_TRUE(set.Add(9, 0, 0));
    ASSERT_TRUE(set.Add(9, 0, 0));
    ASSERT_TRUE(set.Add(3, 0, 0));
    EXPECT_EQ(set.Entries(), 3);
    EXPECT_TRUE(set.RemoveOne(9));
    EXPECT_EQ(set.Count(9), 1);
    EXPECT_TRUE(set.RemoveAll(9));
    EXPECT_FALSE(set.RemoveAll(9));
    EXPECT_FALSE(set.RemoveOne(9));
    EXPECT_EQ(set.Entries(), 1);
    set.Resize(4);  // a new piece map
    EXPECT_EQ(set.Entries(), 0);
    EXPECT_EQ(set.Count(3), 0);
}

TEST(RequestedPieces, EndgameAndDiscarding) {
    RequestedPieces set;
    set.Resize(10);
    EndgameState endgame;
    EXPECT_FALSE(endgame.Update(set.Entries(), 10, 7));  // 3 missing, no requests
    set.Add(7, 0, 7);
    set.Add(8, 0, 7);
    EXPECT_FALSE(endgame.Update(set.Entries(), 10, 7));
    set.Add(9, 0, 7);
    EXPECT_TRUE(endgame.Update(set.Entries(), 10, 7));
    EXPECT_TRUE(endgame.Seen());
    set.RemoveAll(9);
    EXPECT_FALSE(endgame.Update(set.Entries(), 10, 7));
    EXPECT_TRUE(endgame.Seen());  // stays seen until priorities change or a reset
    endgame.ClearSeen();
    EXPECT_FALSE(endgame.Seen());
    EXPECT_TRUE(endgame.Update(0, 10, 10));  // all finished

    EXPECT_TRUE(DiscardOnDropAll(false, 50, false));
    EXPECT_TRUE(DiscardOnDropAll(true, 3, false));
    EXPECT_FALSE(DiscardOnDropAll(true, 4, false));
    EXPECT_FALSE(DiscardOnDropAll(false, 50, true));
}

TEST(RandomStartPiece, AlwaysAValidPiece) {
    TaskRandom random(12345);
    EXPECT_EQ(RandomStartPiece(false, 100, 50, random), 0);
    EXPECT_EQ(RandomStartPiece(true, 0, 0, random), 0);
    struct Case {
        int32_t count, finished;
    };
    // Few pieces, nothing finished, the last pieces left, all finished, one piece.
    const Case cases[] = {{1, 0}, {1, 1}, {3, 0}, {3, 2}, {10, 9}, {10, 10}, {100, 99}, {1000, 1}, {2048, 2047}};
    for (const Case& c : cases) {
        std::set<int32_t> seen;
        for (int i = 0; i < 2000; ++i) {
            const int32_t piece = RandomStartPiece(true, c.count, c.finished, random);
            ASSERT_GE(piece, 0) << c.count << "/" << c.finished;
            ASSERT_LT(piece, c.count) << c.count << "/" << c.finished;
            seen.insert(piece);
        }
        // With nothing or one piece finished the start lies among the first six pieces.
        if (c.finished <= 1) {
            EXPECT_LE(*seen.rbegin(), std::min(c.count - 1, 20 * c.finished + 5));
        }
        if (c.count >= 6 && c.finished == 0) {
            EXPECT_EQ(seen.size(), 6u);
        }
    }
    // 10 pieces, 9 finished: r below 186 taken mod 10, shifted by 9: every piece can come up.
    std::set<int32_t> seen;
    for (int i = 0; i < 2000; ++i) seen.insert(RandomStartPiece(true, 10, 9, random));
    EXPECT_EQ(seen.size(), 10u);
}

TEST(RandomStartPiece, TasksSeededApartDiffer) {
    TaskRandom a(1), b(2);
    int same = 0;
    for (int i = 0; i < 50; ++i) same += RandomStartPiece(true, 1000, 400, a) == RandomStartPiece(true, 1000, 400, b);
    EXPECT_LT(same, 10);
}

TEST(HaveAnnouncer, BatchesEveryQuarterSecondEachPieceOnce) {
    HaveAnnouncer haves;
    haves.Resize(5000);
    EXPECT_FALSE(haves.Queue(-1));
    EXPECT_FALSE(haves.Queue(5000));
    EXPECT_FALSE(haves.Due(1000)) << "nothing queued";
    EXPECT_TRUE(haves.Queue(0x01020304 % 5000));
    EXPECT_FALSE(haves.Queue(0x01020304 % 5000));
    // The first batch goes at once.
    EXPECT_TRUE(haves.Due(1000));
    std::vector<std::vector<uint8_t>> batch = haves.TakeBatch(1000);
    ASSERT_EQ(batch.size(), 1u);
    const uint32_t piece = 0x01020304 % 5000;
    EXPECT_EQ(batch[0], (std::vector<uint8_t>{0, 0, 0, 5, 4, uint8_t(piece >> 24), uint8_t(piece >> 16),
                                              uint8_t(piece >> 8), uint8_t(piece)}));
    EXPECT_EQ(haves.Pending(), 0u);

    // Pieces completing within the next 250 ms wait for one batch.
    for (int32_t p = 0; p < 4500; ++p) haves.Queue(p);
    for (uint64_t t : {1001, 1100, 1249}) EXPECT_TRUE(haves.TakeBatch(t).empty()) << t;
    batch = haves.TakeBatch(1250);
    ASSERT_EQ(batch.size(), 2u);  // 4097 messages to a buffer
    EXPECT_EQ(batch[0].size(), size_t(4097) * 9);
    EXPECT_EQ(batch[1].size(), size_t(4500 - 4097) * 9);
    EXPECT_EQ(batch[1][5 + 3], uint8_t(4097 & 0xFF));
    // A clock that went back does not hold the next batch for ever.
    haves.Queue(7);
    EXPECT_EQ(haves.TakeBatch(10).size(), 1u);
}

TEST(HaveBitfield, IndexesBeyondThePiecesAreIgnored) {
    EXPECT_EQ(HaveBitfieldBytes(0), 0);
    EXPECT_EQ(HaveBitfieldBytes(9), 2);
    std::vector<uint8_t> bits(size_t(HaveBitfieldBytes(9)), 0);
    EXPECT_TRUE(SetHaveBit(bits, 9, 0, true));
    EXPECT_TRUE(SetHaveBit(bits, 9, 8, true));  // the last piece
    EXPECT_EQ(bits, (std::vector<uint8_t>{0x80, 0x80}));
    // 9..15 lie inside the last byte but are no pieces; 16 and up lie outside it.
    for (int64_t index : {int64_t(9), int64_t(15), int64_t(16), int64_t(1) << 40, int64_t(-1)}) {
        EXPECT_FALSE(SetHaveBit(bits, 9, index, true)) << index;
        EXPECT_FALSE(HasHaveBit(bits, 9, index)) << index;
    }
    EXPECT_EQ(bits, (std::vector<uint8_t>{0x80, 0x80}));
    EXPECT_TRUE(SetHaveBit(bits, 9, 0, false));
    EXPECT_FALSE(HasHaveBit(bits, 9, 0));
    EXPECT_TRUE(HasHaveBit(bits, 9, 8));
    std::vector<uint8_t> short_bits(1, 0);  // fewer bytes than the count claims
    EXPECT_FALSE(SetHaveBit(short_bits, 9, 8, true));
}

// The geometry of `count` whole pieces.
BlockInfo Pieces(int64_t count, int64_t piece_length) { return BlockInfo(count * piece_length, piece_length); }

TEST(MapFileRead, MapsThroughTheFilesPlaceInTheTorrent) {
    const int64_t piece = 262144;
    // A file that starts 100 bytes before the end of piece 3.
    const int64_t file_offset = 4 * piece - 100;
    FileReadPlan plan = MapFileRead(file_offset, 10 * piece, 0, 300, Pieces(20, piece));
    ASSERT_TRUE(plan.valid);
    EXPECT_EQ(plan.first_piece, 3);
    EXPECT_EQ(plan.last_piece, 4);
    ASSERT_EQ(plan.spans.size(), 2u);
    EXPECT_EQ(plan.spans[0].piece, 3);
    EXPECT_EQ(plan.spans[0].offset, piece - 100);
    EXPECT_EQ(plan.spans[0].length, 100);
    EXPECT_EQ(plan.spans[1].piece, 4);
    EXPECT_EQ(plan.spans[1].offset, 0);
    EXPECT_EQ(plan.spans[1].length, 200);

    // Reading beyond 4 GiB of a 4 GiB volume in 2 MiB pieces.
    const int64_t four_gib = int64_t(4) << 30;
    plan = MapFileRead(0, four_gib, four_gib - 16384, 16384, Pieces(2048, 2 << 20));
    ASSERT_TRUE(plan.valid);
    EXPECT_EQ(plan.first_piece, 2047);
    ASSERT_EQ(plan.spans.size(), 1u);
    EXPECT_EQ(plan.spans[0].offset, (2 << 20) - 16384);

    // A second 4 GiB file after the first.
    plan = MapFileRead(four_gib, four_gib, 1, 1, Pieces(4096, 2 << 20));
    ASSERT_TRUE(plan.valid);
    EXPECT_EQ(plan.first_piece, 2048);
    EXPECT_EQ(plan.spans[0].offset, 1);

    // The empty read inside the file is fine and touches nothing.
    plan = MapFileRead(0, 1000, 1000, 0, Pieces(1, piece));
    EXPECT_TRUE(plan.valid);
    EXPECT_TRUE(plan.spans.empty());
}

TEST(MapFileRead, RejectsBadRanges) {
    const int64_t piece = 16384;
    struct Case {
        int64_t file_offset, file_size, offset, length, piece_length, piece_count;
    };
    const Case cases[] = {
        {0, 1000, -1, 10, piece, 1},                // negative offset
        {0, 1000, 0, -10, piece, 1},                // negative length
        {0, 1000, 995, 10, piece, 1},               // past the file's end
        {0, 1000, 1001, 0, piece, 1},               // starting past the end
        {0, INT64_MAX, INT64_MAX - 1, INT64_MAX, piece, 1},  // offset + length overflows
        {0, 1000, 0, 10, 0, 1},                     // piece length unknown
        {0, 100000, 0, 100000, piece, 3},           // pieces beyond the piece count
        {INT64_MAX, 10, 0, 1, piece, 1},            // file position overflows
    };
    for (const Case& c : cases)
        EXPECT_FALSE(MapFileRead(c.file_offset, c.file_size, c.offset, c.length, Pieces(c.piece_count, c.piece_length)).valid)
            << c.offset << " " << c.length;
}

TEST(ReadWaitOutcome, GivesUpAtTheRightTime) {
    using S = ReadRequestState;
    EXPECT_EQ(ReadWaitOutcome(S::Waiting, 0, false, false, 0), kReadNoWorker);    // no worker: at once
    EXPECT_EQ(ReadWaitOutcome(S::Waiting, 10, true, true, 0), kReadNoWorker);     // stopping
    EXPECT_EQ(ReadWaitOutcome(S::Waiting, 2990, true, false, 0), kReadKeepWaiting);
    EXPECT_EQ(ReadWaitOutcome(S::Waiting, 3000, true, false, 0), kReadNotStarted);  // worker idle
    EXPECT_EQ(ReadWaitOutcome(S::InProgress, 9000, true, false, 0), kReadKeepWaiting);
    EXPECT_EQ(ReadWaitOutcome(S::InProgress, 10, false, false, 0), kReadNoWorker);
    EXPECT_EQ(ReadWaitOutcome(S::Done, 10, true, false, 16384), 16384);
    EXPECT_EQ(ReadWaitOutcome(S::Failed, 10, true, false, 0), kReadFailed);
}

RequestRecord Block(int64_t block, int32_t length = 16384) {
    RequestRecord r;
    r.block = block;
    r.length = length;
    r.time = 7;
    return r;
}

TEST(SharedRequests, PieceOfBlockIn64Bits) {
    const int64_t piece = 2 << 20;  // 128 blocks a piece
    EXPECT_EQ(BlockInfo::PieceOfBlock(0, piece), 0);
    EXPECT_EQ(BlockInfo::PieceOfBlock(127, piece), 0);
    EXPECT_EQ(BlockInfo::PieceOfBlock(128, piece), 1);
    // Block 262143 is the last of a 4 GiB volume; x 16384 overflows 32 bits.
    EXPECT_EQ(BlockInfo::PieceOfBlock(262143, piece), 2047);
    EXPECT_EQ(BlockInfo::PieceOfBlock(-1, piece), -1);
    EXPECT_EQ(BlockInfo::PieceOfBlock(5, 0), -1);
    EXPECT_EQ(BlockInfo::PieceOfBlock(INT64_MAX, piece), -1);
}

TEST(SharedRequests, TakesThePeersFirstUsefulPiece) {
    const int64_t piece_length = 4 * 16384;  // 4 blocks a piece
    RequestList shared, mine;
    // Piece 1 (blocks 4..6), piece 5000 in the upper half of a 4 GiB torrent, piece 2 (blocks 8, 9).
    for (int64_t b : {4, 5, 6}) shared.Add(Block(b));
    shared.Add(Block(20000));
    for (int64_t b : {8, 9}) shared.Add(Block(b));
    mine.Add(Block(9));

    auto has = [](int32_t p) { return p != 1; };  // the peer lacks piece 1
    auto none = [](int32_t) { return false; };
    auto excluded_5000 = [](int32_t p) { return p == 5000; };
    auto needed = [](int32_t) { return true; };

    ASSERT_TRUE(TakeSharedRequests(shared, mine, piece_length, has, excluded_5000, needed, 0));
    // Piece 2's block 8 moved; block 9 was already the peer's and stays shared.
    EXPECT_TRUE(mine.Contains(8));
    EXPECT_FALSE(shared.Contains(8));
    EXPECT_TRUE(shared.Contains(9));
    EXPECT_EQ(mine.size(), 2u);
    EXPECT_EQ(shared.size(), 5u);

    // Without exclusion the peer gets piece 5000 first, limited to `maximum`.
    RequestList other;
    ASSERT_TRUE(TakeSharedRequests(shared, other, piece_length, has, none, needed, 1));
    EXPECT_TRUE(other.Contains(20000));
    EXPECT_EQ(other.size(), 1u);

    // A peer that has nothing useful gets nothing.
    RequestList empty;
    EXPECT_FALSE(TakeSharedRequests(shared, empty, piece_length, none, none, needed, 0));
    EXPECT_FALSE(TakeSharedRequests(shared, empty, piece_length, has, none, [](int32_t) { return false; }, 0));

    // Complete pieces leave the list.
    EXPECT_EQ(DropCompleteSharedRequests(shared, piece_length, [](int32_t p) { return p == 1; }), 3u);
    EXPECT_EQ(shared.size(), 1u);
    EXPECT_TRUE(shared.Contains(9));
}

}  // namespace
}  // namespace zl
