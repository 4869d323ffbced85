// Start-up checks: the full check hashes every piece; the quick check trusts
// files of the right size after sampling the first, middle and last piece.
#include <gtest/gtest.h>

#include "tests/engine/meta/storage_test_util.h"

namespace zl::test {
namespace {

constexpr int64_t P = 32 * 1024;

std::vector<int32_t> Missing(TPieces& map) {
    std::vector<int32_t> out;
    for (int32_t i = 0; i < map.PieceCount(); ++i)
        if (!map.Have(i)) out.push_back(i);
    return out;
}

void Corrupt(const std::string& path, int64_t at) {
    std::string bytes = ReadFile(path);
    bytes[size_t(at)] ^= 0x5a;
    WriteFile(path, bytes);
}

TEST(StorageCheck, FullCheckFindsExactlyTheCorruptedPiece) {
    TempDir dir;
    // Pieces straddle files; f2 is empty; the last piece is short.
    MadeTorrent t = MakeTorrent({3 * P + 100, 2 * P - 100, 0, 5 * P + 7}, P);
    WriteStream(dir.path(), t);
    struct Case { std::string file; int64_t at; std::vector<int32_t> missing; };
    const Case cases[] = {
        {"", 0, {}},
        {"f0", 5, {0}},
        {"f0", 3 * P + 50, {3}},       // the piece shared by f0 and f1
        {"f1", 0, {3}},
        {"f3", 5 * P + 6, {10}},       // the short last piece
        {"f1", 2 * P - 101, {4}},
    };
    for (const Case& c : cases) {
        WriteStream(dir.path(), t);
        if (!c.file.empty()) Corrupt(dir / ("pack/" + c.file), c.at);
        MapRig rig(dir.path());
        ASSERT_TRUE(rig->LoadLayout(t.layout));
        EXPECT_EQ(Missing(*rig.map), c.missing) << c.file << "@" << c.at;
        EXPECT_EQ(rig->CheckedBytes(), rig->TotalSize());
        int64_t lost = 0;
        for (int32_t i : c.missing) lost += std::min<int64_t>(P, rig->TotalSize() - i * P);
        EXPECT_EQ(rig->VerifiedBytes(), rig->TotalSize() - lost);
        EXPECT_EQ(rig->FinishedPieces(), rig->PieceCount() - int64_t(c.missing.size()));
        EXPECT_TRUE(rig->AllFinished() == c.missing.empty());
    }
}

TEST(StorageCheck, PiecesLargerThanTheReadBufferAreHashedAsTheyStream) {
    TempDir dir;
    const int64_t big = 1 << 20;  // the read buffer is half the 1 MiB cache
    MadeTorrent t = MakeTorrent({big + 300 * 1024, big + 200 * 1024}, big);
    WriteStream(dir.path(), t);
    Corrupt(dir / "pack/f1", 10);  // piece 1
    StorageOptions small_cache;
    small_cache.cache_units = 4;
    MapRig rig(dir.path(), small_cache);
    ASSERT_TRUE(rig->LoadLayout(t.layout));
    EXPECT_EQ(Missing(*rig.map), std::vector<int32_t>{1});
}

TEST(StorageCheck, MissingOrShortFilesLoseOnlyTheirPieces) {
    TempDir dir;
    MadeTorrent t = MakeTorrent({2 * P + 10, 2 * P, 3 * P - 10}, P);
    WriteStream(dir.path(), t);
    std::filesystem::remove(dir / "pack/f1");
    MapRig rig(dir.path());
    ASSERT_TRUE(rig->LoadLayout(t.layout));
    EXPECT_EQ(Missing(*rig.map), (std::vector<int32_t>{2, 3, 4}));

    WriteStream(dir.path(), t);
    std::filesystem::resize_file(dir / "pack/f2", P);
    MapRig rig2(dir.path());
    ASSERT_TRUE(rig2->LoadLayout(t.layout));
    EXPECT_EQ(Missing(*rig2.map), (std::vector<int32_t>{5, 6}));
}

TEST(StorageCheck, QuickCheckSamplesFirstMiddleAndLast) {
    TempDir dir;
    MadeTorrent t = MakeTorrent({4 * P, 5 * P}, P);  // 9 pieces: samples 0, 4, 8
    StorageOptions quick;
    quick.quick_check = true;
    struct Case { int64_t corrupt_at; bool trusted; };
    const Case cases[] = {{-1, true}, {2 * P, true}, {0, false}, {4 * P + 1, false}, {9 * P - 1, false}};
    for (const Case& c : cases) {
        WriteStream(dir.path(), t);
        if (c.corrupt_at >= 0)
            Corrupt(dir / (c.corrupt_at < 4 * P ? "pack/f0" : "pack/f1"), c.corrupt_at < 4 * P ? c.corrupt_at : c.corrupt_at - 4 * P);
        MapRig rig(dir.path(), quick);
        ASSERT_TRUE(rig->LoadLayout(t.layout));
        if (c.trusted) {
            // An unsampled piece is taken on trust.
            EXPECT_TRUE(rig->AllFinished()) << c.corrupt_at;
            EXPECT_EQ(rig.host.Count(kNoticeHaveAll, 1), 1);
        } else {
            // A sampled mismatch: the map is established piece by piece instead.
            EXPECT_EQ(Missing(*rig.map), std::vector<int32_t>{int32_t(c.corrupt_at / P)}) << c.corrupt_at;
        }
    }
    // A file of the wrong size is not trusted at all.
    WriteStream(dir.path(), t);
    std::filesystem::resize_file(dir / "pack/f1", 5 * P - 1);
    MapRig rig(dir.path(), quick);
    ASSERT_TRUE(rig->LoadLayout(t.layout));
    EXPECT_EQ(Missing(*rig.map), (std::vector<int32_t>{8}));
}

TEST(StorageCheck, StopRequestEndsTheCheck) {
    TempDir dir;
    MadeTorrent t = MakeTorrent({40 * P}, P, true);
    WriteStream(dir.path(), t);
    MapRig rig(dir.path());
    rig.host.stop = true;
    EXPECT_FALSE(rig->LoadLayout(t.layout));
}

}  // namespace
}  // namespace zl::test
