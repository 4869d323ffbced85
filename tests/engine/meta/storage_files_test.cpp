// Target files: layout on disk, pieces across file boundaries, sizing, the
// wait for disk space, renaming at completion and the disk queries.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <future>
#include <thread>

#include "engine/meta/disk_space.h"
#include "tests/engine/meta/storage_test_util.h"

namespace zl::test {
namespace {

constexpr int64_t P = 64 * 1024;  // piece length of most tests

TEST(StorageFiles, PieceAcrossThreeFilesAndEmptyOnesWrittenInReverse) {
    TempDir dir;
    // Piece 1 spans the tail of f0, all of f2 and the head of f4; f1, f3, f5 are empty.
    MadeTorrent t = MakeTorrent({P + 16384, 0, 16384, 0, P + 100, 0}, P);
    MapRig rig(dir.path());
    ASSERT_TRUE(rig->LoadLayout(t.layout));
    for (const char* empty : {"f1", "f3", "f5"}) {
        struct stat st;
        ASSERT_EQ(::stat((dir / "pack/") .append(empty).append(".zltmp").c_str(), &st), 0) << empty;
        EXPECT_EQ(st.st_size, 0);
    }
    const std::vector<FileEntry*> files = rig->LocatePiece(1);
    ASSERT_EQ(files.size(), 3u);
    EXPECT_EQ(files[0]->relative_name, "pack/f0");
    EXPECT_EQ(files[1]->relative_name, "pack/f2");
    EXPECT_EQ(files[2]->relative_name, "pack/f4");
    std::vector<FilePieceMap::Span> spans;
    ASSERT_TRUE(rig->FileMap().SpansOf(1, 0, P, spans));
    EXPECT_EQ(spans.front().file_offset, P);

    const size_t have_notices = size_t(rig.host.Count(kNoticeHave));
    bool complete = false;
    for (int32_t off = int32_t(P) - 16384; off >= 0; off -= 16384) {
        const BlockWriteResult result =
            rig->ReceiveBlock(1, off, 16384, reinterpret_cast<const uint8_t*>(t.data.data()) + P + off);
        EXPECT_EQ(result.bytes, 16384);
        complete = result.piece_verified();
        // Nothing reaches the disk before the piece is whole and verified.
        EXPECT_EQ(ReadFile(dir / "pack/f2.zltmp").find_first_not_of('\0'), std::string::npos);
    }
    EXPECT_TRUE(complete);
    EXPECT_TRUE(rig->Piece(1).held_complete);
    EXPECT_FALSE(rig->Have(1));
    rig->FlushCompletePieces(false);
    EXPECT_TRUE(rig->Have(1));
    EXPECT_EQ(size_t(rig.host.Count(kNoticeHave, 1)), have_notices + 1);  // one verified write
    EXPECT_TRUE(ReadFile(dir / "pack/f0.zltmp").substr(P) == t.data.substr(P, 16384));
    EXPECT_TRUE(ReadFile(dir / "pack/f2.zltmp") == t.data.substr(P + 16384, 16384));
    EXPECT_TRUE(ReadFile(dir / "pack/f4.zltmp").substr(0, P - 32768) == t.data.substr(P + 32768, P - 32768));
    EXPECT_EQ(rig->MemoryCacheBytes(), 0);
}

TEST(StorageFiles, StreamBlocksBeyondFourGiBSplitInSixtyFourBits) {
    TempDir dir;
    StorageLayout layout;
    layout.name = "v";
    layout.piece_length = 4 << 20;
    const int64_t size = int64_t(4) << 30;  // a volume of exactly 4 GiB
    layout.files.push_back({{"v"}, size});
    layout.piece_hashes.assign(size_t(size / layout.piece_length) * 20, 'h');
    StorageOptions options;
    options.read_only = true;
    MapRig rig(dir.path(), options);
    ASSERT_TRUE(rig->LoadLayout(layout));
    // The loaded map's geometry splits stream blocks in 64 bits.
    const BlockInfo& geometry = rig->Geometry();
    const BlockInfo::Location last = geometry.LocateBlock(size / 16384 - 1);
    EXPECT_EQ(last.piece, 1023);
    EXPECT_EQ(last.offset, (4 << 20) - 16384);
    EXPECT_EQ(geometry.LocateBlock(size / 16384).piece, -1);
    EXPECT_EQ(geometry.LocateBlock(INT64_MAX).piece, -1);
}

TEST(StorageFiles, PieceEndingAtBoundaryDoesNotListFollowingEmptyFile) {
    TempDir dir;
    MadeTorrent t = MakeTorrent({P, 0, P}, P);
    MapRig rig(dir.path());
    ASSERT_TRUE(rig->LoadLayout(t.layout));
    const auto first = rig->LocatePiece(0);
    ASSERT_EQ(first.size(), 1u);
    EXPECT_EQ(first[0]->relative_name, "pack/f0");
    const auto second = rig->LocatePiece(1);
    ASSERT_EQ(second.size(), 1u);
    EXPECT_EQ(second[0]->relative_name, "pack/f2");
    std::vector<FilePieceMap::Span> spans;
    ASSERT_TRUE(rig->FileMap().SpansOf(1, 0, P, spans));
    EXPECT_EQ(spans.front().file_offset, 0);
}

TEST(StorageFiles, LongerFileIsCutToItsSize) {
    TempDir dir;
    MadeTorrent t = MakeTorrent({2 * P}, P, true);
    WriteFile(dir / "pack", t.data + "trailing garbage");
    MapRig rig(dir.path());
    ASSERT_TRUE(rig->LoadLayout(t.layout));
    EXPECT_EQ(rig->VerifiedBytes(), 2 * P);  // the check reads only the torrent's bytes
    std::vector<uint8_t> b(16384);
    ASSERT_EQ(rig->ReadForUpload(1, b.data(), 16384, 0), 16384);  // first preparation cuts it
    EXPECT_EQ(std::filesystem::file_size(dir / "pack"), uint64_t(2 * P));
}

TEST(StorageFiles, SparseFileBeyondFourGiBWithoutPreallocation) {
    TempDir dir;
    const int64_t size = (int64_t(4) << 30) + 3 * P;  // 4 GiB + 3 pieces
    StorageLayout layout;
    layout.name = "big.bin";
    layout.single_file = true;
    layout.piece_length = P;
    layout.files.push_back({{"big.bin"}, size});
    const int64_t count = (size + P - 1) / P;
    std::string piece(P, '\0');
    for (int64_t i = 0; i < P; ++i) piece[size_t(i)] = char(i * 7 + 3);
    const Sha1Digest good = Sha1Of(piece.data(), piece.size());
    const Sha1Digest zero = Sha1Of(std::string(P, '\0').data(), P);
    for (int64_t i = 0; i < count; ++i) {
        const Sha1Digest& d = i == count - 2 ? good : zero;
        layout.piece_hashes.append(reinterpret_cast<const char*>(d.data()), 20);
    }
    StorageOptions options;
    options.preallocate = false;
    MapRig rig(dir.path(), options);
    ASSERT_TRUE(rig->LoadLayout(layout));
    const std::string tmp = dir / "big.bin.zltmp";
    EXPECT_EQ(std::filesystem::file_size(tmp), 0u);
    // The first block extends the file to the block + 1 MiB + one piece, not to its full size.
    const int32_t last_but_one = int32_t(count - 2);
    int64_t written = rig->WritePieceBytes(0, reinterpret_cast<const uint8_t*>(piece.data()), 16384, 0, false);
    EXPECT_EQ(written, 16384);
    EXPECT_EQ(int64_t(std::filesystem::file_size(tmp)), 16384 + (1 << 20) + P);
    written = rig->WritePieceBytes(last_but_one, reinterpret_cast<const uint8_t*>(piece.data()), P, 0, false);
    EXPECT_EQ(written, P);
    EXPECT_TRUE(rig->Have(last_but_one));
    struct stat st;
    ASSERT_EQ(::stat(tmp.c_str(), &st), 0);
    EXPECT_GT(st.st_size, int64_t(4) << 30);
    EXPECT_LT(int64_t(st.st_blocks) * 512, int64_t(64) << 20);  // sparse
    std::vector<uint8_t> back(P);
    ASSERT_EQ(rig->ReadForUpload(last_but_one, back.data(), int32_t(P), 0), P);
    EXPECT_EQ(std::memcmp(back.data(), piece.data(), P), 0);
    EXPECT_EQ(FileDiskSizeOf(dir / "big.bin"), int64_t(st.st_blocks) * 512);  // through the companion
}

TEST(StorageFiles, DiskFullWaitsReportsAndGoesOn) {
    TempDir dir;
    MadeTorrent t = MakeTorrent({4 * P}, P, true);
    MapRig rig(dir.path());
    // Enough at load; then three polls of too little, then room again.
    ASSERT_TRUE(rig->LoadLayout(t.layout));
    std::filesystem::remove(dir / "pack.zltmp");
    rig.probe.answers = {uint64_t(1000), uint64_t(1000), uint64_t(2000), uint64_t(1) << 40};
    rig.host.notices.clear();
    const uint64_t t0 = rig.clock.TickMs();
    EXPECT_EQ(rig->WritePieceBytes(0, reinterpret_cast<const uint8_t*>(t.data.data()), P, 0, false), P);
    EXPECT_EQ(rig.host.Count(kNoticeDiskFull), 1);
    EXPECT_EQ(rig.host.Count(kNoticeDiskSpaceBack), 1);
    EXPECT_EQ(rig.clock.TickMs() - t0, 3 * 2000u);  // polled every 2 s of engine time
    EXPECT_EQ(rig.probe.asked.back(), dir.path());  // the folder of the file
    EXPECT_EQ(rig.disk_lock.Count(), 0);            // the lock came back balanced
}

TEST(StorageFiles, DiskFullUntilStoppedFailsTheWrite) {
    TempDir dir;
    MadeTorrent t = MakeTorrent({4 * P}, P, true);
    MapRig rig(dir.path());
    ASSERT_TRUE(rig->LoadLayout(t.layout));
    std::filesystem::remove(dir / "pack.zltmp");
    rig.probe.fallback = uint64_t(10);
    rig.host.stop_on_disk_full = true;
    rig.host.notices.clear();
    EXPECT_LT(rig->WritePieceBytes(0, reinterpret_cast<const uint8_t*>(t.data.data()), P, 0, false), P);
    EXPECT_EQ(rig.host.Count(kNoticeDiskFull), 1);
    EXPECT_EQ(rig.host.Count(kNoticeDiskSpaceBack), 0);
    EXPECT_FALSE(rig->Have(0));
    EXPECT_EQ(rig.disk_lock.Count(), 0);
}

TEST(StorageFiles, FailedSpaceQueryCountsAsEnoughAndLoadAsksForMissingBytesOnly) {
    TempDir dir;
    MadeTorrent t = MakeTorrent({4 * P}, P, true);
    WriteFile(dir / "pack.zltmp", t.data.substr(0, size_t(3 * P)));
    MapRig rig(dir.path());
    rig.probe.answers = {uint64_t(P)};  // exactly the missing piece
    ASSERT_TRUE(rig->LoadLayout(t.layout));
    EXPECT_EQ(rig.host.Count(kNoticeDiskFull), 0);
    rig.probe.fallback = std::nullopt;
    EXPECT_EQ(rig->WritePieceBytes(3, reinterpret_cast<const uint8_t*>(t.data.data()) + 3 * P, P, 0, false), P);
    EXPECT_EQ(rig.host.Count(kNoticeDiskFull), 0);
}

TEST(StorageFiles, UnopenableTargetSendsNoticeAndFails) {
    TempDir dir;
    MadeTorrent t = MakeTorrent({P}, P, true);
    std::filesystem::create_directories(dir / "pack.zltmp");  // a folder where the file should be
    MapRig rig(dir.path());
    EXPECT_FALSE(rig->LoadLayout(t.layout));
    EXPECT_EQ(rig.host.Count(kNoticeFileOpenFailed), 1);
}

// A FIFO where the file should be: opening it to read would wait for a
// writer for ever, and the task could neither check nor stop.
TEST(StorageFiles, FifoInPlaceOfTheTargetIsRefusedWithoutWaiting) {
    TempDir dir;
    MadeTorrent t = MakeTorrent({P}, P, true);
    const std::string fifo = dir / "pack";  // the final name exists: no temporary name is used
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0644), 0);
    MapRig rig(dir.path());
    std::promise<bool> loaded;
    std::future<bool> result = loaded.get_future();
    std::thread load([&] { loaded.set_value(rig->LoadLayout(t.layout)); });
    const bool finished = result.wait_for(std::chrono::seconds(5)) == std::future_status::ready;
    if (!finished) {
        // Free the waiting open, so that the test ends either way.
        const int writer = ::open(fifo.c_str(), O_WRONLY | O_NONBLOCK);
        load.join();
        if (writer >= 0) ::close(writer);
    } else {
        load.join();
    }
    ASSERT_TRUE(finished) << "the load waited on the FIFO";
    EXPECT_FALSE(result.get());
    EXPECT_EQ(rig.host.Count(kNoticeFileOpenFailed), 1);
}

