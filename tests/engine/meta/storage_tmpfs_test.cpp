// A real full volume: a small tmpfs in a private mount namespace. Skipped
// where mounting is not allowed.
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>

#include "engine/meta/disk_space.h"
#include "tests/engine/meta/storage_test_util.h"

namespace zl::test {
namespace {

constexpr int64_t P = 256 * 1024;

// statvfs, and room made by deleting a filler file once the task has waited.
class FreeingProbe : public DiskSpaceProbe {
public:
    std::optional<uint64_t> FreeBytes(const std::string& dir) override {
        if (++calls == free_after && !filler.empty()) std::filesystem::remove(filler);
        return real.FreeBytes(dir);
    }
    StatvfsDiskSpaceProbe real;
    std::string filler;
    int calls = 0;
    int free_after = 3;
};

class StorageTmpfs : public ::testing::Test {
protected:
    void SetUp() override {
        if (::unshare(CLONE_NEWNS) != 0 || ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
            ::mount("tmpfs", dir_.path().c_str(), "tmpfs", 0, "size=8m") != 0)
            GTEST_SKIP() << "cannot mount a tmpfs here";
        mounted_ = true;
    }
    void TearDown() override {
        if (mounted_) ::umount2(dir_.path().c_str(), MNT_DETACH);
    }
    TempDir dir_;
    bool mounted_ = false;
};

TEST_F(StorageTmpfs, WaitsForSpaceThenPreallocatesAndWrites) {
    MadeTorrent t = MakeTorrent({12 * P}, P, true);  // 3 MiB; 2 MiB free until the filler goes
    FreeingProbe probe;
    probe.filler = dir_ / "filler";
    WriteFile(probe.filler, std::string(6 << 20, 'f'));
    RecordingHost host;
    QTMutex lock;
    FakeClock clock(FakeClock::Mode::AutoAdvance);
    auto* map = new TPieces(&host, lock, clock, &probe);
    map->SetSaveDirectory(dir_.path());
    ASSERT_TRUE(map->LoadLayout(t.layout));
    EXPECT_EQ(host.Count(kNoticeDiskFull), 1);
    EXPECT_EQ(host.Count(kNoticeDiskSpaceBack), 1);
    for (int32_t i = 0; i < 12; ++i)
        ASSERT_EQ(map->WritePieceBytes(i, reinterpret_cast<const uint8_t*>(t.data.data()) + i * P, P, 0, false), P);
    EXPECT_TRUE(map->AllFinished());
    map->CloseAll(true, true);
    EXPECT_TRUE(ReadFile(dir_ / "pack") == t.data);
    map->Release();
}

TEST_F(StorageTmpfs, FullVolumeStopsTheTaskAndShortWritesFailCleanly) {
    MadeTorrent t = MakeTorrent({12 * P}, P, true);  // 3 MiB on a volume with 2 MiB free
    WriteFile(dir_ / "filler", std::string(6 << 20, 'f'));
    {
        MapRig rig(dir_.path());
        StatvfsDiskSpaceProbe real;
        TPieces* map = new TPieces(&rig.host, rig.disk_lock, rig.clock, &real);
        map->SetSaveDirectory(dir_.path());
        rig.host.stop_on_disk_full = true;
        EXPECT_FALSE(map->LoadLayout(t.layout));
        EXPECT_EQ(rig.host.Count(kNoticeDiskFull), 1);
        EXPECT_EQ(rig.host.Count(kNoticeDiskSpaceBack), 0);
        map->Release();
    }
    // A probe that misses the shortage: the writes themselves fail, nothing is claimed.
    StorageOptions sparse;
    sparse.preallocate = false;
    MapRig rig(dir_.path(), sparse);
    ASSERT_TRUE(rig->LoadLayout(t.layout));
    int written = 0;
    for (int32_t i = 0; i < 12; ++i)
        if (rig->WritePieceBytes(i, reinterpret_cast<const uint8_t*>(t.data.data()) + i * P, P, 0, false) == P) ++written;
    EXPECT_LT(written, 12);
    EXPECT_GT(written, 0);
    for (int32_t i = 0; i < 12; ++i) {
        if (!rig->Have(i)) continue;
        std::vector<uint8_t> back(P);
        ASSERT_EQ(rig->ReadForUpload(i, back.data(), int32_t(P), 0), P);
        EXPECT_EQ(std::memcmp(back.data(), t.data.data() + i * P, P), 0) << i;
    }
}

// A free-space query that misses the shortage (it failed, or a quota
// applies) lets the writes find it: each one that the full volume refuses
// says so, and the task stops instead of fetching the same pieces forever.
TEST_F(StorageTmpfs, WritesRefusedByAFullVolumeReportTheDiskFull) {
    MadeTorrent t = MakeTorrent({12 * P}, P, true);  // 3 MiB on a volume with 2 MiB free
    WriteFile(dir_ / "filler", std::string(6 << 20, 'f'));
    StorageOptions sparse;
    sparse.preallocate = false;
    for (const StorageOptions& options : {StorageOptions{}, sparse}) {
        std::filesystem::remove(dir_ / "pack.zltmp");
        std::filesystem::remove(dir_ / "pack");
        MapRig rig(dir_.path(), options);  // its probe always answers "plenty"
        ASSERT_TRUE(rig->LoadLayout(t.layout));
        int written = 0;
        for (int32_t i = 0; i < 12; ++i)
            if (rig->WritePieceBytes(i, reinterpret_cast<const uint8_t*>(t.data.data()) + i * P, P, 0, false) == P)
                ++written;
        EXPECT_LT(written, 12) << options.preallocate;
        EXPECT_GE(rig.host.Count(kNoticeDiskFull), 1) << options.preallocate;
        EXPECT_EQ(rig.host.Count(kNoticeFileOpenFailed), 0) << options.preallocate;
    }
}

}  // namespace
}  // namespace zl::test
