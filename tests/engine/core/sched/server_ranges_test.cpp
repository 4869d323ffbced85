#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <set>
#include <vector>

#include "engine/core/sched/server_ranges.h"

namespace zl {
namespace {

TEST(PlanServerRanges, SharesAndSubRanges) {
    struct Case {
        int32_t pieces;
        int candidates;
        int32_t max_connections;
        size_t sub_ranges_each;
        int32_t first_sub_last;  // last piece of the first sub-range
    };
    const Case cases[] = {
        {1000, 4, 100, 51, 3},  // shares of 250 split in min(250, 51, 100) = 51 parts of 4
        {1000, 4, 3, 3, 82},    // three parts of 83, the last runs to the share's end
        {1000, 4, 0, 1, 249},   // no connections allowed: still one sub-range, no division by zero
        {10, 3, 1, 1, 2},       // shares 0-2, 3-5, 6-9
        {7, 7, 5, 1, 0},        // one piece each
    };
    for (const Case& c : cases) {
        std::vector<ServerCandidateInfo> candidates(size_t(c.candidates), {true, false, false, c.max_connections});
        const RangePlan plan = PlanServerRanges(c.pieces, candidates);
        ASSERT_TRUE(plan.ok);
        EXPECT_EQ(plan.ranges.size(), c.sub_ranges_each * size_t(c.candidates)) << c.pieces << "/" << c.candidates;
        EXPECT_EQ(plan.ranges.front().first, 0);
        EXPECT_EQ(plan.ranges.front().last, c.first_sub_last) << c.pieces << "/" << c.max_connections;
        for (int32_t m : plan.max_connections) EXPECT_EQ(m, int32_t(c.sub_ranges_each));
        // The sub-ranges tile every piece exactly once, in order.
        int32_t next = 0;
        for (const PlannedRange& r : plan.ranges) {
            EXPECT_EQ(r.first, next);
            EXPECT_GE(r.last, r.first);
            next = r.last + 1;
        }
        EXPECT_EQ(next, c.pieces);
    }
}

TEST(PlanServerRanges, WhoTakesPart) {
    // 3 pieces, 5 candidates: candidates 0, 1, 2 get one piece each and building stops.
    std::vector<ServerCandidateInfo> five(5, {true, false, false, 4});
    RangePlan plan = PlanServerRanges(3, five);
    ASSERT_TRUE(plan.ok);
    ASSERT_EQ(plan.ranges.size(), 3u);
    for (size_t k = 0; k < 3; ++k) {
        EXPECT_EQ(plan.ranges[k].candidate, k);
        EXPECT_EQ(plan.ranges[k].first, int32_t(k));
        EXPECT_EQ(plan.ranges[k].last, int32_t(k));
    }
    EXPECT_EQ(plan.max_connections, (std::vector<int32_t>{1, 1, 1, -1, -1}));

    // Trackers, BitTorrent nodes, whole-content and metainfo sources get no share.
    std::vector<ServerCandidateInfo> mixed = {
        {false, false, false, 5}, {true, true, false, 5}, {true, false, false, 5},
        {true, false, true, 5},   {true, false, false, 5},
    };
    plan = PlanServerRanges(100, mixed);
    ASSERT_TRUE(plan.ok);
    std::set<size_t> sharing;
    for (const PlannedRange& r : plan.ranges) sharing.insert(r.candidate);
    EXPECT_EQ(sharing, (std::set<size_t>{2, 4}));
    EXPECT_EQ(plan.ranges.back().last, 99);

    EXPECT_FALSE(PlanServerRanges(0, five).ok);
    EXPECT_FALSE(PlanServerRanges(100, {{false, false, false, 1}}).ok);
    EXPECT_FALSE(PlanServerRanges(100, {}).ok);
}

TEST(SplitArithmetic, ShareAndTakenPieces) {
    struct Case {
        int64_t peer_rate, owner_rate;
        bool claimed_before;
        int64_t remaining;
        int64_t percent, taken;
    };
    const Case cases[] = {
        {200, 100, true, 10, 66, 6},     // exactly twice as fast: 200 / 3 %, 6 of 10
        {0, 100, false, 10, 50, 5},      // a newcomer without a rate: half
        {300, 100, true, 10, 76, 8},     // three times: 75 % + 1, and one piece more
        {100, 100, true, 10, 50, 5},
        {50, 100, true, 10, 33, 3},
        {100, 0, true, 10, 100, 10},     // the owner delivers nothing: all of it
        {100, 100, true, 1, 50, 1},      // one piece left: it is taken
        {10, 1000, true, 10, 0, 0},      // far slower: nothing to gain
        {1, 0, false, 2, 51, 2},
    };
    for (const Case& c : cases) {
        const int64_t percent = SplitSharePercent(c.peer_rate, c.owner_rate, c.claimed_before);
        EXPECT_EQ(percent, c.percent) << c.peer_rate << " vs " << c.owner_rate;
        EXPECT_EQ(SplitTakenPieces(c.remaining, percent, c.peer_rate, c.owner_rate), c.taken)
            << c.peer_rate << " vs " << c.owner_rate;
    }
    EXPECT_EQ(SubRangeCount(250, 100), 51);
    EXPECT_EQ(SubRangeCount(4, 10), 1);
    EXPECT_EQ(SubRangeCount(5, 10), 2);
    EXPECT_EQ(SubRangeCount(10, -3), 1);
}

TEST(SplitArithmetic, JumpOnlyForMoreThanSixPieces) {
    EXPECT_FALSE(ShouldJumpToPosition(true, 10, 106, 100));
    EXPECT_TRUE(ShouldJumpToPosition(true, 10, 107, 100));
    EXPECT_TRUE(ShouldJumpToPosition(true, 10, 50, 100));
    EXPECT_FALSE(ShouldJumpToPosition(false, 10, 500, 100));  // BitTorrent peers pick their own pieces
    EXPECT_FALSE(ShouldJumpToPosition(true, 0, 500, 100));
    EXPECT_FALSE(ShouldJumpToPosition(true, 10, 0, 100));     // no reader
    EXPECT_TRUE(ShouldJumpToPosition(true, 10, 7, -1));
}

// Peers are only tokens to the range list; their facts live here.
struct FakePeer {
    int64_t rate = 0;
    int32_t claimed = 0;
    int32_t last_piece = -1;
    int32_t released = 0;
};

class FakeFacts : public RangePeerFacts {
public:
    std::set<int32_t> unneeded;
    int64_t missing = 100;
    int64_t piece_length = 1 << 20;