TEST(StorageFiles, RenameAtCompletionNeverReplaces) {
    TempDir dir;
    MadeTorrent t = MakeTorrent({P, P}, P);
    MapRig rig(dir.path());
    ASSERT_TRUE(rig->LoadLayout(t.layout));
    WriteFile(dir / "pack/f1", "someone else's file");
    // f1's final name is taken by then; f0 renames.
    for (int32_t i = 0; i < 2; ++i)
        ASSERT_EQ(rig->WritePieceBytes(i, reinterpret_cast<const uint8_t*>(t.data.data()) + i * P, P, 0, false), P);
    rig->CloseAll(true, true);
    EXPECT_TRUE(ReadFile(dir / "pack/f0") == t.data.substr(0, P));
    EXPECT_FALSE(std::filesystem::exists(dir / "pack/f0.zltmp"));
    EXPECT_EQ(ReadFile(dir / "pack/f1"), "someone else's file");
    EXPECT_TRUE(ReadFile(dir / "pack/f1.zltmp") == t.data.substr(P, P));
    EXPECT_TRUE(rig->File(1).temp_name);
    EXPECT_FALSE(rig->File(0).temp_name);
}

TEST(StorageFiles, PathsStayInsideTheSaveFolder) {
    TempDir dir;
    struct Case { std::vector<std::string> components; std::string name; bool ok; };
    const Case cases[] = {
        {{"a", "b"}, "pack", true},    {{"..", "x"}, "pack", false}, {{"a/b"}, "pack", false},
        {{"/etc"}, "pack", false},     {{"."}, "pack", false},       {{"ok"}, "..", false},
        {{"ok"}, "a/b", false},        {{"a\\..\\b"}, "pack", false},
    };
    for (const Case& c : cases) {
        MadeTorrent t = MakeTorrent({P}, P, false, 7, "pack");
        t.layout.name = c.name;
        t.layout.files[0].components = c.components;
        MapRig rig(dir / "save");
        EXPECT_EQ(rig->LoadLayout(t.layout), c.ok) << c.name << "/" << c.components[0];
    }
    for (const auto& e : std::filesystem::recursive_directory_iterator(dir.path()))
        EXPECT_EQ(e.path().string().rfind(dir / "save", 0), 0u) << e.path();
}

