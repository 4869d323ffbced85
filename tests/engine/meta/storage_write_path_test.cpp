// The write path of verified pieces: adjacent pieces held in memory go out as
// one gathered write per file, across file boundaries, straight from their
// chunks; the count of needed pieces is kept as pieces change.
#include <gtest/gtest.h>

#include "tests/engine/meta/storage_test_util.h"

namespace zl::test {
namespace {

constexpr int64_t kPiece = 32 * 1024;
constexpr int32_t kBlock = 16384;

int64_t NeededByScan(TPieces& map) {
    int64_t n = 0;
    for (int32_t i = 0; i < map.Geometry().piece_count(); ++i)
        if (map.Wanted(i) && !map.Piece(i).complete) ++n;
    return n;
}

void DeliverPiece(TPieces& map, const MadeTorrent& t, int32_t piece, bool corrupt = false) {
    const int64_t size = map.Geometry().PieceSize(piece);
    for (int64_t off = 0; off < size; off += kBlock) {
        std::string block = t.data.substr(size_t(map.Geometry().PieceBegin(piece) + off),
                                          size_t(std::min<int64_t>(kBlock, size - off)));
        if (corrupt && off == 0) block[0] ^= 1;
        (void)map.ReceiveBlock(piece, off, int32_t(block.size()), reinterpret_cast<const uint8_t*>(block.data()));
    }
}

TEST(StorageWritePath, AdjacentPiecesAreWrittenTogetherAcrossFiles) {
    // Files meeting inside pieces, an empty file between, a short last piece.
    const MadeTorrent t = MakeTorrent({3 * kPiece + 5000, 0, 2 * kPiece - 5000 + 777, 4 * kPiece}, kPiece, false, 5);
    struct Case {
        const char* what;
        std::vector<int32_t> order;
        int32_t unwanted_file;  // -1: none
    } cases[] = {
        {"in order", {0, 1, 2, 3, 4, 5, 6, 7, 8, 9}, -1},
        {"reversed", {9, 8, 7, 6, 5, 4, 3, 2, 1, 0}, -1},
        {"in pairs", {1, 0, 3, 2, 5, 4, 7, 6, 9, 8}, -1},
        {"with an unwanted file", {0, 1, 2, 3, 4, 5, 6, 7, 8, 9}, 2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TempDir dir;
        StorageOptions options;
        options.cache_units = 1;  // 256 KiB: pieces are written in runs as the share fills
        MapRig rig(dir.path(), options);
        rig->SetCacheUnits(4);
        ASSERT_TRUE(rig->LoadLayout(t.layout));
        if (c.unwanted_file >= 0) {
            ASSERT_TRUE(rig->SetFileWanted(c.unwanted_file, false));
        }
        EXPECT_EQ(rig->NeededPieces(), NeededByScan(*rig.map));
        DeliverPiece(*rig.map, t, c.order[0], true);  // fails its hash: fetched again
        EXPECT_EQ(rig->NeededPieces(), NeededByScan(*rig.map));
        for (int32_t piece : c.order) {
            if (!rig->Wanted(piece)) continue;
            DeliverPiece(*rig.map, t, piece);
            EXPECT_EQ(rig->NeededPieces(), NeededByScan(*rig.map)) << "after piece " << piece;
        }
        EXPECT_EQ(rig->NeededPieces(), 0);
        rig->FlushCompletePieces(false);
        EXPECT_EQ(rig->NeededPieces(), 0);
        for (int32_t i = 0; i < rig->Geometry().piece_count(); ++i) {
            if (!rig->Piece(i).unwanted) {
                EXPECT_TRUE(rig->Have(i)) << i;
            }
        }
        if (c.unwanted_file < 0) {
            rig->CloseAll(true, true);
            std::string all;
            for (int f = 0; f < 4; ++f) all += ReadFile(dir.path() + "/pack/f" + std::to_string(f));
            EXPECT_TRUE(all == t.data) << "every file holds its bytes";
        } else {
            std::string buffer(size_t(kPiece), '\0');
            for (int32_t i = 0; i < rig->Geometry().piece_count(); ++i) {
                if (!rig->Have(i)) continue;
                const int64_t size = rig->Geometry().PieceSize(i);
                ASSERT_EQ(rig->ReadPieceBytes(i, reinterpret_cast<uint8_t*>(buffer.data()), size, 0), size);
                EXPECT_TRUE(buffer.compare(0, size_t(size), t.data, size_t(rig->Geometry().PieceBegin(i)), size_t(size)) == 0)
                    << "piece " << i << " reads back";
            }
        }
    }
}

}  // namespace
}  // namespace zl::test
