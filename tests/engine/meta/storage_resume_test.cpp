// Pieces in progress across restarts: resume data with the SHA-1 state of a
// partly written piece, the piece-cache file, the task information file, and
// the memory cache's flushing and trimming.
#include <gtest/gtest.h>

#include "engine/meta/atomic_file.h"
#include "engine/meta/bencode.h"
#include "engine/meta/piece_cache_file.h"
#include "engine/meta/task_info_file.h"
#include "tests/engine/meta/storage_test_util.h"

namespace zl::test {
namespace {

constexpr int64_t P = 2 * 1024 * 1024;  // 2 MiB pieces: chunks of 128 KiB
constexpr int32_t B = 16384;

const uint8_t* At(const MadeTorrent& t, int64_t pos) { return reinterpret_cast<const uint8_t*>(t.data.data()) + pos; }

void Deliver(TPieces& map, const MadeTorrent& t, int32_t piece, int32_t from, int32_t to, bool* complete = nullptr) {
    bool c = false;
    for (int32_t off = from; off < to; off += B)
        c = map.ReceiveBlock(piece, off, B, At(t, int64_t(piece) * P + off)).piece_verified();
    if (complete) *complete = c;
}


TEST(StorageResume, HalfPieceSurvivesRestartThroughItsHashState) {
    TempDir dir;
    MadeTorrent t = MakeTorrent({3 * P}, P, true);
    std::string resume;
    {
        MapRig rig(dir.path());
        ASSERT_TRUE(rig->LoadLayout(t.layout));
        Deliver(*rig.map, t, 1, 0, int32_t(P / 2));
        rig.clock.Advance(601 * 1000);  // idle long enough to be written out
        rig->PeriodicFlush();
        EXPECT_EQ(rig->Piece(1).written, P / 2);
        EXPECT_EQ(rig->Piece(1).InMemory(), 0);
        EXPECT_TRUE(ReadFile(dir / "pack.zltmp").substr(size_t(P), size_t(P / 2)) == t.data.substr(size_t(P), size_t(P / 2)));
        rig->CloseAll(true, true);
        resume = rig.host.resume;
    }
    ASSERT_FALSE(resume.empty());
    ASSERT_NE(resume.find("PieceStatus"), std::string::npos);
    {
        MapRig rig(dir.path());
        rig->SetResumeData(resume);
        ASSERT_TRUE(rig->LoadLayout(t.layout));
        EXPECT_EQ(rig->Piece(1).written, P / 2);
        EXPECT_EQ(rig->PartialPieces(), std::vector<int32_t>{1});
        // Only the second half arrives; the first is never read back.
        bool complete = false;
        Deliver(*rig.map, t, 1, 0, int32_t(P / 2));  // already on disk: not kept
        EXPECT_EQ(rig->Piece(1).InMemory(), 0);
        Deliver(*rig.map, t, 1, int32_t(P / 2), int32_t(P), &complete);
        EXPECT_TRUE(complete);
        rig->FlushCompletePieces(false);
        EXPECT_TRUE(rig->Have(1));
        EXPECT_TRUE(ReadFile(dir / "pack.zltmp").substr(size_t(P), size_t(P)) == t.data.substr(size_t(P), size_t(P)));
    }
}

TEST(StorageResume, MismatchingResumeDataFallsBackToAFullCheck) {
    TempDir dir;
    MadeTorrent t = MakeTorrent({3 * P}, P, true);
    std::string resume;
    {
        MapRig rig(dir.path());
        ASSERT_TRUE(rig->LoadLayout(t.layout));
        ASSERT_EQ(rig->WritePieceBytes(0, At(t, 0), P, 0, false), P);
        rig->CloseAll(true, true);
        resume = rig.host.resume;
    }
    auto edit = [&](const std::string& from, const std::string& to) {
        std::string r = resume;
        const size_t at = r.find(from);
        EXPECT_NE(at, std::string::npos) << from;
        if (at != std::string::npos) r.replace(at, from.size(), to);
        return r;
    };
    std::string other_hash = resume;
    other_hash[other_hash.find("infohash20:") + 11] ^= 1;
    const std::string bits_all = edit("8:BitField1:\x80", "8:BitField1:\xe0");
    struct Case { std::string name, data; std::vector<bool> have; };
    const Case cases[] = {
        {"intact", resume, {true, false, false}},
        {"other torrent", other_hash, {true, false, false}},
        {"size differs", edit("4:Sizei", "4:Sizei1"), {true, false, false}},
        {"torn", resume.substr(0, resume.size() / 2), {true, false, false}},
        {"foreign", "d3:foo3:bare", {true, false, false}},
        {"bitfield claims more", bits_all, {true, true, true}},  // trusted when everything else matches
    };
    for (const Case& c : cases) {
        MapRig rig(dir.path());
        rig->SetResumeData(c.data);
        ASSERT_TRUE(rig->LoadLayout(t.layout)) << c.name;
        for (int32_t i = 0; i < 3; ++i) EXPECT_EQ(rig->Have(i), c.have[size_t(i)]) << c.name << " piece " << i;
    }
}

// A file removed after its pieces were saved is recorded as absent (no time,
// size -1), which matches a file that was never created; the have-bits that
// still name its pieces must not survive the restart unchecked.
TEST(StorageResume, BitsOfAFileMissingOnDiskAreNotTrusted) {
    TempDir dir;
    MadeTorrent t = MakeTorrent({P, P, P}, P);
    std::string resume;
    {
        MapRig rig(dir.path());
        ASSERT_TRUE(rig->LoadLayout(t.layout));
        ASSERT_EQ(rig->WritePieceBytes(0, At(t, 0), P, 0, false), P);
        ASSERT_EQ(rig->WritePieceBytes(1, At(t, P), P, 0, false), P);
        rig->CloseAll(true, true);
        ASSERT_TRUE(std::filesystem::remove(rig->File(1).path));
        rig->WriteResumeData();
        resume = rig.host.resume;
    }
    ASSERT_NE(resume.find("4:Sizei-1e"), std::string::npos);
    MapRig rig(dir.path());
    rig->SetResumeData(resume);
    ASSERT_TRUE(rig->LoadLayout(t.layout));
    EXPECT_TRUE(rig->Have(0));
    EXPECT_FALSE(rig->Have(1));
    EXPECT_FALSE(rig->Have(2));
}

// A partly written piece goes on from its stored hash state, which stands
// for bytes on disk that are never read again: with its file gone, the piece
// would pass its hash over the missing bytes. Its progress is dropped.
TEST(StorageResume, PartialPieceOfAFileMissingOnDiskStartsAfresh) {
    TempDir dir;
    MadeTorrent t = MakeTorrent({P, P, P}, P);
    std::string resume;
    {
        MapRig rig(dir.path());
        ASSERT_TRUE(rig->LoadLayout(t.layout));
        ASSERT_EQ(rig->WritePieceBytes(0, At(t, 0), P, 0, false), P);
        Deliver(*rig.map, t, 1, 0, int32_t(P / 2));
        rig.clock.Advance(601 * 1000);  // idle long enough to be written out
        rig->PeriodicFlush();
        ASSERT_EQ(rig->Piece(1).written, P / 2);
        rig->CloseAll(true, true);
        ASSERT_TRUE(std::filesystem::remove(rig->File(1).path));
        rig->WriteResumeData();
        resume = rig.host.resume;
    }
    ASSERT_NE(resume.find("4:Sizei-1e"), std::string::npos);
    ASSERT_NE(resume.find("PieceStatus"), std::string::npos);
    MapRig rig(dir.path());
    rig->SetResumeData(resume);
    ASSERT_TRUE(rig->LoadLayout(t.layout));
    EXPECT_EQ(rig->Piece(1).written, 0);
    EXPECT_TRUE(rig->PartialPieces().empty());
    // Only the second half arrives: without the first the piece cannot complete.
    bool complete = false;
    Deliver(*rig.map, t, 1, int32_t(P / 2), int32_t(P), &complete);
    EXPECT_FALSE(complete);
    EXPECT_FALSE(rig->Have(1));
}

// The same for a file cut short on disk while its recorded size and time
// were rewritten to match: bits beyond its end name bytes that are not there.
TEST(StorageResume, BitsBeyondAFilesEndOnDiskAreNotTrusted) {
    TempDir dir;
    MadeTorrent t = MakeTorrent({2 * P, P}, P);
    StorageOptions options;
    options.preallocate = false;
    std::string resume;
    {
        MapRig rig(dir.path(), options);
        ASSERT_TRUE(rig->LoadLayout(t.layout));
        ASSERT_EQ(rig->WritePieceBytes(0, At(t, 0), P, 0, false), P);
        rig->CloseAll(true, true);
        ASSERT_EQ(::truncate(rig->File(0).path.c_str(), P), 0);
        rig->WriteResumeData();
        resume = rig.host.resume;
    }
    // The bitfield claims the first two pieces; the first file holds only one.
    const size_t bits = resume.find("8:BitField1:");
    ASSERT_NE(bits, std::string::npos);
    resume[bits + 12] = char(0xc0);
    MapRig rig(dir.path(), options);
    rig->SetResumeData(resume);
    ASSERT_TRUE(rig->LoadLayout(t.layout));
    EXPECT_TRUE(rig->Have(0));
    EXPECT_FALSE(rig->Have(1));
}

TEST(StorageResume, BadPieceStatusDropsOnlyThatProgress) {
    TempDir dir;
    MadeTorrent t = MakeTorrent({3 * P}, P, true);
    std::string resume;
    {
        MapRig rig(dir.path());
        ASSERT_TRUE(rig->LoadLayout(t.layout));
        ASSERT_EQ(rig->WritePieceBytes(2, At(t, 2 * P), P, 0, false), P);
        Deliver(*rig.map, t, 0, 0, 256 * 1024);
        rig.clock.Advance(601 * 1000);
        rig->PeriodicFlush();
        ASSERT_EQ(rig->Piece(0).written, 256 * 1024);
        rig->CloseAll(true, true);
        resume = rig.host.resume;
    }
    std::string bad_crc = resume;
    const size_t crc = bad_crc.find("5:CRC32i");
    ASSERT_NE(crc, std::string::npos);
    bad_crc[crc + 8] = bad_crc[crc + 8] == '1' ? '2' : '1';
    std::string big_part = resume;
    big_part.replace(big_part.find("4:Parti262144e"), 14, "4:Parti4194304e");
    for (const std::string& data : {bad_crc, big_part}) {
        MapRig rig(dir.path());
        rig->SetResumeData(data);
        ASSERT_TRUE(rig->LoadLayout(t.layout));
        EXPECT_TRUE(rig->Have(2));  // the bitfield is restored
        EXPECT_EQ(rig->Piece(0).written, 0);
        EXPECT_TRUE(rig->PartialPieces().empty());
    }
}

TEST(StorageResume, PieceCacheFileKeepsUnwrittenBlocks) {
    TempDir dir;
    MadeTorrent t = MakeTorrent({2 * P + 5000}, P, true);
    const std::string cache = dir / "info/task.zlinfodf";
    std::string resume;
    {
        MapRig rig(dir.path());
        rig->SetPieceCachePath(cache);
        ASSERT_TRUE(rig->LoadLayout(t.layout));
        Deliver(*rig.map, t, 0, 0, 3 * B);
        // the short last piece, complete
        ASSERT_EQ(rig->ReceiveBlock(2, 0, 5000, At(t, 2 * P)).status, BlockWrite::kPieceVerified);
        rig->TrimCache(true);
        rig->CloseAll(true, false);  // no flush: what is in memory goes to the cache file
        rig->SavePieceCache();
        resume = rig.host.resume;
    }
    ASSERT_TRUE(std::filesystem::exists(cache));
    {
        MapRig rig(dir.path());
        rig->SetPieceCachePath(cache);
        rig->SetResumeData(resume);
        ASSERT_TRUE(rig->LoadLayout(t.layout));
        EXPECT_EQ(rig->Piece(0).InMemory(), 3 * B);
        EXPECT_TRUE(rig->Piece(2).held_complete);
        bool complete = false;
        Deliver(*rig.map, t, 0, 3 * B, int32_t(P), &complete);
        EXPECT_TRUE(complete);
    }
    // A record whose checksum does not match ends the reading.
    std::string bytes = ReadFile(cache);
    bytes[20] ^= 1;
    WriteFile(cache, bytes);
    {
        MapRig rig(dir.path());
        rig->SetPieceCachePath(cache);
        rig->SetResumeData(resume);
        ASSERT_TRUE(rig->LoadLayout(t.layout));
        EXPECT_EQ(rig->Piece(0).InMemory(), 0);
        EXPECT_EQ(rig->Piece(2).InMemory(), 0);
    }
}

TEST(StorageResume, CacheRecordsAreBoundsChecked) {
    Sha1Digest hash{};
    const std::string block(B, 'b');
    struct Case { int32_t offset; int32_t written; bool valid; };
    const Case cases[] = {{0, 0, true}, {B, B, true}, {100, 0, false}, {-B, 0, false}, {4 * B, 0, false}, {0, B, false}};
    for (const Case& c : cases) {
        std::string file;
        AppendPieceCacheRecord(file, hash, 1, B, c.written, {{c.offset, block}});
        int accepted = 0, invalid = 0;
        ReadPieceCacheRecords(
            file, hash, 4 * B, [](int32_t i) { return i == 1 ? 4 * B : 0; },
            [&](const PieceCacheRecord&) { return ++accepted, true; }, [&](int32_t) { ++invalid; });
        EXPECT_EQ(accepted, c.valid ? 1 : 0) << c.offset;
        EXPECT_EQ(invalid, c.valid ? 0 : 1) << c.offset;
    }
}

TEST(StorageAssembly, HashFailureEmptiesThePieceAndTellsTheSender) {
    TempDir dir;
    MadeTorrent t = MakeTorrent({2 * P}, P, true);
    MapRig rig(dir.path());
    ASSERT_TRUE(rig->LoadLayout(t.layout));
    std::string bad = t.data.substr(0, size_t(P));
    bad[777] ^= 1;
    std::vector<BlockWrite> results;
    for (int32_t off = 0; off < P; off += B)
        results.push_back(rig->ReceiveBlock(0, off, B, reinterpret_cast<const uint8_t*>(bad.data()) + off).status);
    // Every block but the last was stored; the last completed the piece, which failed.
    EXPECT_EQ(std::count(results.begin(), results.end(), BlockWrite::kStored), int(P / B) - 1);
    EXPECT_EQ(results.back(), BlockWrite::kHashFailed);
    EXPECT_EQ(rig->Piece(0).InMemory(), 0);
    EXPECT_EQ(rig->MemoryCacheBytes(), 0);
    // Offsets from the wire are checked.
    EXPECT_EQ(rig->ReceiveBlock(0, 100, B, At(t, 0)).status, BlockWrite::kRefused);
    EXPECT_EQ(rig->ReceiveBlock(0, P, B, At(t, 0)).status, BlockWrite::kRefused);
    EXPECT_EQ(rig->ReceiveBlock(0, -B, B, At(t, 0)).status, BlockWrite::kRefused);
    bool complete = false;
    Deliver(*rig.map, t, 0, 0, int32_t(P), &complete);
    EXPECT_TRUE(complete);
    EXPECT_EQ(rig->ReceiveBlock(0, 0, B, At(t, 0)).status, BlockWrite::kNotNeeded);
    rig->FlushCompletePieces(false);
    EXPECT_TRUE(rig->Have(0));
}

TEST(StorageAssembly, SmallPieceChunkAndUploadReadsStayInsideThePiece) {
    TempDir dir;
    MadeTorrent t = MakeTorrent({5 * 2 * B}, 2 * B, true);
    MapRig rig(dir.path());
    ASSERT_TRUE(rig->LoadLayout(t.layout));
    for (int32_t i = 0; i < 5; ++i) ASSERT_EQ(rig->WritePieceBytes(i, At(t, i * 2 * B), 2 * B, 0, false), 2 * B);
    std::vector<uint8_t> out(B);
    ASSERT_EQ(rig->ReadForUpload(3, out.data(), 1000, B + 5, 4), 1000);
    EXPECT_EQ(std::memcmp(out.data(), At(t, 3 * 2 * B + B + 5), 1000), 0);
    EXPECT_EQ(rig->Piece(3).blocks.ChunkSize(), 2 * B);
    EXPECT_EQ(rig->MemoryCacheBytes(), B);  // from the block boundary, capped at the piece's end
    ASSERT_EQ(rig->ReadForUpload(3, out.data(), B, B), B);
    EXPECT_EQ(rig->BlockCacheHits(), 1u);
    EXPECT_EQ(rig->ReadForUpload(3, out.data(), B, B + 1), -1);  // beyond the piece
}

TEST(StorageAssembly, CompletePiecesAreWrittenOnceTheCacheFillsAndTrimKeepsItBounded) {
    TempDir dir;
    MadeTorrent t = MakeTorrent({20 * 256 * 1024}, 256 * 1024, true);
    StorageOptions options;
    options.cache_units = 4;  // 1 MiB
    MapRig rig(dir.path(), options);
    ASSERT_TRUE(rig->LoadLayout(t.layout));
    for (int32_t i = 0; i < 6; ++i) {
        bool complete = false;
        for (int32_t off = 0; off < 256 * 1024; off += B)
            complete = rig->ReceiveBlock(i, off, B, At(t, int64_t(i) * 256 * 1024 + off)).piece_verified();
        ASSERT_TRUE(complete);
    }
    rig->PeriodicFlush();
    EXPECT_LT(rig->CompleteInMemoryBytes(), rig->MemoryCacheSize());
    rig->FlushCompletePieces(false);
    for (int32_t i = 0; i < 6; ++i) EXPECT_TRUE(rig->Have(i));
    std::vector<uint8_t> out(B);
    for (int32_t i = 0; i < 6; ++i)
        for (int32_t off = 0; off < 256 * 1024; off += B) ASSERT_EQ(rig->ReadForUpload(i, out.data(), B, off), B);
    rig->TrimCache(true);
    EXPECT_LE(rig->MemoryCacheBytes(), rig->MemoryCacheSize() - rig->MemoryCacheSize() / 10);
}

TEST(StorageAssembly, FastArrivalsStayWithinTheCacheWithoutWaitingForThePeriodicFlush) {
    TempDir dir;
    MadeTorrent t = MakeTorrent({20 * 256 * 1024}, 256 * 1024, true);
    StorageOptions options;
    options.cache_units = 4;  // 1 MiB
    MapRig rig(dir.path(), options);
    ASSERT_TRUE(rig->LoadLayout(t.layout));
    for (int32_t i = 0; i < 20; ++i) {
        for (int32_t off = 0; off < 256 * 1024; off += B)
            (void)rig->ReceiveBlock(i, off, B, At(t, int64_t(i) * 256 * 1024 + off));
        // No periodic flush runs: memory is still bounded and written pieces count as had.
        EXPECT_LE(rig->CompleteInMemoryBytes(), rig->MemoryCacheSize() / 2);
        EXPECT_LE(rig->MemoryCacheBytes(), rig->MemoryCacheSize());
    }
    EXPECT_GE(rig->FinishedPieces(), 20 - 2);
    rig->FlushCompletePieces(false);
    EXPECT_EQ(rig->FinishedPieces(), 20);
}

TEST(StorageResume, TaskInfoFileIsAtomicAndRefusesTornCopies) {
    TempDir dir;
    const std::string path = dir / "tasks/001.zlinfo";
    TaskInfoFile info{"resume-bytes", "selection", "", "d4:infod4:name1:xee"};
    ASSERT_TRUE(WriteTaskInfoFile(path, info));
    const auto back = ReadTaskInfoFile(path);
    ASSERT_TRUE(back);
    EXPECT_EQ(back->bits, info.bits);
    EXPECT_EQ(back->part, info.part);
    EXPECT_EQ(back->seeds, "");
    EXPECT_EQ(back->torrent, info.torrent);
    const std::string whole = ReadFile(path);
    for (size_t cut : {size_t(1), whole.size() / 2, whole.size() - 1}) EXPECT_FALSE(DecodeTaskInfo(whole.substr(0, cut)));
    EXPECT_FALSE(DecodeTaskInfo(whole + "x"));
    EXPECT_TRUE(DecodeTaskInfo("d4:bits2:ab4:part3:abce")->bits.empty());  // too short to be resume data
    // Only the target and no temporary file remain.
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir / "tasks"), {}), 1);
}

TEST(StorageResume, SelectionRoundTrip) {
    TempDir dir;
    MadeTorrent t = MakeTorrent({P, P, P}, P);
    std::string selection;
    {
        MapRig rig(dir.path());
        ASSERT_TRUE(rig->LoadLayout(t.layout));
        ASSERT_TRUE(rig->SetFileWanted(2, false));
        rig->Clear();
        selection = rig.host.selection;
    }
    MapRig rig(dir.path());
    rig->SetSelection(selection);
    ASSERT_TRUE(rig->LoadLayout(t.layout));
    EXPECT_FALSE(rig->File(0).Unwanted());
    EXPECT_FALSE(rig->File(1).Unwanted());
    EXPECT_TRUE(rig->File(2).Unwanted());
}

}  // namespace
}  // namespace zl::test