TEST(StorageFiles, NameEqualToSaveFolderTailAndDirectoryEntries) {
    TempDir dir;
    MadeTorrent t = MakeTorrent({P, 0, 5, P}, P);
    t.layout.files[1].components = {"sub", ""};  // a directory
    t.layout.files[2].components = {"bad", ""};  // a "directory" of 5 bytes ends the list
    t.layout.files[2].size = 5;
    t.layout.files.pop_back();
    t.layout.piece_hashes.resize(20);
    MapRig rig(dir / "Pack");  // the save folder already ends with the name
    ASSERT_TRUE(rig->LoadLayout(t.layout));
    EXPECT_EQ(rig->FileCount(), 1);
    EXPECT_EQ(rig->File(0).path, dir / "Pack/f0.zltmp");  // not Pack/pack/f0
    EXPECT_TRUE(std::filesystem::is_directory(dir / "Pack/sub"));
}

TEST(StorageFiles, BadGeometryIsRefused) {
    TempDir dir;
    struct Case { int64_t piece_length; int64_t total; size_t hashes; bool ok; };
    const Case cases[] = {
        {P, 2 * P, 2, true}, {P, 2 * P, 3, false}, {P, 2 * P, 1, false}, {P, 2 * P + 1, 2, false},
        {P + 1, 2 * P, 2, false}, {0, P, 1, false}, {int64_t(128) << 20, P, 1, false},
    };
    for (const Case& c : cases) {
        StorageLayout layout;
        layout.name = "x";
        layout.piece_length = c.piece_length;
        layout.files.push_back({{"x"}, c.total});
        layout.piece_hashes.assign(c.hashes * 20, 'h');
        MapRig rig(dir.path());
        EXPECT_EQ(rig->LoadLayout(layout), c.ok) << c.piece_length << " " << c.total << " " << c.hashes;
    }
}

