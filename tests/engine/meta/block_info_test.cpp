// The block geometry on its edges: the short last block and piece, a piece
// length of one block, and files of 4 GiB and more.
#include <gtest/gtest.h>

#include "engine/meta/block_info.h"

namespace zl {
namespace {

constexpr int64_t B = 16384;
constexpr int64_t GiB = int64_t(1) << 30;

struct Geometry {
    int64_t total;
    int64_t piece_length;
    int32_t pieces;
    int64_t last_piece_size;
    int64_t blocks;
    int32_t last_block_length;
};

TEST(BlockInfo, CountsAndLastPieceAndBlock) {
    const Geometry table[] = {
        {B, B, 1, B, 1, int32_t(B)},                          // one whole block
        {1, B, 1, 1, 1, 1},                                   // one byte
        {5 * B + 100, 2 * B, 3, B + 100, 6, 100},             // short last piece, short last block
        {4 * GiB, 4 * 1024 * 1024, 1024, 4 * 1024 * 1024, 262144, int32_t(B)},
        {4 * GiB + 1, 2 * 1024 * 1024, 2049, 1, 262145, 1},   // one byte past 4 GiB
        {5'000'000, 2'097'152, 3, 5'000'000 - 2 * 2'097'152, 306, int32_t(5'000'000 - 305 * B)},
    };
    for (const Geometry& g : table) {
        const BlockInfo info(g.total, g.piece_length);
        SCOPED_TRACE(testing::Message() << g.total << " / " << g.piece_length);
        EXPECT_EQ(info.piece_count(), g.pieces);
        EXPECT_EQ(info.PieceSize(g.pieces - 1), g.last_piece_size);
        EXPECT_EQ(info.PieceSize(0), std::min(g.total, g.piece_length));
        EXPECT_EQ(info.block_count(), g.blocks);
        EXPECT_EQ(info.BlockLength(g.blocks - 1), g.last_block_length);
        EXPECT_EQ(info.BlockLength(g.blocks), 0);
        EXPECT_EQ(info.PieceSize(g.pieces), 0);
        EXPECT_EQ(info.PieceSize(-1), 0);
        // The last block belongs to the last piece, at the right offset.
        const BlockInfo::Location last = info.LocateBlock(g.blocks - 1);
        EXPECT_EQ(last.piece, g.pieces - 1);
        EXPECT_EQ(info.PieceBegin(last.piece) + last.offset, (g.blocks - 1) * B);
        EXPECT_EQ(info.BlockOf(last.piece, last.offset), g.blocks - 1);
        EXPECT_EQ(info.PieceOfByte(g.total - 1), g.pieces - 1);
        EXPECT_EQ(info.PieceOfByte(g.total), -1);
    }
}

TEST(BlockInfo, BlocksAndPiecesMapBothWaysBeyondFourGiB) {
    const BlockInfo info(8 * GiB + 3 * B, 4 * 1024 * 1024);
    const int64_t block = (6 * GiB) / B + 5;
    const BlockInfo::Location at = info.LocateBlock(block);
    EXPECT_EQ(at.piece, int32_t(6 * GiB / (4 * 1024 * 1024)));
    EXPECT_EQ(at.offset, 5 * B);
    EXPECT_EQ(info.BlockOf(at.piece, at.offset), block);
    EXPECT_EQ(info.BlockOf(at.piece, at.offset + 100), block);  // any byte of the block
    EXPECT_EQ(info.FirstBlockOf(info.piece_count() - 1), 8 * GiB / B);
    EXPECT_EQ(info.LocateBlock(info.block_count()), BlockInfo::Location{});
    EXPECT_EQ(info.LocateBlock(-1), BlockInfo::Location{});
}

TEST(BlockInfo, WhatStorageAndPeersMayAskFor) {
    const BlockInfo info(3 * B + 10, 2 * B);  // pieces of 2 blocks and of B + 10 bytes
    EXPECT_TRUE(info.IsBlockInPiece(0, B, B));
    EXPECT_TRUE(info.IsBlockInPiece(1, B, 10));
    EXPECT_FALSE(info.IsBlockInPiece(1, B, 11));   // past the piece's end
    EXPECT_FALSE(info.IsBlockInPiece(0, 100, 10));  // unaligned
    EXPECT_FALSE(info.IsBlockInPiece(0, 2 * B, 1));
    EXPECT_FALSE(info.IsBlockInPiece(2, 0, 1));      // no such piece
    EXPECT_FALSE(info.IsBlockInPiece(0, 0, 0));
    EXPECT_TRUE(info.IsRangeInPiece(1, 5, B + 5, 131072));
    EXPECT_FALSE(info.IsRangeInPiece(1, 5, B + 6, 131072));
    EXPECT_FALSE(info.IsRangeInPiece(0, 0, 2 * B, B));  // above the length limit
    EXPECT_FALSE(info.IsRangeInPiece(0, -1, 1, B));
    EXPECT_FALSE(info.IsRangeInPiece(0, INT64_MAX, 1, B));
}

TEST(BlockInfo, EmptyOrInvalidGeometryAnswersNothing) {
    for (const BlockInfo info : {BlockInfo(), BlockInfo(0, B), BlockInfo(B, 0), BlockInfo(B, 1000), BlockInfo(-5, B)}) {
        EXPECT_TRUE(info.empty());
        EXPECT_EQ(info.piece_count(), 0);
        EXPECT_EQ(info.block_count(), 0);
        EXPECT_EQ(info.PieceSize(0), 0);
        EXPECT_EQ(info.PieceOfByte(0), -1);
        EXPECT_EQ(info.LocateBlock(0).piece, -1);
        EXPECT_FALSE(info.IsBlockInPiece(0, 0, 1));
    }
    static_assert(BlockInfo(5 * B + 1, 2 * B).piece_count() == 3);
    static_assert(BlockInfo::BlocksIn(B + 1) == 2 && BlockInfo::BlocksIn(0) == 0);
    static_assert(BlockInfo::BlockLengthAt(B + 5, B) == 5 && BlockInfo::BlockLengthAt(B, B) == 0);
}

}  // namespace
}  // namespace zl
