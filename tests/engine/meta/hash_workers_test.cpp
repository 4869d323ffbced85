// Pieces hashed on worker threads: every verdict arrives, in the order the
// pieces completed, whatever order the workers finish in; a cancelled or
// dropped job never touches its bytes again; and the piece map gives the
// same verdicts through its workers as when it checks at once.
#include <gtest/gtest.h>

#include <memory>
#include <random>

#include "engine/meta/hash_workers.h"
#include "tests/engine/meta/storage_test_util.h"

namespace zl::test {
namespace {

struct Buffer {
    std::vector<uint8_t> bytes;
    Sha1Digest digest{};
};

Buffer RandomBuffer(size_t size, uint32_t seed) {
    Buffer b;
    b.bytes.resize(size);
    std::mt19937 rng(seed);
    for (auto& c : b.bytes) c = uint8_t(rng());
    b.digest = Sha1Of(b.bytes.data(), b.bytes.size());
    return b;
}

// The buffer in spans of `span` bytes, with `expected` as the wanted digest.
HashWorkers::Job JobOver(const Buffer& b, int32_t piece, size_t span, const Sha1Digest& expected) {
    HashWorkers::Job job;
    job.piece = piece;
    job.tag = uint64_t(piece) * 10;
    SHA1Reset(&job.state);
    for (size_t at = 0; at < b.bytes.size(); at += span)
        job.spans.push_back({b.bytes.data() + at, std::min(span, b.bytes.size() - at)});
    job.expected = expected;
    return job;
}

TEST(HashWorkers, EveryVerdictArrivesInSubmissionOrder) {
    // Sizes vary so that workers finish out of order; every third digest is wrong.
    for (int threads : {1, 3}) {
        SCOPED_TRACE(threads);
        HashWorkers workers(threads);
        std::vector<Buffer> buffers;
        for (int i = 0; i < 60; ++i) buffers.push_back(RandomBuffer(size_t(1 + (i * 7919) % 300000), uint32_t(i)));
        for (int i = 0; i < 60; ++i) {
            Sha1Digest expected = buffers[size_t(i)].digest;
            if (i % 3 == 2) expected[19] ^= 1;
            workers.Submit(JobOver(buffers[size_t(i)], i, 16384, expected));
        }
        std::vector<HashWorkers::Result> results;
        while (results.size() < 60) {
            workers.TakeResults(results);
            std::this_thread::yield();
        }
        for (int i = 0; i < 60; ++i) {
            EXPECT_EQ(results[size_t(i)].piece, i);
            EXPECT_EQ(results[size_t(i)].tag, uint64_t(i) * 10);
            EXPECT_EQ(results[size_t(i)].matched, i % 3 != 2) << i;
        }
        EXPECT_EQ(workers.Pending(), 0u);
    }
}

TEST(HashWorkers, ContinuesFromAStoredState) {
    // A piece whose head is on disk: the state covers it, the job the tail.
    const Buffer b = RandomBuffer(100000, 9);
    HashWorkers workers(1);
    HashWorkers::Job job;
    SHA1Reset(&job.state);
    SHA1Input(&job.state, b.bytes.data(), 40000);
    job.spans.push_back({b.bytes.data() + 40000, 60000});
    job.expected = b.digest;
    job.piece = 4;
    workers.Submit(std::move(job));
    workers.WaitAll();
    std::vector<HashWorkers::Result> results;
    ASSERT_EQ(workers.TakeResults(results), 1u);
    EXPECT_TRUE(results[0].matched);
}

TEST(HashWorkers, CancelledJobsGiveNoVerdictAndLetGoOfTheirBytes) {
    HashWorkers workers(2);
    std::vector<std::unique_ptr<Buffer>> buffers;
    std::vector<HashWorkers::Ticket> tickets;
    for (int i = 0; i < 40; ++i) {
        buffers.push_back(std::make_unique<Buffer>(RandomBuffer(200000, uint32_t(100 + i))));
        tickets.push_back(workers.Submit(JobOver(*buffers.back(), i, 65536, buffers.back()->digest)));
    }
    // Odd jobs are cancelled, queued or running; their bytes are freed at once
    // (ASan and TSan see any later read).
    for (int i = 1; i < 40; i += 2) {
        workers.Cancel(tickets[size_t(i)]);
        buffers[size_t(i)].reset();
    }
    workers.WaitAll();
    std::vector<HashWorkers::Result> results;
    workers.TakeResults(results);
    ASSERT_EQ(results.size(), 20u);
    for (size_t k = 0; k < results.size(); ++k) {
        EXPECT_EQ(results[k].piece, int32_t(2 * k));
        EXPECT_TRUE(results[k].matched);
    }
}

TEST(HashWorkers, WaitingBoundsTheBytesNotHashedYet) {
    // The owner's brake on memory: after the wait, at most that many bytes
    // are still queued or running; with 0, every verdict is ready.
    const Buffer b = RandomBuffer(1 << 20, 5);
    HashWorkers workers(2);
    for (int i = 0; i < 12; ++i) workers.Submit(JobOver(b, i, 1 << 18, b.digest));
    workers.WaitUnfinishedAtMost(3 << 20);
    workers.WaitUnfinishedAtMost(0);
    std::vector<HashWorkers::Result> results;
    EXPECT_EQ(workers.TakeResults(results), 12u);
    for (const HashWorkers::Result& r : results) EXPECT_TRUE(r.matched);
}

TEST(HashWorkers, ShutdownWithWorkQueuedEndsPromptly) {
    const Buffer big = RandomBuffer(4 << 20, 3);
    auto workers = std::make_unique<HashWorkers>(1);
    for (int i = 0; i < 200; ++i) workers->Submit(JobOver(big, i, 1 << 20, big.digest));
    // Jobs not started are dropped: this does not hash 800 MiB first (that
    // would take far longer than the test's time limit under TSan). The one
    // worker may have begun a few of them while the others were handed over.
    const size_t dropped = workers->Stop();
    EXPECT_GT(dropped, 100u) << "most of the 200 queued jobs are dropped, not hashed";
    EXPECT_LE(dropped, 200u);
    EXPECT_EQ(workers->Stop(), 0u) << "a second stop has nothing left to drop";
    workers.reset();
}

// The piece map with one hash worker: blocks completing a piece come back
// queued, the verdicts reach the host in completion order, a bad piece is
// emptied and taken again, and the data written is the torrent's.
TEST(HashWorkers, PieceMapVerdictsThroughTheWorkers) {
    constexpr int64_t kPiece = 64 * 1024;
    constexpr int32_t kBlock = 16384;
    TempDir dir;
    const MadeTorrent t = MakeTorrent({6 * kPiece + 1000}, kPiece, true, 11);
    StorageOptions options;
    options.hash_threads = 1;
    MapRig rig(dir.path(), options);
    ASSERT_TRUE(rig->LoadLayout(t.layout));
    auto deliver = [&](int32_t piece, bool corrupt) {
        BlockWriteResult last{};
        const int64_t size = rig->Geometry().PieceSize(piece);
        for (int64_t off = 0; off < size; off += kBlock) {
            std::string block = t.data.substr(size_t(rig->Geometry().PieceBegin(piece) + off),
                                              size_t(std::min<int64_t>(kBlock, size - off)));
            if (corrupt && off == kBlock) block[5] ^= 1;
            last = rig->ReceiveBlock(piece, off, int32_t(block.size()), reinterpret_cast<const uint8_t*>(block.data()));
        }
        return last;
    };
    const std::vector<int32_t> order = {3, 0, 6, 1, 5, 2, 4};
    for (int32_t piece : order) EXPECT_EQ(deliver(piece, piece == 5).status, BlockWrite::kPieceQueued) << piece;
    // A block of a piece being hashed (or verified meanwhile) is not taken again.
    EXPECT_EQ(rig->ReceiveBlock(3, 0, kBlock, reinterpret_cast<const uint8_t*>(t.data.data() + 3 * kPiece)).status,
              BlockWrite::kNotNeeded);
    rig->FinishHashing();
    EXPECT_FALSE(rig->HashesInFlight());
    const std::vector<std::pair<int32_t, bool>> expected = {{3, true}, {0, true},  {6, true}, {1, true},
                                                            {5, false}, {2, true}, {4, true}};
    EXPECT_EQ(rig.host.checked, expected);
    EXPECT_EQ(rig->NeededPieces(), 1);
    EXPECT_EQ(rig->Piece(5).InMemory(), 0);
    // The failed piece is taken again and completes the data.
    EXPECT_EQ(deliver(5, false).status, BlockWrite::kPieceQueued);
    rig->CloseAll(true, true);
    EXPECT_TRUE(rig->AllFinished());
    EXPECT_EQ(ReadFile(dir.path() + "/pack"), t.data);
}

TEST(HashWorkers, PieceMapDropsAPieceBeingHashedSafely) {
    // Clearing the map (a task that stops) while pieces are on the worker:
    // the worker lets go of their bytes before they are freed.
    constexpr int64_t kPiece = 1 << 20;
    TempDir dir;
    const MadeTorrent t = MakeTorrent({8 * kPiece}, kPiece, true, 12);
    StorageOptions options;
    options.hash_threads = 1;
    MapRig rig(dir.path(), options);
    ASSERT_TRUE(rig->LoadLayout(t.layout));
    for (int32_t piece = 0; piece < 8; ++piece)
        for (int64_t off = 0; off < kPiece; off += 16384)
            (void)rig->ReceiveBlock(piece, off, 16384,
                                    reinterpret_cast<const uint8_t*>(t.data.data() + piece * kPiece + off));
    EXPECT_TRUE(rig->HashesInFlight());
    rig->Clear();
    EXPECT_FALSE(rig->HashesInFlight());
}

}  // namespace
}  // namespace zl::test