TEST(StorageFiles, UnwantingTheMiddleFileKeepsSharedPiecesWanted) {
    TempDir dir;
    MadeTorrent t = MakeTorrent({P + 100, 3 * P, P}, P);
    MapRig rig(dir.path());
    ASSERT_TRUE(rig->LoadLayout(t.layout));
    const int64_t pieces = rig->WantedPieces();
    ASSERT_TRUE(rig->SetFileWanted(1, false));
    // f1 touches pieces 1..4; 1 and 4 are shared with wanted neighbours.
    EXPECT_FALSE(rig->Piece(1).unwanted);
    EXPECT_TRUE(rig->Piece(2).unwanted);
    EXPECT_TRUE(rig->Piece(3).unwanted);
    EXPECT_FALSE(rig->Piece(4).unwanted);
    EXPECT_EQ(rig->WantedPieces(), pieces - 2);
    EXPECT_EQ(rig->WantedBytes(), t.layout.files[0].size + t.layout.files[2].size);
    // The shared pieces are stored and read back whatever the order of their blocks.
    for (int32_t index : {4, 1}) {
        const int64_t start = int64_t(index) * P;
        const int32_t size = int32_t(std::min<int64_t>(P, int64_t(t.data.size()) - start));
        bool complete = false;
        for (int32_t off = ((size - 1) / 16384) * 16384; off >= 0; off -= 16384)
            complete = rig->ReceiveBlock(index, off, std::min(16384, size - off),
                                         reinterpret_cast<const uint8_t*>(t.data.data()) + start + off)
                           .piece_verified();
        ASSERT_TRUE(complete) << index;
    }
    rig->FlushCompletePieces(false);
    ASSERT_TRUE(rig->Have(1) && rig->Have(4));
    EXPECT_LE(std::filesystem::file_size(dir / "pack/f1.zltmp"), uint64_t(2 * P));
    std::vector<uint8_t> back(P);
    for (int32_t index : {1, 4}) {
        const int32_t size = int32_t(std::min<int64_t>(P, int64_t(t.data.size()) - int64_t(index) * P));
        ASSERT_EQ(rig->ReadForUpload(index, back.data(), size, 0), size);
        EXPECT_EQ(std::memcmp(back.data(), t.data.data() + int64_t(index) * P, size_t(size)), 0) << index;
    }
}

