// A torrent loaded again with another piece length: the new piece map takes
// over what the earlier map of the same files holds (verified pieces on disk,
// blocks in memory), proves it against the new hashes, and keeps the held
// blocks of pieces that are not whole yet as their progress, so that nothing
// held is fetched again.
#include <gtest/gtest.h>

#include "engine/meta/previous_piece_map.h"
#include "engine/meta/storage_layout_info.h"
#include "tests/engine/meta/storage_test_util.h"

namespace zl::test {
namespace {

constexpr int64_t kOld = 32 * 1024;
constexpr int64_t kBlock = 16 * 1024;
const std::vector<int64_t> kSizes = {10 * kOld + 123, 14 * kOld + 1000 - 123};  // 25 old pieces, the last short

const uint8_t* At(const MadeTorrent& t, int64_t offset) { return reinterpret_cast<const uint8_t*>(t.data.data()) + offset; }

// Gives a map the blocks [from, to) of the stream (block-aligned), as peers would.
int64_t Deliver(TPieces& map, const MadeTorrent& t, int64_t from, int64_t to) {
    int64_t given = 0;
    for (int64_t at = from; at < to && at < int64_t(t.data.size()); at += kBlock) {
        const BlockInfo::Location loc = map.Geometry().LocateBlock(BlockInfo::BlockIndex(at));
        const int32_t n = map.Geometry().BlockLength(BlockInfo::BlockIndex(at));
        EXPECT_TRUE(map.ReceiveBlock(loc.piece, loc.offset, n, At(t, at)).taken()) << at;
        given += n;
    }
    return given;
}

// Gives a map every block it does not hold yet; returns the bytes given.
int64_t DeliverMissing(TPieces& map, const MadeTorrent& t) {
    int64_t given = 0;
    for (int32_t i = 0; i < map.PieceCount(); ++i) {
        if (map.Have(i)) continue;
        PieceInProgress& p = map.Piece(i);
        for (int64_t at = p.written; at < p.size; at += kBlock) {
            if (p.blocks.Initialised() && p.blocks.HasBlock(int32_t(at))) continue;
            const int32_t n = BlockInfo::BlockLengthAt(p.size, at);
            EXPECT_TRUE(map.ReceiveBlock(i, at, n, At(t, map.Geometry().PieceBegin(i) + at)).taken());
            given += n;
        }
    }
    return given;
}

// The earlier map: old pieces 0-11, 13, 20-24 verified and written, the first
// block of old piece 16 only in memory.
void HalfDownload(TPieces& old, const MadeTorrent& t) {
    for (auto [first, last] : {std::pair{0, 11}, {13, 13}, {20, 24}}) Deliver(old, t, first * kOld, (last + 1) * kOld);
    Deliver(old, t, 16 * kOld, 16 * kOld + kBlock);
    old.FlushCompletePieces(false);
}

TEST(TransferFrom, LongerPiecesKeepEveryHeldBlock) {
    TempDir dir;
    const MadeTorrent before = MakeTorrent(kSizes, kOld);
    const MadeTorrent after = MakeTorrent(kSizes, 8 * kOld);  // the same bytes in 4 pieces
    MapRig old(dir.path());
    ASSERT_TRUE(old->LoadLayout(before.layout));
    HalfDownload(*old.map, before);
    const int64_t held = 18 * kOld - kOld + 1000 + kBlock;  // 17 whole old pieces, the short last one, one block

    MapRig rig(dir.path());
    ASSERT_TRUE(rig->LoadLayout(after.layout, old.map));
    EXPECT_TRUE(rig->CheckFinished());
    // New piece 0 is old 0-7; new piece 3 is the short old 24.
    EXPECT_TRUE(rig->Have(0));
    EXPECT_FALSE(rig->Have(1));
    EXPECT_FALSE(rig->Have(2));
    EXPECT_TRUE(rig->Have(3));
    // New piece 1 (old 8-15): old 8-11 are its written start, in whole 128 KiB
    // chunks with their hash state; old 13 waits in memory.
    EXPECT_EQ(rig->Piece(1).written, 4 * kOld);
    EXPECT_NE(rig->Piece(1).Hash(), nullptr);
    EXPECT_EQ(rig->Piece(1).InMemory(), kOld);
    // New piece 2 (old 16-23): old 16's block and old 20-23 in memory.
    EXPECT_EQ(rig->Piece(2).written, 0);
    EXPECT_EQ(rig->Piece(2).InMemory(), kBlock + 4 * kOld);
    // The resume data carries the written start over to the next run.
    EXPECT_NE(rig.host.resume.find("PieceStatus"), std::string::npos);

    // Only what nobody held is fetched, and the result is right.
    EXPECT_EQ(DeliverMissing(*rig.map, after), int64_t(after.data.size()) - held);
    rig->CloseAll(true, true);
    EXPECT_TRUE(rig->AllFinished());
    EXPECT_EQ(ReadFile(dir / "pack/f0") + ReadFile(dir / "pack/f1"), after.data);
}

TEST(TransferFrom, ShorterPiecesAreProvenAndMemoryBlocksWritten) {
    TempDir dir;
    const MadeTorrent before = MakeTorrent(kSizes, kOld);
    const MadeTorrent after = MakeTorrent(kSizes, kBlock);
    MapRig old(dir.path());
    ASSERT_TRUE(old->LoadLayout(before.layout));
    HalfDownload(*old.map, before);

    MapRig rig(dir.path());
    ASSERT_TRUE(rig->LoadLayout(after.layout, old.map));
    for (int32_t i = 0; i < rig->PieceCount(); ++i) {
        const int32_t o = int32_t(i * kBlock / kOld);
        const bool held = (o <= 11 || o == 13 || o >= 20) || i == 32;  // 32: old 16's first block
        EXPECT_EQ(rig->Have(i), held) << i;
    }
    // The block that was only in memory is on disk now.
    rig->CloseAll(true, false);
    const std::string f1 = ReadFile(dir / "pack/f1.zltmp");
    const int64_t in_f1 = 16 * kOld - kSizes[0];
    EXPECT_EQ(f1.substr(size_t(in_f1), size_t(kBlock)), before.data.substr(size_t(16 * kOld), size_t(kBlock)));
}

TEST(TransferFrom, BytesThatDoNotMatchTheNewHashesAreNotKept) {
    TempDir dir;
    const MadeTorrent before = MakeTorrent(kSizes, kOld);
    MadeTorrent other = MakeTorrent(kSizes, 8 * kOld, false, 99);  // other content over the same files
    MapRig old(dir.path());
    ASSERT_TRUE(old->LoadLayout(before.layout));
    HalfDownload(*old.map, before);
    MapRig rig(dir.path());
    ASSERT_TRUE(rig->LoadLayout(other.layout, old.map));
    for (int32_t i = 0; i < rig->PieceCount(); ++i) EXPECT_FALSE(rig->Have(i)) << i;
    EXPECT_EQ(rig->VerifiedBytes(), 0);

    // A wrong block held only in memory (its old piece was never whole) is not kept.
    TempDir dir2;
    MadeTorrent spoiled = before;
    spoiled.data[size_t(16 * kOld + 5)] ^= 0x40;
    MapRig old2(dir2.path());
    ASSERT_TRUE(old2->LoadLayout(before.layout));
    Deliver(*old2.map, spoiled, 16 * kOld, 16 * kOld + kBlock);
    Deliver(*old2.map, before, 17 * kOld, 18 * kOld);
    old2->FlushCompletePieces(false);
    const MadeTorrent after = MakeTorrent(kSizes, kBlock);
    MapRig rig2(dir2.path());
    ASSERT_TRUE(rig2->LoadLayout(after.layout, old2.map));
    EXPECT_FALSE(rig2->Have(32));
    EXPECT_EQ(rig2->Piece(32).InMemory(), 0);
    EXPECT_TRUE(rig2->Have(34) && rig2->Have(35));
}

TEST(TransferFrom, OtherFilesFallBackToACheck) {
    TempDir dir;
    const MadeTorrent before = MakeTorrent(kSizes, kOld);
    MapRig old(dir.path());
    ASSERT_TRUE(old->LoadLayout(before.layout));
    HalfDownload(*old.map, before);
    old->CloseAll(true, true);
    // The same bytes in one file (the first, now shorter on disk): no transfer,
    // a full check keeps the whole pieces it finds.
    const MadeTorrent one = MakeTorrent({kSizes[0] + kSizes[1]}, 8 * kOld);
    MapRig rig(dir.path());
    ASSERT_TRUE(rig->LoadLayout(one.layout, old.map));
    EXPECT_TRUE(rig->Have(0));
    EXPECT_FALSE(rig->Have(1));
    EXPECT_EQ(rig->MemoryCacheBytes(), 0);
    // An unwanted file keeps bytes where the piece length puts them: no transfer
    // either, and the full check of the new map finds the verified data.
    MapRig old2(dir.path());
    old2->SetResumeData(old.host.resume);
    old2->SetSelection(old.host.selection);
    ASSERT_TRUE(old2->LoadLayout(before.layout));
    ASSERT_TRUE(old2->SetFileWanted(1, false));
    const MadeTorrent after = MakeTorrent(kSizes, 8 * kOld);
    MapRig rig2(dir.path());
    ASSERT_TRUE(rig2->LoadLayout(after.layout, old2.map));
    EXPECT_TRUE(rig2->Have(0));
    EXPECT_TRUE(rig2->Have(3));
    EXPECT_EQ(rig2->Piece(1).InMemory(), 0);  // a check keeps whole pieces only
}

// The bencoded torrent of a made layout (multi-file).
std::string TorrentBytes(const MadeTorrent& t) {
    auto str = [](const std::string& s) { return std::to_string(s.size()) + ":" + s; };
    std::string files;
    for (const auto& f : t.layout.files)
        files += "d6:lengthi" + std::to_string(f.size) + "e4:pathl" + str(f.components.back()) + "ee";
    return "d4:infod5:filesl" + files + "e4:name" + str(t.layout.name) + "12:piece lengthi" +
           std::to_string(t.layout.piece_length) + "e6:pieces" + str(t.layout.piece_hashes) + "ee";
}

TEST(TransferFrom, ThePreviousMapComesFromTheOldTorrentAndItsResumeData) {
    TempDir dir;
    MadeTorrent before = MakeTorrent(kSizes, kOld);
    const std::string old_torrent = TorrentBytes(before);
    before.layout = *LayoutFromTorrent(old_torrent);  // the info hash a task would have
    RecordingHost task;
    std::string resume;
    {
        MapRig old(dir.path());
        old->SetPieceCachePath(dir / "task.zlinfodf");
        ASSERT_TRUE(old->LoadLayout(before.layout));
        HalfDownload(*old.map, before);
        old->CloseAll(true, true);  // the memory block goes to the piece-cache file
        resume = old.host.resume;
    }
    MadeTorrent after = MakeTorrent(kSizes, 8 * kOld);
    after.layout = *LayoutFromTorrent(TorrentBytes(after));
    QTMutex disk_lock;
    FakeClock clock;
    PreviousMapSetup setup{dir.path(), dir / "task.zlinfodf", "", resume, StorageOptions{}, 32};
    {
        PreviousPieceMap previous(task, disk_lock, clock);
        ASSERT_TRUE(previous.Load(old_torrent, after.layout.info_hash, setup));
        ASSERT_NE(previous.Map(), nullptr);
        EXPECT_EQ(previous.Map()->VerifiedBytes(), 17 * kOld + 1000);
        EXPECT_EQ(previous.Map()->MemoryCacheBytes(), kBlock);
        MapRig rig(dir.path());
        rig->SetResumeData(resume);  // written for the old torrent: not used
        ASSERT_TRUE(rig->LoadLayout(after.layout, previous.Map()));
        EXPECT_TRUE(rig->Have(0) && rig->Have(3));
        EXPECT_EQ(rig->Piece(2).InMemory(), kBlock + 4 * kOld);
    }
    // Nothing to carry over: the same torrent, no resume data, or resume data
    // that no longer fits the files.
    PreviousPieceMap previous(task, disk_lock, clock);
    EXPECT_FALSE(previous.Load(old_torrent, before.layout.info_hash, setup));
    PreviousMapSetup no_resume = setup;
    no_resume.resume_data.clear();
    EXPECT_FALSE(previous.Load(old_torrent, after.layout.info_hash, no_resume));
    WriteFile(dir / "pack/f1.zltmp", "shorter");
    EXPECT_FALSE(previous.Load(old_torrent, after.layout.info_hash, setup));
    EXPECT_EQ(previous.Map(), nullptr);
}

}  // namespace
}  // namespace zl::test
