// Two tasks share the engine-wide disk lock: one waiting for disk space must
// not hold it, so the other keeps writing.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "tests/engine/meta/storage_test_util.h"

namespace zl::test {
namespace {

constexpr int64_t P = 64 * 1024;

class GatedProbe : public DiskSpaceProbe {
public:
    explicit GatedProbe(std::atomic<bool>& open) : open_(open) {}
    std::optional<uint64_t> FreeBytes(const std::string&) override {
        if (open_.load()) return uint64_t(1) << 40;
        std::this_thread::yield();
        return uint64_t(0);
    }

private:
    std::atomic<bool>& open_;
};

class WaitSignallingHost : public RecordingHost {
public:
    void OnPieceNotice(const PieceNotice& n) override {
        RecordingHost::OnPieceNotice(n);
        if (n.kind == kNoticeDiskFull) waiting = true;
    }
    std::atomic<bool> waiting{false};
};

TEST(StorageThreads, WaitingForSpaceReleasesTheDiskLock) {
    TempDir dir_a, dir_b;
    MadeTorrent a = MakeTorrent({8 * P}, P, true, 1);
    MadeTorrent b = MakeTorrent({8 * P}, P, true, 2);
    QTMutex disk_lock;  // engine-wide
    std::atomic<bool> space{true};
    GatedProbe probe_a(space);
    WaitSignallingHost host_a;
    RecordingHost host_b;
    FakeClock clock_a(FakeClock::Mode::AutoAdvance), clock_b(FakeClock::Mode::AutoAdvance);
    auto* map_a = new TPieces(&host_a, disk_lock, clock_a, &probe_a);
    auto* map_b = new TPieces(&host_b, disk_lock, clock_b);
    map_a->SetSaveDirectory(dir_a.path());
    map_b->SetSaveDirectory(dir_b.path());
    ASSERT_TRUE(map_a->LoadLayout(a.layout));
    ASSERT_TRUE(map_b->LoadLayout(b.layout));
    std::filesystem::remove(dir_a / "pack.zltmp");  // A must size its file again
    space = false;

    std::atomic<int> b_written{0};
    std::thread task_a([&] {
        for (int32_t i = 0; i < 8; ++i)
            EXPECT_EQ(map_a->WritePieceBytes(i, reinterpret_cast<const uint8_t*>(a.data.data()) + i * P, P, 0, false), P);
    });
    std::thread task_b([&] {
        // Only once A waits for space; were A still holding the disk lock, B would block here for good.
        while (!host_a.waiting.load()) std::this_thread::yield();
        for (int32_t i = 0; i < 8; ++i)
            if (map_b->WritePieceBytes(i, reinterpret_cast<const uint8_t*>(b.data.data()) + i * P, P, 0, false) == P)
                ++b_written;
        space = true;  // B finished while A was waiting
    });
    task_b.join();
    task_a.join();
    EXPECT_EQ(b_written.load(), 8);
    EXPECT_EQ(host_a.Count(kNoticeDiskFull), 1);
    EXPECT_EQ(host_a.Count(kNoticeDiskSpaceBack), 1);
    EXPECT_TRUE(map_a->AllFinished());
    EXPECT_TRUE(map_b->AllFinished());
    EXPECT_EQ(disk_lock.Count(), 0);
    map_a->Release();
    map_b->Release();
}

}  // namespace
}  // namespace zl::test