TEST(StorageFiles, DiskQueries) {
    TempDir dir;
    EXPECT_GT(DiskFreeSpaceOf(dir.path()), 0u);
    EXPECT_GT(DiskFreeSpaceOf(dir / "not/yet/created"), 0u);
    EXPECT_EQ(DiskFreeSpaceOf(""), 0u);
    EXPECT_EQ(FileDiskSizeOf(dir / "absent"), 0);
    WriteFile(dir / "x.zltmp", std::string(100000, 'x'));
    EXPECT_GE(FileDiskSizeOf(dir / "x"), 100000);
    // A FIFO of the name answers at once (it occupies nothing) instead of
    // waiting for a writer.
    const std::string fifo = dir / "fifo";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0644), 0);
    std::future<int64_t> size = std::async(std::launch::async, [&] { return FileDiskSizeOf(fifo); });
    const bool answered = size.wait_for(std::chrono::seconds(5)) == std::future_status::ready;
    if (!answered) ::close(::open(fifo.c_str(), O_WRONLY | O_NONBLOCK));  // lets the test end
    ASSERT_TRUE(answered) << "the query waited on the FIFO";
    EXPECT_EQ(size.get(), 0);
}

TEST(StorageFiles, OpenFileLimitClosesEveryHandle) {
    TempDir dir;
    std::vector<int64_t> sizes(130, 16384);
    MadeTorrent t = MakeTorrent(sizes, 16384);
    MapRig rig(dir.path());
    ASSERT_TRUE(rig->LoadLayout(t.layout));
    for (int32_t i = 0; i < 129; ++i)
        ASSERT_EQ(rig->WritePieceBytes(i, reinterpret_cast<const uint8_t*>(t.data.data()) + i * 16384, 16384, 0, false),
                  16384);
    rig->EnforceOpenFileLimit();  // limit 128 / 1 + 1
    for (int32_t i = 0; i < rig->FileCount(); ++i) EXPECT_FALSE(rig->File(i).file.IsOpen());
}

}  // namespace
}  // namespace zl::test
