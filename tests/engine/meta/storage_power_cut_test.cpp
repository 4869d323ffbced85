// Power cuts at every durability step of a download's storage: after each cut
// the resume data that survived may name only pieces whose bytes survived
// too, and the download completes from there. The file system is the
// in-memory one that loses whatever no flush covered.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <numeric>
#include <thread>

#include "engine/meta/task_info_file.h"
#include "tests/engine/meta/fault_file_system.h"
#include "tests/engine/meta/storage_test_util.h"

namespace zl::test {
namespace {

using Cut = FaultFileSystem::Cut;

constexpr int64_t kPiece = 64 * 1024;
constexpr int32_t kBlock = 16384;
const std::string kSaveDir = "/dl";
const std::string kInfoPath = "/state/pack.zlinfo";

// A piece map on the fault file system, with its progress read from the task
// information file the way a task starts.
struct Session {
    RecordingHost host;
    QTMutex disk_lock;
    FakeClock clock{FakeClock::Mode::AutoAdvance};
    ScriptedProbe probe;
    TPieces* map;

    Session(FaultFileSystem& fs, const MadeTorrent& t) {
        map = new TPieces(&host, disk_lock, clock, &probe, nullptr, &fs);
        map->SetSaveDirectory(kSaveDir);
        map->SetPieceCachePath(kInfoPath + "df");
        if (const auto bytes = ReadWholeFileOn(fs, kInfoPath, 1 << 24))
            if (const auto info = DecodeTaskInfo(*bytes)) map->SetResumeData(info->bits);
        loaded = map->LoadLayout(t.layout);
        // Resume data accepted: its reading announces the state a second time.
        resumed = host.Count(kNoticeStateEstablished) >= 2;
    }
    ~Session() { map->Release(); }

    // What a task's periodic save does: complete pieces out, their flush
    // handed to the flusher thread (the resume data of the flush before, once
    // it is done), the task information file.
    void Save(FaultFileSystem& fs) {
        map->FlushCompletePieces(false);
        map->SaveProgress();
        TaskInfoFile info;
        info.bits = host.resume;
        WriteFileDurably(fs, kInfoPath, EncodeTaskInfo(info));
        // By the next save the flush has ended and its resume data is out.
        while (map->ProgressSavePending()) {
            std::this_thread::yield();
            map->SaveProgress();
        }
    }
    void Deliver(const MadeTorrent& t, int32_t piece, int64_t from, int64_t to) {
        const int64_t size = map->Geometry().PieceSize(piece);
        for (int64_t off = from; off < std::min(to, size); off += kBlock) {
            const int64_t at = map->Geometry().PieceBegin(piece) + off;
            (void)map->ReceiveBlock(piece, off, int32_t(std::min<int64_t>(kBlock, size - off)),
                                    reinterpret_cast<const uint8_t*>(t.data.data()) + at);
        }
    }
    // Pieces the map trusts whose bytes on the file system are not the torrent's.
    std::vector<int32_t> WrongTrustedPieces(const MadeTorrent& t) {
        std::vector<int32_t> wrong;
        std::string buffer(size_t(kPiece), '\0');
        for (int32_t i = 0; i < map->Geometry().piece_count(); ++i) {
            if (!map->Have(i)) continue;
            const int64_t size = map->Geometry().PieceSize(i);
            const int64_t got = map->ReadPieceBytes(i, reinterpret_cast<uint8_t*>(buffer.data()), size, 0);
            if (got != size || buffer.compare(0, size_t(size), t.data, size_t(map->Geometry().PieceBegin(i)), size_t(size)) != 0)
                wrong.push_back(i);
        }
        return wrong;
    }

