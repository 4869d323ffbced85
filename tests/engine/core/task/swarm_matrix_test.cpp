// Whole downloads on the simulated network over every combination of
//   piece size:            16 KiB, 256 KiB, 4 MiB;
//   what is on disk:       nothing, a file partly valid (and short), the whole
//                          file with every piece corrupt;
//   the mirrors:           two good ones, or two good ones and a corrupt one;
//   the protocol:          HTTP or FTP.
// Each case must end with the file's exact bytes, and no server may send a
// byte of a piece after the task had verified it (pieces found valid on disk
// count as verified from the start): the servers log every read with its
// tick, and the test notes the tick at which each piece first shows in the
// task's bitfield.
//
// Every case runs on a fixed seed of its own; ZL_SWARM_SEED sets another and
// a failure names the one it ran on, so a failing case can be run again as
// it was (add --gtest_filter with the case's name).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <string>
#include <tuple>
#include <vector>

#include "engine/core/api/engine_api.h"
#include "engine/core/api/engine_codes.h"
#include "engine/core/api/engine_context.h"
#include "tests/engine/core/sim/sim_network.h"
#include "tests/engine/core/support/swarm_seed.h"
#include "tests/engine/core/support/task_test_support.h"
#include "tests/engine/core/support/torrent_fixture.h"
#include "tests/support/temp_dir.h"
#include "tests/support/wait_for.h"

