#include "engine/core/sched/piece_rarity.h"

#include <gtest/gtest.h>

namespace zl {
namespace {

const auto kAll = [](int32_t) { return true; };

TEST(PieceRarity, LeastHeldWinsThenThePreferredThenTheFirstFromTheStart) {
    struct Case {
        std::vector<int32_t> availability;
        int32_t start;
        int32_t prefer;
        int32_t piece;
        const char* why;
    } cases[] = {
        {{3, 1, 2, 1, 4}, 0, -1, 1, "the first least held from the start"},
        {{3, 1, 2, 1, 4}, 2, -1, 3, "the scan starts at the random place"},
        {{3, 1, 2, 1, 4}, 4, -1, 1, "and wraps"},
        {{3, 1, 2, 1, 4}, 0, 3, 3, "the preferred piece among equals"},
        {{3, 1, 2, 1, 4}, 0, 2, 1, "not over a rarer one"},
        {{0, 0, 0}, 1, -1, 1, "nobody holds anything"},
        {{}, 0, -1, -1, "no pieces"},
    };
    for (const Case& c : cases) EXPECT_EQ(PickRarest(c.availability, c.start, c.prefer, kAll).piece, c.piece) << c.why;
}

TEST(PieceRarity, OnlyEligiblePiecesAndRunsOfTheSameRarity) {
    const std::vector<int32_t> availability = {0, 0, 0, 1, 0, 0, 0, 0};
    const auto not_zero = [](int32_t p) { return p != 0; };
    EXPECT_EQ(PickRarest(availability, 0, -1, not_zero).piece, 1);
    EXPECT_EQ(PickRarest(availability, 0, -1, [](int32_t) { return false; }).piece, -1);
    EXPECT_EQ(RunEnd(availability, 0, 8, kAll), 2) << "a held piece ends the run";
    EXPECT_EQ(RunEnd(availability, 4, 8, kAll), 7) << "the file's end does";
    EXPECT_EQ(RunEnd(availability, 4, 2, kAll), 5) << "and the run's length";
    EXPECT_EQ(RunEnd(availability, 4, 8, [](int32_t p) { return p != 6; }), 5) << "and a piece not free";
    EXPECT_EQ(RunEnd(availability, 3, 8, kAll), 7) << "rarer pieces may follow";
}

}  // namespace
}  // namespace zl