    bool loaded = false;
    bool resumed = false;
};

// A download in the order a few sources would deliver it: pieces from two
// places at once, one piece half written (so its hash state is saved), a
// save after every other piece, and a close that keeps a part piece in the
// piece-cache file. Runs until the map is complete or `saves` saves passed.
void Download(FaultFileSystem& fs, const MadeTorrent& t, int saves = 1 << 30) {
    Session s(fs, t);
    ASSERT_TRUE(s.loaded);
    const int32_t count = s.map->Geometry().piece_count();
    std::vector<int32_t> order;
    for (int32_t i = 0, j = count / 2; i < count / 2 || j < count; ++i, ++j) {
        if (j < count) order.push_back(j);
        if (i < count / 2) order.push_back(i);
    }
    // The first wanted piece arrives half now: the idle flush writes that half.
    for (int32_t i : order)
        if (s.map->Wanted(i)) {
            s.Deliver(t, i, 0, kPiece / 2);
            s.clock.Advance(601 * 1000);
            s.map->PeriodicFlush();
            break;
        }
    int delivered = 0;
    for (int32_t i : order) {
        if (!s.map->Wanted(i)) continue;
        s.Deliver(t, i, 0, kPiece);
        if (++delivered % 2 == 0) {
            s.Save(fs);
            if (--saves == 0) break;
        }
    }
    // A piece in memory only at the close goes to the piece-cache file.
    for (int32_t i : order)
        if (s.map->Wanted(i) && !s.map->Piece(i).complete) {
            s.Deliver(t, i, kPiece / 2, kPiece);
            break;
        }
    s.map->CloseAll(true, true);
    TaskInfoFile info;
    info.bits = s.host.resume;
    WriteFileDurably(fs, kInfoPath, EncodeTaskInfo(info));
}

MadeTorrent PowerCutTorrent() {
    // Two files meeting inside a piece, a short last piece.
    return MakeTorrent({5 * kPiece + 20000, 4 * kPiece + 3000}, kPiece, false, 11);
}

std::string FileBytes(FaultFileSystem& fs) {
    std::string all;
    for (int i = 0; i < 2; ++i) all += fs.Content(kSaveDir + "/pack/f" + std::to_string(i)).value_or("<missing>");
    return all;
}

TEST(StoragePowerCut, EveryCutLeavesOnlyGoodTrustedPiecesAndTheDownloadCompletes) {
    const MadeTorrent t = PowerCutTorrent();
    int64_t steps = 0;
    {
        FaultFileSystem fs;
        Download(fs, t);
        steps = fs.Steps();
        ASSERT_TRUE(FileBytes(fs) == t.data) << "the uninterrupted download is right";
    }
    ASSERT_GT(steps, 10);
    struct Mode {
        Cut cut;
        uint64_t seeds;
    } modes[] = {{Cut::kStrict, 1}, {Cut::kNamesKept, 1}, {Cut::kTorn, 3}};
    int cuts = 0, resumed_with_pieces = 0;
    for (const Mode& mode : modes) {
        for (uint64_t seed = 1; seed <= mode.seeds; ++seed) {
            for (int64_t step = 1; step <= steps; ++step) {
                SCOPED_TRACE("cut mode " + std::to_string(int(mode.cut)) + " seed " + std::to_string(seed) +
                             " before step " + std::to_string(step));
                FaultFileSystem fs;
                fs.ArmCut(step, mode.cut, seed);
                Download(fs, t);
                ASSERT_TRUE(fs.RestoreCut());
                ++cuts;
                {
                    Session after(fs, t);
                    ASSERT_TRUE(after.loaded);
                    EXPECT_EQ(after.WrongTrustedPieces(t), std::vector<int32_t>{});
                    if (after.resumed && after.map->FinishedPieces() > 0) ++resumed_with_pieces;
                }
                Download(fs, t);
                ASSERT_TRUE(FileBytes(fs) == t.data) << "the download completes right after the cut";
            }
        }
    }
    std::printf("[ power cut ] %d cuts over %lld steps; %d resumed with saved pieces\n", cuts,
                static_cast<long long>(steps), resumed_with_pieces);
    EXPECT_GT(resumed_with_pieces, cuts / 3) << "most cuts keep saved progress instead of checking everything";
}

// Cut in the middle of the download, twice in a row, without the close: the
// second run starts from whatever the first cut left.
TEST(StoragePowerCut, RepeatedCutsMidDownloadNeverTrustABadPiece) {
    const MadeTorrent t = PowerCutTorrent();
    for (int saves = 1; saves <= 4; ++saves) {
        SCOPED_TRACE("cut after " + std::to_string(saves) + " saves");
        FaultFileSystem fs;
        for (int round = 0; round < 3; ++round) {
            Download(fs, t, saves);
            fs.CutPower(round == 1 ? Cut::kTorn : Cut::kStrict, uint64_t(saves * 10 + round));
            Session after(fs, t);
            ASSERT_TRUE(after.loaded);
            EXPECT_EQ(after.WrongTrustedPieces(t), std::vector<int32_t>{});
        }
        Download(fs, t);
        EXPECT_TRUE(FileBytes(fs) == t.data);
    }
}

// The task information file is replaced durably: a cut at any of its steps
// leaves the old file or the whole new one, never an empty or torn one; a
// rename that did not reach the disk leaves the old file.
TEST(StoragePowerCut, ReplacedFileIsOldOrNewAfterACut) {
    const std::string old_bytes = "d4:bits5:old..e", new_bytes = "d4:bits9:new......e";
    for (Cut mode : {Cut::kStrict, Cut::kNamesKept, Cut::kTorn}) {
        for (int64_t step = 1; step <= 3; ++step) {
            FaultFileSystem fs;
            fs.Put(kInfoPath, old_bytes);
            fs.ArmCut(step, mode, uint64_t(step));
            ASSERT_TRUE(WriteFileDurably(fs, kInfoPath, new_bytes));
            ASSERT_TRUE(fs.RestoreCut());
            const std::string now = fs.Content(kInfoPath).value_or("<missing>");
            EXPECT_TRUE(now == old_bytes || now == new_bytes) << "mode " << int(mode) << " step " << step << ": " << now;
            if (mode == Cut::kStrict && step == 3) {
                EXPECT_EQ(now, old_bytes) << "the rename did not reach the disk";
            }
        }
    }
    FaultFileSystem fs;
    fs.Put(kInfoPath, old_bytes);
    ASSERT_TRUE(WriteFileDurably(fs, kInfoPath, new_bytes));
    fs.CutPower(Cut::kStrict);
    EXPECT_EQ(fs.Content(kInfoPath), new_bytes) << "after the folder flush the new file stays";
    EXPECT_EQ(fs.Files(), std::vector<std::string>{kInfoPath}) << "no temporary file is left";
}

// A resume file torn by a file system without ordering (or a disk that lied):
// it is refused as a whole, the data on disk is checked, and only the pieces
// that hash right are trusted.
TEST(StoragePowerCut, TornResumeFileFallsBackToACheck) {
    const MadeTorrent t = PowerCutTorrent();
    FaultFileSystem fs;
    Download(fs, t, 3);
    const std::string good = fs.Content(kInfoPath).value();
    // Corrupt one piece's bytes on disk behind the resume data's back.
    {
        std::unique_ptr<FileHandle> f = fs.Open(kSaveDir + "/pack/f0.zltmp", FileSystem::OpenMode::kReadWrite, false);
        ASSERT_TRUE(f);
        const std::string junk(100, 'x');
        ASSERT_EQ(f->WriteAt(junk.data(), int64_t(junk.size()), 5 * kPiece + 10), int64_t(junk.size()));
        f->SyncData();
    }
    const std::string torn_cases[] = {good.substr(0, good.size() / 2), std::string(good.size(), '\0'), good + "e",
                                      std::string()};
    for (const std::string& torn : torn_cases) {
        SCOPED_TRACE("resume file of " + std::to_string(torn.size()) + " bytes");
        fs.Put(kInfoPath, torn);
        Session after(fs, t);
        ASSERT_TRUE(after.loaded);
        EXPECT_FALSE(after.resumed);
        EXPECT_EQ(after.WrongTrustedPieces(t), std::vector<int32_t>{});
        EXPECT_FALSE(after.map->Have(5)) << "the damaged piece is not trusted";
        EXPECT_GT(after.map->FinishedPieces(), 0) << "the good pieces on disk are found by the check";
    }
    Download(fs, t);
    EXPECT_TRUE(FileBytes(fs) == t.data);
}

}  // namespace
}  // namespace zl::test
