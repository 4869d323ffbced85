// The file <-> piece map: which pieces a file overlaps, which file holds a
// byte, and the file runs of a piece, with empty files and 4 GiB offsets.
#include <gtest/gtest.h>

#include "engine/meta/file_piece_map.h"

namespace zl {
namespace {

constexpr int64_t P = 64 * 1024;

TEST(FilePieceMap, PiecesAFileOverlaps) {
    // A file of `size` bytes after `offset` bytes of other data.
    struct Case { int64_t offset, size, piece; int32_t want; };
    const Case cases[] = {
        {0, 0, P, 0}, {0, 1, P, 1}, {0, P, P, 1}, {0, P + 1, P, 2}, {10, P - 10, P, 1},
        {10, P - 9, P, 2}, {P - 1, 2, P, 2}, {P, 3 * P, P, 3}, {int64_t(5) << 32, 1, P, 1},
        {(int64_t(1) << 32) - 1, int64_t(1) << 32, P, 65537},
    };
    for (const Case& c : cases) {
        const FilePieceMap map(BlockInfo(c.offset + c.size + 1, c.piece), {c.offset, c.size, 1});
        ASSERT_FALSE(map.empty());
        const FilePieceMap::PieceRange range = map.PiecesOf(1);
        EXPECT_EQ(range.count(), c.want) << c.offset << "+" << c.size;
        if (c.size > 0) {
            EXPECT_EQ(range.first, int32_t(c.offset / c.piece)) << c.offset << "+" << c.size;
        }
    }
}

TEST(FilePieceMap, FileOfByteSkipsEmptyFiles) {
    // f0 [0,P+5), f1 empty, f2 empty, f3 [P+5,P+6), f4 [P+6, 3P), f5 empty.
    const FilePieceMap map(BlockInfo(3 * P, P), {P + 5, 0, 0, 1, 2 * P - 6, 0});
    const struct { int64_t byte; int32_t file; } cases[] = {
        {0, 0}, {P + 4, 0}, {P + 5, 3}, {P + 6, 4}, {3 * P - 1, 4}, {3 * P, -1}, {-1, -1},
    };
    for (const auto& c : cases) EXPECT_EQ(map.FileOfByte(c.byte), c.file) << c.byte;
    EXPECT_EQ(map.PiecesOf(5).count(), 0);
}

TEST(FilePieceMap, SpansOfAPieceAcrossFiles) {
    const FilePieceMap map(BlockInfo(3 * P, P), {P + 5, 0, 0, 1, 2 * P - 6, 0});
    std::vector<FilePieceMap::Span> spans;
    ASSERT_TRUE(map.SpansOf(1, 0, P, spans));
    ASSERT_EQ(spans.size(), 3u);
    EXPECT_EQ(spans[0].file, 0);
    EXPECT_EQ(spans[0].file_offset, P);
    EXPECT_EQ(spans[0].length, 5);
    EXPECT_EQ(spans[1].file, 3);
    EXPECT_EQ(spans[1].piece_offset, 5);
    EXPECT_EQ(spans[1].length, 1);
    EXPECT_EQ(spans[2].file, 4);
    EXPECT_EQ(spans[2].file_offset, 0);
    EXPECT_EQ(spans[2].length, P - 6);
    // A part of a piece, and ranges outside it.
    ASSERT_TRUE(map.SpansOf(1, 5, 7, spans));
    ASSERT_EQ(spans.size(), 2u);
    EXPECT_EQ(spans[0].file, 3);
    EXPECT_EQ(spans[1].file, 4);
    EXPECT_EQ(spans[1].length, 1);
    EXPECT_FALSE(map.SpansOf(3, 0, 1, spans));
    EXPECT_FALSE(map.SpansOf(0, 0, P + 1, spans));
    EXPECT_FALSE(map.SpansOf(0, 5, 5, spans));
    EXPECT_TRUE(spans.empty());
}

TEST(FilePieceMap, SizesThatDoNotAddUpGiveAnEmptyMap) {
    EXPECT_TRUE(FilePieceMap(BlockInfo(2 * P, P), {P, P - 1}).empty());
    EXPECT_TRUE(FilePieceMap(BlockInfo(2 * P, P), {P, P + 1}).empty());
    EXPECT_TRUE(FilePieceMap(BlockInfo(2 * P, P), {-1, 2 * P + 1}).empty());
    EXPECT_TRUE(FilePieceMap(BlockInfo(), {}).empty());
    EXPECT_EQ(FilePieceMap().FileOfByte(0), -1);
}

}  // namespace
}  // namespace zl