    static FakePeer& Of(const TPeerObject& p) { return *reinterpret_cast<FakePeer*>(const_cast<TPeerObject*>(&p)); }
    int64_t DownloadRate(const TPeerObject& p) override { return Of(p).rate; }
    int32_t RangesClaimed(const TPeerObject& p) override { return Of(p).claimed; }
    int32_t LastPiece(const TPeerObject& p) override { return Of(p).last_piece; }
    TPeerId* Identity(TPeerObject&) override { return nullptr; }
    void NoteClaimed(TPeerObject& p) override { ++Of(p).claimed; }
    void ReleaseOwnedRange(TPeerObject& p) override { ++Of(p).released; }
    bool PieceNeeded(int32_t piece) override { return unneeded.count(piece) == 0; }
    int64_t MissingPieces() override { return missing; }
    int64_t PieceLength() override { return piece_length; }
};

TPeerObject& AsPeer(FakePeer& f) { return *reinterpret_cast<TPeerObject*>(&f); }

class ServerRangesTest : public ::testing::Test {
protected:
    FakeFacts facts;
    ServerRanges ranges{facts};
    TaskRandom random{7};
    FakePeer a, b, c;
};

TEST_F(ServerRangesTest, FreeRangesContinuationAndTakeover) {
    EXPECT_EQ(ranges.Assign(AsPeer(a), 100, random), nullptr);  // no ranges yet
    std::vector<ServerCandidateInfo> one(1, {true, false, false, 2});
    ranges.AddPlanned(PlanServerRanges(20, one), {nullptr}, 0);
    ASSERT_EQ(ranges.size(), 2u);  // [0, 9] and [10, 19]

    TPieceRange* ra = ranges.Assign(AsPeer(a), 100, random);
    TPieceRange* rb = ranges.Assign(AsPeer(b), 100, random);
    ASSERT_TRUE(ra && rb);
    EXPECT_NE(ra, rb);
    EXPECT_EQ(ra->owner, &AsPeer(a));
    EXPECT_EQ(ra->assigned_at, 100u);
    EXPECT_EQ(a.claimed, 1);

    // A range finished by its owner is left; the next one continues where a stopped.
    TPieceRange& low = ra->first == 0 ? *ra : *rb;
    TPieceRange& high = ra->first == 0 ? *rb : *ra;
    FakePeer& low_owner = ra->first == 0 ? a : b;
    low.current = 10;  // a range runs until its owner finished it
    low.finished = true;
    low.owner = nullptr;
    high.owner = nullptr;  // the high range's owner went away
    c.last_piece = 9;
    EXPECT_EQ(ranges.Assign(AsPeer(c), 105, random), &high);

    // A range that made no progress for more than 10 s is taken over.
    FakePeer d;
    EXPECT_EQ(ranges.Assign(AsPeer(d), 116, random), &high);
    EXPECT_EQ(c.released, 1);
    EXPECT_EQ(high.owner, &AsPeer(d));
    (void)low_owner;
}

TEST_F(ServerRangesTest, IncompleteRangeIsTakenAtOnce) {
    TPieceRange* r = ranges.Add(0, 9, nullptr, nullptr, 0);
    r->finished = true;
    r->incomplete = true;
    r->current = 9;
    EXPECT_EQ(ranges.Assign(AsPeer(a), 50, random), r);
}

TEST_F(ServerRangesTest, FasterPeerSplitsTheSlowestRange) {
    a.rate = 100 * 1024;
    a.claimed = 1;
    c.rate = 400 * 1024;
    c.claimed = 1;
    // Both assigned 5 s ago (not stale), both owners delivering.
    TPieceRange* quick = ranges.Add(0, 9, nullptr, &AsPeer(c), 15);  // 10 pieces at 400 KiB/s
    TPieceRange* slow = ranges.Add(10, 19, nullptr, &AsPeer(a), 15);  // 10 pieces at 100 KiB/s
    (void)quick;

    b.rate = 200 * 1024;  // twice as fast as a
    b.claimed = 1;
    TPieceRange* got = ranges.Assign(AsPeer(b), 20, random);
    ASSERT_NE(got, nullptr);
    EXPECT_EQ(got->first, 14);  // the last 6 of 10
    EXPECT_EQ(got->last, 19);
    EXPECT_EQ(got->current, 14);
    EXPECT_EQ(got->owner, &AsPeer(b));
    EXPECT_EQ(slow->last, 13);
    EXPECT_EQ(slow->assigned_at, 20u);
    EXPECT_EQ(ranges.size(), 3u);
    EXPECT_FALSE(slow->finished);
}

TEST_F(ServerRangesTest, NewcomerWithoutRateTakesHalfAndUnneededTailIsSkipped) {
    a.rate = 100 * 1024;
    TPieceRange* r = ranges.Add(0, 11, nullptr, &AsPeer(a), 25);
    facts.unneeded = {10, 11};  // the last two are already had
    TPieceRange* got = ranges.Assign(AsPeer(b), 30, random);
    ASSERT_NE(got, nullptr);
    EXPECT_EQ(got->first, 5);
    EXPECT_EQ(got->last, 9);
    EXPECT_EQ(r->last, 4);

    // A peer that had ranges before but shows no rate gets nothing.
    FakePeer idle;
    idle.claimed = 2;
    EXPECT_EQ(ranges.Assign(AsPeer(idle), 40, random), nullptr);
}

TEST_F(ServerRangesTest, SlowOwnerGivesUpItsLastPiece) {
    a.rate = 10 * 1024;
    a.claimed = 1;
    TPieceRange* r = ranges.Add(5, 6, nullptr, &AsPeer(a), 25);
    b.rate = 100 * 1024;
    b.claimed = 1;
    TPieceRange* got = ranges.Assign(AsPeer(b), 30, random);
    ASSERT_NE(got, nullptr);
    EXPECT_EQ(got->first, 5);
    EXPECT_EQ(got->last, 6);
    EXPECT_TRUE(r->finished);
    EXPECT_EQ(r->owner, nullptr);
    EXPECT_EQ(a.released, 1);
}

TEST_F(ServerRangesTest, ShortRangesOfFastOwnersAreLeftAlone) {
    a.rate = 1 << 20;
    a.claimed = 1;
    ranges.Add(0, 3, nullptr, &AsPeer(a), 25);  // 4 s to go at 1 MiB/s
    b.rate = 1 << 20;
    b.claimed = 1;
    EXPECT_EQ(ranges.Assign(AsPeer(b), 30, random), nullptr);
    facts.missing = 3;  // the very end: even short ranges are shared
    EXPECT_NE(ranges.Assign(AsPeer(b), 30, random), nullptr);
}

TEST_F(ServerRangesTest, SplitAtTheReadersPosition) {
    TPieceRange* open = ranges.Add(0, 99, nullptr, nullptr, 0);
    TPieceRange* got = ranges.SplitAt(40, AsPeer(a), 10);
    ASSERT_NE(got, nullptr);
    EXPECT_EQ(got->first, 40);
    EXPECT_EQ(got->last, 99);
    EXPECT_EQ(open->last, 39);

    // An owned range: its owner keeps the piece it works on.
    TPieceRange* owned = ranges.Add(100, 199, nullptr, &AsPeer(b), 0);
    owned->current = 150;
    EXPECT_EQ(ranges.SplitAt(150, AsPeer(c), 10), nullptr);  // the owner works on that piece
    got = ranges.SplitAt(170, AsPeer(c), 10);
    ASSERT_NE(got, nullptr);
    EXPECT_EQ(got->first, 170);
    EXPECT_EQ(got->current, 170);
    EXPECT_EQ(got->last, 199);
    EXPECT_EQ(owned->last, 169);
    EXPECT_EQ(c.claimed, 1);
    EXPECT_EQ(ranges.SplitAt(500, AsPeer(c), 10), nullptr);  // beyond every range
    EXPECT_TRUE(ranges.PieceInAnyRange(199));
    EXPECT_FALSE(ranges.PieceInAnyRange(200));
    ranges.Remove(got);
    EXPECT_FALSE(ranges.PieceInAnyRange(199));
}

}  // namespace
}  // namespace zl