namespace zl {
namespace {

using test::SimBehaviour;
using test::SimServerStats;

constexpr int64_t kKiB = 1024;
constexpr int64_t kMiB = 1024 * kKiB;
constexpr int64_t kRate = 4 * kMiB;             // every mirror, per simulated second
constexpr uint64_t kSimulatedLimitMs = 900'000;  // the download must end within
constexpr uint16_t kHttpPort = 8080;
constexpr uint16_t kFtpPort = 2121;

enum class Disk { kNothing, kPartlyValid, kAllCorrupt };
enum class Protocol { kHttp, kFtp };

struct Case {
    int64_t piece;
    Disk disk;
    bool corrupt_mirror;
    Protocol protocol;
};

Case CaseOf(const std::tuple<int64_t, Disk, bool, Protocol>& p) {
    return {std::get<0>(p), std::get<1>(p), std::get<2>(p), std::get<3>(p)};
}

std::string CaseName(const Case& c) {
    const char* disk = c.disk == Disk::kNothing ? "Empty" : c.disk == Disk::kPartlyValid ? "PartlyValid" : "AllCorrupt";
    return "Piece" + std::to_string(c.piece / kKiB) + "k_" + disk + (c.corrupt_mirror ? "_CorruptMirror" : "_GoodMirrors") +
           (c.protocol == Protocol::kHttp ? "_Http" : "_Ftp");
}

// Enough pieces for a split among the mirrors, and a short last one.
int64_t FileSize(int64_t piece) {
    const int64_t whole = piece >= 4 * kMiB ? 2 : piece >= 256 * kKiB ? 6 : 48;
    return whole * piece + piece / 3 + 5;
}

std::string Content(size_t size, uint64_t salt) {
    std::string bytes(size, '\0');
    uint64_t x = 0x9e3779b97f4a7c15ull ^ salt;
    for (char& c : bytes) {
        x = x * 6364136223846793005ull + 1442695040888963407ull;
        c = static_cast<char>(x >> 56);
    }
    return bytes;
}

// The file found in the download folder at the start, and which pieces of it
// hold the right bytes. Partly valid: the first two thirds of the file are
// there, every third piece of them wrong; the rest is missing.
std::string DiskImage(const std::string& content, int64_t piece, Disk disk, std::vector<bool>* valid) {
    const int64_t size = static_cast<int64_t>(content.size());
    const int64_t pieces = (size + piece - 1) / piece;
    valid->assign(static_cast<size_t>(pieces), false);
    if (disk == Disk::kNothing) return {};
    std::string image = content;
    if (disk == Disk::kPartlyValid) image.resize(static_cast<size_t>(size * 2 / 3));
    for (int64_t p = 0; p < pieces; ++p) {
        const int64_t first = p * piece, end = std::min(size, first + piece);
        const bool spoil = disk == Disk::kAllCorrupt || p % 3 == 1;
        if (first >= static_cast<int64_t>(image.size())) break;
        if (spoil) {
            image[static_cast<size_t>(first + (end - first) / 2)] ^= 0x20;
        } else {
            (*valid)[static_cast<size_t>(p)] = end <= static_cast<int64_t>(image.size());
        }
    }
    return image;
}

std::string Address(int server) { return "127.0.9." + std::to_string(server + 2); }

constexpr uint64_t kNever = ~uint64_t{0};
// A response may run on over pieces the task holds rather than open a new
// request: HTTP up to 128 KiB, FTP up to 80 KiB ahead of the wanted block.
constexpr int64_t kHttpSkipLimit = 131072;
constexpr int64_t kFtpSkipLimit = 81920;

// One server's requests and reads against the ticks at which the task held
// each piece (0: valid on disk from the start; kNever: never seen held).
struct Audit {
    std::string request_fault;  // the first request that began in a piece the task held
    int64_t wasted = 0;         // bytes of held pieces read in all
    int64_t longest_run = 0;    // the longest stretch of them one response carried in a row
    std::string longest_what;
};

bool HeldAt(const std::vector<uint64_t>& verified, int64_t piece, uint64_t tick) {
    const uint64_t at = verified[static_cast<size_t>(piece)];
    return at != kNever && (at == 0 || tick > at);  // the verified tick is an upper bound: strictly after
}

Audit AuditServer(const SimServerStats& stats, const std::vector<uint64_t>& verified, int64_t piece, int64_t size,
                  uint64_t start) {
    Audit audit;
    const int64_t pieces = static_cast<int64_t>(verified.size());
    for (const test::SimRequest& r : stats.log) {
        if (r.body_first >= size || !audit.request_fault.empty()) continue;
        const int64_t p = r.body_first / piece;
        if (HeldAt(verified, p, r.tick_ms)) {
            audit.request_fault = "asked at tick " + std::to_string(r.tick_ms - start) + " for byte " +
                                  std::to_string(r.body_first) + " of piece " + std::to_string(p) + ", held since " +
                                  (verified[static_cast<size_t>(p)] == 0
                                       ? std::string("the start")
                                       : "tick " + std::to_string(verified[static_cast<size_t>(p)] - start));
        }
    }
    int64_t run = 0;
    size_t request = ~size_t{0};
    for (const test::SimRead& r : stats.reads) {
        if (r.request != request) run = 0;
        request = r.request;
        for (int64_t p = r.first / piece; p * piece < r.first + r.length && p < pieces; ++p) {
            const int64_t overlap = std::min(r.first + r.length, (p + 1) * piece) - std::max(r.first, p * piece);
            if (!HeldAt(verified, p, r.tick_ms)) {
                run = 0;
                continue;
            }
            audit.wasted += overlap;
            run += overlap;
            if (run > audit.longest_run) {
                audit.longest_run = run;
                audit.longest_what = std::to_string(run) + " bytes in a row up to piece " + std::to_string(p) +
                                     " at tick " + std::to_string(r.tick_ms - start);
            }
        }
    }
    return audit;
}

class SwarmMatrix : public ::testing::TestWithParam<std::tuple<int64_t, Disk, bool, Protocol>> {};

TEST_P(SwarmMatrix, FinalBytesAndNothingVerifiedFetchedAgain) {
    const Case c = CaseOf(GetParam());
    // A fixed seed of its own for every case.
    const uint64_t fixed_seed = 1000 + static_cast<uint64_t>(c.piece / (16 * kKiB)) * 100 +
                                static_cast<uint64_t>(c.disk) * 10 + (c.corrupt_mirror ? 2 : 0) +
                                static_cast<uint64_t>(c.protocol);
    const uint64_t seed = test::SwarmSeed(fixed_seed);
    SCOPED_TRACE(test::SeedNote(seed));

    const int64_t size = FileSize(c.piece);
    const int64_t pieces = (size + c.piece - 1) / c.piece;
    const std::string content = Content(static_cast<size_t>(size), seed);
    test::LoopDrivenClock clock;
    test::SimNetwork net(clock);  // outlives the engine that uses it
    test::TempDir dir("zl-swarm-matrix");
    EngineContext engine(clock);
    engine.SetRandomSeed(seed);
    engine.SetStreamTransport(&net);
    ASSERT_EQ(EngineStartup(engine, dir.path().c_str()), ENGINE_OK);

    // The mirrors: two good ones, then perhaps one that alters every byte it sends.
    const int servers = c.corrupt_mirror ? 3 : 2;
    const uint16_t port = c.protocol == Protocol::kHttp ? kHttpPort : kFtpPort;
    std::string sources;
    for (int i = 0; i < servers; ++i) {
        SimBehaviour b;
        b.rate = kRate;
        if (i == 2) b.corrupt = {{0, int64_t{1} << 40}};
        if (c.protocol == Protocol::kHttp) {
            net.AddServer(Address(i), port, content, b);
        } else {
            net.AddFtpServer(Address(i), port, content, b);
        }
        sources += (i ? "\r\n" : "") + std::string(c.protocol == Protocol::kHttp ? "http://" : "ftp://") + Address(i) +
                   ":" + std::to_string(port) + "/pkg.bin";
    }

    std::vector<bool> valid_at_start;
    const std::string image = DiskImage(content, c.piece, c.disk, &valid_at_start);
    const std::string data_dir = dir / "data";
    std::filesystem::create_directories(data_dir);
    if (c.disk != Disk::kNothing) dir.File("data/pkg.bin", image);

    const std::string torrent = dir.File("pkg.torrent", test::SingleFileTorrent("pkg.bin", content, c.piece));
    auto d = test::Descriptor(kTaskFlagP2sp, "file://" + torrent, sources.c_str(), data_dir, dir / "pkg.zlinfo");
    ASSERT_EQ(TaskCreate(engine, d.get()), ENGINE_OK);
    const uint64_t start = clock.TickMs();
    ASSERT_EQ(TaskStart(engine, d->handle), ENGINE_OK);

    // The tick at which each piece was first seen verified; pieces valid on
    // disk count from before the start.
    std::vector<uint64_t> seen(static_cast<size_t>(pieces), kNever);
    std::vector<uint8_t> bits(static_cast<size_t>((pieces + 7) / 8));
    TaskProgressInfo info{};
    const bool complete = test::WaitFor(
        clock, kSimulatedLimitMs,
        [&] {
            EXPECT_EQ(TaskGetProgress(engine, d->handle, &info), ENGINE_OK);
            const int32_t got = TaskGetBitfield(engine, d->handle, bits.data(), static_cast<int32_t>(bits.size()));
            // Read after the bits: a piece they hold was verified at this tick or before.
            const uint64_t now = clock.TickMs();
            if (got == pieces) {
                for (int64_t p = 0; p < pieces; ++p) {
                    const bool held = bits[static_cast<size_t>(p / 8)] & (0x80 >> (p % 8));
                    if (held && seen[static_cast<size_t>(p)] == kNever) seen[static_cast<size_t>(p)] = now;
                }
            }
            return info.status == STATUS_COMPLETE;
        },
        std::chrono::seconds(120), std::chrono::microseconds(200));
    const uint64_t took_ms = clock.TickMs() - start;
    ASSERT_TRUE(complete) << "status " << info.status << ", progress " << info.progress << " after " << took_ms
                          << " simulated ms";

    ASSERT_EQ(TaskStop(engine, d->handle, 0), ENGINE_OK);
    std::string bytes;
    EXPECT_TRUE(ReadFileBytes(data_dir + "/pkg.bin", bytes));
    EXPECT_TRUE(bytes == content) << "the file's bytes differ (" << bytes.size() << " of " << content.size() << ")";

    // What the servers sent of pieces the task had verified already.
    std::vector<uint64_t> verified = seen;
    for (int64_t p = 0; p < pieces; ++p)
        if (valid_at_start[static_cast<size_t>(p)]) verified[static_cast<size_t>(p)] = 0;
    const int64_t allowed_run =
        (c.protocol == Protocol::kHttp ? kHttpSkipLimit : kFtpSkipLimit) + test::SimNetwork::kWindow;
    std::string served;
    int64_t wasted = 0, longest = 0;
    for (int i = 0; i < servers; ++i) {
        const SimServerStats stats = net.Stats(Address(i), port);
        served += " " + std::to_string(stats.body_bytes);
        const Audit audit = AuditServer(stats, verified, c.piece, size, start);
        EXPECT_EQ(audit.request_fault, "") << "server " << i;
        EXPECT_LE(audit.longest_run, allowed_run) << "server " << i << ": " << audit.longest_what;
        wasted += audit.wasted;
        longest = std::max(longest, audit.longest_run);
    }
    std::printf("[ matrix   ] %s: %lld bytes in %.1f simulated s; served%s; read again after verification %lld "
                "(longest stretch %lld); seed %llu\n",
                CaseName(c).c_str(), static_cast<long long>(size), static_cast<double>(took_ms) / 1000.0, served.c_str(),
                static_cast<long long>(wasted), static_cast<long long>(longest), static_cast<unsigned long long>(seed));
    EXPECT_EQ(EngineCleanup(engine), ENGINE_OK);
}

INSTANTIATE_TEST_SUITE_P(Cases, SwarmMatrix,
                         ::testing::Combine(::testing::Values(16 * kKiB, 256 * kKiB, 4 * kMiB),
                                            ::testing::Values(Disk::kNothing, Disk::kPartlyValid, Disk::kAllCorrupt),
                                            ::testing::Bool(), ::testing::Values(Protocol::kHttp, Protocol::kFtp)),
                         [](const ::testing::TestParamInfo<SwarmMatrix::ParamType>& info) {
                             return CaseName(CaseOf(info.param));
                         });

}  // namespace
}  // namespace zl
