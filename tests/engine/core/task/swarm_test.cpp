// Whole download tasks on a simulated network: a task created through the flat
// interface fetches its torrent's file from HTTP mirrors of controlled speed
// and faults, through minutes of simulated time in a fraction of a second.
// The clock moves only with the task's loop pauses, so speeds and delays are
// in simulated seconds and never depend on the machine. The engine's random
// picks follow a fixed seed (ZL_SWARM_SEED sets another), which every failure
// names.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <map>
#include <numeric>
#include <string>
#include <thread>
#include <vector>

#include "engine/core/api/engine_api.h"
#include "engine/core/api/engine_codes.h"
#include "engine/core/api/engine_context.h"
#include "engine/meta/sha1.h"
#include "tests/engine/core/support/task_test_support.h"
#include "tests/engine/core/support/torrent_fixture.h"
#include "tests/engine/core/sim/sim_network.h"
#include "tests/engine/core/support/swarm_seed.h"
#include "tests/support/wait_for.h"

namespace zl {
namespace {

using test::LoopDrivenClock;
using test::SimBehaviour;
using test::SimNetwork;
using test::SimServerStats;

constexpr int64_t kKiB = 1024;
constexpr uint16_t kPort = 8080;
constexpr uint64_t kSwarmSeed = 20261210;

std::string Content(size_t size) {
    std::string bytes(size, '\0');
    uint64_t x = 0x9e3779b97f4a7c15ull;
    for (char& c : bytes) {
        x = x * 6364136223846793005ull + 1442695040888963407ull;
        c = static_cast<char>(x >> 56);
    }
    return bytes;
}

std::string Address(int server) { return "127.0.0." + std::to_string(server + 2); }

// Bytes the servers sent that the task had already been sent by another (or
// by the same) server: every read byte minus the bytes of the file covered.
int64_t BytesFetchedTwice(const std::vector<SimServerStats>& servers) {
    std::vector<std::pair<int64_t, int64_t>> spans;
    int64_t sum = 0;
    for (const SimServerStats& s : servers) {
        for (const test::SimRequest& r : s.log) {
            if (r.read <= 0) continue;
            spans.emplace_back(r.body_first, r.body_first + r.read);
            sum += r.read;
        }
    }
    std::sort(spans.begin(), spans.end());
    int64_t covered = 0, end = 0;
    for (const auto& [first, last] : spans) {
        if (last <= end) continue;
        covered += last - std::max(first, end);
        end = last;
    }
    return sum - covered;
}

// One engine on its own simulated network and clock, downloading one file.
class Swarm {
public:
    Swarm(size_t size, int64_t piece)
        : seed_(test::SwarmSeed(kSwarmSeed)), seed_trace_(__FILE__, __LINE__, test::SeedNote(seed_)),
          content_(Content(size)), piece_(piece) {
        engine_.SetRandomSeed(seed_);
        engine_.SetStreamTransport(&net_);
        EXPECT_EQ(EngineStartup(engine_, dir_.path().c_str()), ENGINE_OK);
    }
    ~Swarm() { EngineCleanup(engine_); }

    void Serve(int server, SimBehaviour behaviour) {
        net_.AddServer(Address(server), kPort, content_, std::move(behaviour));
        ++servers_;
    }
    SimServerStats Stats(int server) const { return net_.Stats(Address(server), kPort); }
    std::vector<SimServerStats> AllStats() const {
        std::vector<SimServerStats> all;
        for (int i = 0; i < servers_; ++i) all.push_back(Stats(i));
        return all;
    }

    // Creates and starts the task with every server as a source.
    TaskHandle Start(int32_t download_limit_kib = 0) {
        const std::string torrent = dir_.File("pkg.torrent", test::SingleFileTorrent("pkg.bin", content_, piece_));
        for (int i = 0; i < servers_; ++i)
            sources_ += (i ? "\r\n" : "") + std::string("http://") + Address(i) + ":" + std::to_string(kPort) + "/pkg.bin";
        std::filesystem::create_directories(dir_.path() + "/data");
        descriptor_ = test::Descriptor(kTaskFlagP2sp, "file://" + torrent, sources_.c_str(), dir_.path() + "/data",
                                       dir_.path() + "/pkg.zlinfo");
        EXPECT_EQ(TaskCreate(engine_, descriptor_.get()), ENGINE_OK);
        if (download_limit_kib > 0) {
            EXPECT_EQ(TaskSetSpeedLimit(engine_, descriptor_->handle, 1, download_limit_kib), ENGINE_OK);
        }
        start_tick_ = clock_.TickMs();
        EXPECT_EQ(TaskStart(engine_, descriptor_->handle), ENGINE_OK);
        return descriptor_->handle;
    }

    // Polls the task (in real time, bounded) until `done` holds or the
    // simulated time passes `limit_ms`; `sample` sees every progress read.
    // True when `done` held.
    bool RunUntil(uint64_t limit_ms, const std::function<bool(const TaskProgressInfo&)>& done,
                  const std::function<void(const TaskProgressInfo&)>& sample = {}) {
        const uint64_t elapsed = ElapsedMs();
        return test::WaitFor(
            clock_, limit_ms > elapsed ? limit_ms - elapsed : 0,
            [&] {
                TaskProgressInfo info{};
                EXPECT_EQ(TaskGetProgress(engine_, descriptor_->handle, &info), ENGINE_OK);
                if (sample) sample(info);
                return done(info);
            },
            std::chrono::seconds(150), std::chrono::microseconds(sample ? 200 : 2000));
    }
    bool RunToCompletion(uint64_t limit_ms, const std::function<void(const TaskProgressInfo&)>& sample = {}) {
        return RunUntil(limit_ms, [](const TaskProgressInfo& info) { return info.status == STATUS_COMPLETE; }, sample);
    }
    // Lets simulated time run on for `ms` (the task keeps working).
    void RunFor(uint64_t ms) {
        const uint64_t until = ElapsedMs() + ms;
        RunUntil(until, [](const TaskProgressInfo&) { return false; });
    }

    uint64_t ElapsedMs() { return clock_.TickMs() - start_tick_; }
    uint64_t StartTick() const { return start_tick_; }
    // Stops the task (which closes and names its file) and compares the file.
    bool StopAndCheckFile() {
        EXPECT_EQ(TaskStop(engine_, descriptor_->handle, 0), ENGINE_OK);
        std::string bytes;
        return ReadFileBytes(dir_.path() + "/data/pkg.bin", bytes) && bytes == content_;
    }
    EngineContext& engine() { return engine_; }
    TaskHandle handle() const { return descriptor_->handle; }
    SimNetwork& net() { return net_; }
    const std::string& content() const { return content_; }

private:
    uint64_t seed_;
    ::testing::ScopedTrace seed_trace_;  // names the seed in every failure while the swarm lives
    LoopDrivenClock clock_;
    SimNetwork net_{clock_};  // outlives the engine that uses it
    test::TempDir dir_;
    EngineContext engine_{clock_};
    std::string content_;
    int64_t piece_;
    int servers_ = 0;
    std::string sources_;
    std::unique_ptr<TaskDescriptor> descriptor_;
    uint64_t start_tick_ = 0;
};

SimBehaviour AtRate(int64_t rate) {
    SimBehaviour b;
    b.rate = rate;
    return b;
}

double Share(int64_t part, int64_t whole) { return whole > 0 ? static_cast<double>(part) / static_cast<double>(whole) : 0; }

// The seconds (from the task's start) at which a server saw connection attempts.
std::vector<double> AttemptSeconds(const SimServerStats& s, uint64_t start_tick) {
    std::vector<double> out;
    for (uint64_t t : s.attempt_ticks) out.push_back(static_cast<double>(t - start_tick) / 1000.0);
    return out;
}

std::string Join(const std::vector<double>& values) {
    std::string text;
    for (double v : values) text += (text.empty() ? "" : " ") + std::to_string(static_cast<int>(v));
    return text;
}

void Report(const char* format, ...) __attribute__((format(printf, 1, 2)));
void Report(const char* format, ...) {
    std::printf("[ swarm    ] ");
    va_list args;
    va_start(args, format);
    std::vprintf(format, args);
    va_end(args);
    std::printf("\n");
}

TEST(SwarmDownload, FasterMirrorsCarryProportionallyMoreOfTheFile) {
    struct Case {
        const char* what;
        std::vector<int64_t> rates;  // bytes per simulated second
    } cases[] = {
        {"1x 2x 4x", {128 * kKiB, 256 * kKiB, 512 * kKiB}},
        {"1x 1x", {256 * kKiB, 256 * kKiB}},
        {"1x 3x", {128 * kKiB, 384 * kKiB}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Swarm swarm(8 * 1024 * 1024 + 777, 32 * kKiB);
        for (size_t i = 0; i < c.rates.size(); ++i) swarm.Serve(static_cast<int>(i), AtRate(c.rates[i]));
        swarm.Start();
        ASSERT_TRUE(swarm.RunToCompletion(600'000)) << "after " << swarm.ElapsedMs() << " ms";
        EXPECT_TRUE(swarm.StopAndCheckFile());
        const int64_t rate_sum = std::accumulate(c.rates.begin(), c.rates.end(), int64_t{0});
        int64_t total = 0;
        for (size_t i = 0; i < c.rates.size(); ++i) total += swarm.Stats(static_cast<int>(i)).body_bytes;
        std::string shares;
        for (size_t i = 0; i < c.rates.size(); ++i) {
            const double expected = Share(c.rates[i], rate_sum);
            const double got = Share(swarm.Stats(static_cast<int>(i)).body_bytes, total);
            shares += " " + std::to_string(got).substr(0, 5) + " (speed " + std::to_string(expected).substr(0, 5) + ")";
            EXPECT_NEAR(got, expected, 0.08) << "server " << i;
        }
        const double ideal_s = static_cast<double>(swarm.content().size()) / static_cast<double>(rate_sum);
        const size_t seconds = swarm.net().BytesBySecond().size();
        Report("%s: shares%s; data moved within %zu simulated s (ideal %.1f s); fetched twice %lld bytes", c.what,
               shares.c_str(), seconds, ideal_s, static_cast<long long>(BytesFetchedTwice(swarm.AllStats())));
        // Every mirror is kept busy to the end: the slow ones do not hold the file up.
        EXPECT_LE(static_cast<double>(seconds), ideal_s * 1.15 + 2);
    }
}

// Two mirrors, a fast one and one `slow_rate` bytes per second: the fast one
// finishes its half, takes over the tail of the slow one's half, the slow one
// stops where it was cut, hardly a byte is fetched twice, and the file is done
// about when both mirrors together could have sent it.
void CheckTailTakeOver(const char* what, int64_t slow_rate) {
    SCOPED_TRACE(what);
    constexpr int64_t kPiece = 32 * kKiB;
    constexpr int64_t kSize = 8 * 1024 * 1024;
    constexpr int64_t kFastRate = 1024 * kKiB;
    Swarm swarm(kSize, kPiece);
    swarm.Serve(0, AtRate(kFastRate));
    swarm.Serve(1, AtRate(slow_rate));
    swarm.Start();
    ASSERT_TRUE(swarm.RunToCompletion(600'000));
    EXPECT_TRUE(swarm.StopAndCheckFile());
    const SimServerStats fast = swarm.Stats(0), slow = swarm.Stats(1);
    // The slow mirror's share is the half where its first reading answer
    // began; where that answer stopped is the cut.
    const auto first_read =
        std::find_if(slow.log.begin(), slow.log.end(), [](const test::SimRequest& r) { return r.read > 0; });
    ASSERT_NE(first_read, slow.log.end());
    const int64_t share_end = first_read->body_first < kSize / 2 ? kSize / 2 : kSize;
    const int64_t cut = first_read->body_first + first_read->read;
    int64_t taken_over = 0;
    for (const test::SimRequest& r : fast.log) {
        const int64_t first = std::max(r.body_first, cut), end = std::min(r.body_first + r.read, share_end);
        if (end > first) taken_over += end - first;
    }
    const int64_t twice = BytesFetchedTwice({fast, slow});
    const double ideal_s = static_cast<double>(kSize) / static_cast<double>(kFastRate + slow_rate);
    const size_t seconds = swarm.net().BytesBySecond().size();
    Report("%s: slow mirror cut at %lld (its share ends at %lld), the fast one took %lld bytes of that tail; "
           "fetched twice %lld bytes; data moved within %zu simulated s (ideal %.1f s)",
           what, static_cast<long long>(cut), static_cast<long long>(share_end), static_cast<long long>(taken_over),
           static_cast<long long>(twice), seconds, ideal_s);
    EXPECT_GE(taken_over, (share_end - cut) / 2) << "the fast mirror fetched the tail of the slow one's share";
    EXPECT_LE(twice, 2 * kPiece) << "the slow mirror stopped at the cut";
    EXPECT_LE(static_cast<double>(seconds), ideal_s * 1.15 + 2) << "the slow mirror did not hold the end up";
}

TEST(SwarmDownload, FastMirrorTakesOverTheTailOfASlowOne) {
    CheckTailTakeOver("4x slower", 256 * kKiB);
    CheckTailTakeOver("8x slower", 128 * kKiB);
    CheckTailTakeOver("32x slower", 32 * kKiB);
}

// Beside a mirror that trickles at 4 KiB/s (a 16 KiB block every 4 s) the
// fast one, done with its half, splits the trickling owner's range at once:
// the owner's rate counts the bytes its connection read, not only whole
// blocks, so it does not read 0 between two blocks.
TEST(SwarmDownload, AStalledMirrorDoesNotHoldTheEndUp) {
    CheckTailTakeOver("almost stalled", 4 * kKiB);
}

// A failing mirror beside a good one that needs 10 s more than `observe_s` for
// the file: over `observe_s` simulated seconds the failing one sees between
// `min_attempts` and `max_attempts` connections and sends at most
// `max_body_bytes` (< 0: any), hardly a byte is fetched twice, and the file
// completes from the good one.
SimServerStats CheckFailingMirror(const char* what, const SimBehaviour& bad_behaviour, int observe_s, int min_attempts,
                                 int max_attempts, int64_t max_body_bytes) {
    constexpr int64_t kGoodRate = 16 * kKiB;
    Swarm swarm(static_cast<size_t>(kGoodRate * (observe_s + 10)), 16 * kKiB);
    swarm.Serve(0, AtRate(kGoodRate));
    swarm.Serve(1, bad_behaviour);
    swarm.Start();
    swarm.RunFor(static_cast<uint64_t>(observe_s) * 1000);
    const SimServerStats bad = swarm.Stats(1);
    Report("%s mirror: %lld connection attempts at %s s, %lld body bytes read", what,
           static_cast<long long>(bad.attempts), Join(AttemptSeconds(bad, swarm.StartTick())).c_str(),
           static_cast<long long>(bad.body_bytes));
    EXPECT_GE(bad.attempts, min_attempts);
    EXPECT_LE(bad.attempts, max_attempts);
    if (max_body_bytes >= 0) {
        EXPECT_LE(bad.body_bytes, max_body_bytes);
    }
    EXPECT_TRUE(swarm.RunToCompletion(600'000));
    EXPECT_LE(BytesFetchedTwice(swarm.AllStats()), 64 * kKiB);
    EXPECT_TRUE(swarm.StopAndCheckFile());
    return bad;
}

// A 404 removes the source for the rest of the run: neither the back-off
// nor the source refreshes (every 15 s, and after 10 idle connector seconds)
// bring it back.
TEST(SwarmDownload, MissingFileMirrorIsRemoved) {
    SimBehaviour missing;
    missing.status = 404;
    CheckFailingMirror("404", missing, 60, 1, 1, 0);
}

// A 503 costs the source 60 connector passes: it is asked again about once a minute.
TEST(SwarmDownload, BusyMirrorIsAskedAgainAboutOnceAMinute) {
    SimBehaviour busy;
    busy.status = 503;
    CheckFailingMirror("503", busy, 130, 2, 4, 0);
}

// A mirror that answers ranged requests from byte 0 is given up after a few
// tries instead of being dialled again and again (its share, when it starts
// at byte 0, it serves well).
TEST(SwarmDownload, RangeIgnoringMirrorIsGivenUp) {
    SimBehaviour ignoring = AtRate(512 * kKiB);
    ignoring.ignore_range = true;
    CheckFailingMirror("range-ignoring", ignoring, 150, 1, 10, -1);
}

// A mirror that sends wrong bytes is penalised on every failed piece, on the
// growing back-off, and once it has failed 32 pieces with nothing good it is
// dropped for good; the file completes from the good mirror. Beside a steady
// mirror the penalties keep it to about 12 attempts in 200 s; beside a
// trickling one (the task's speed often reads 0, which cuts retry delays) it
// reaches its 32 failed pieces within about 200 s and is then never dialled
// again.
TEST(SwarmDownload, CorruptMirrorIsPenalisedAndDropped) {
    constexpr int64_t kPiece = 16 * kKiB;
    struct Case {
        const char* what;
        int64_t good_rate;
        int observe_s;
        int min_attempts, max_attempts;
        bool dropped;
    } cases[] = {
        {"beside a steady mirror", 16 * kKiB, 200, 6, 16, false},
        {"beside a trickling mirror", 2 * kKiB, 260, 16, 34, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        SimBehaviour corrupt = AtRate(512 * kKiB);
        corrupt.corrupt = {{0, int64_t{1} << 40}};
        Swarm swarm(static_cast<size_t>(c.good_rate * (c.observe_s + 60)), kPiece);
        swarm.Serve(0, AtRate(c.good_rate));
        swarm.Serve(1, corrupt);
        swarm.Start();
        swarm.RunFor(static_cast<uint64_t>(c.observe_s) * 1000);
        const SimServerStats bad = swarm.Stats(1);
        const std::vector<double> at = AttemptSeconds(bad, swarm.StartTick());
        Report("corrupt mirror %s: %lld attempts in %d s at %s; %lld bad bytes", c.what,
               static_cast<long long>(bad.attempts), c.observe_s, Join(at).c_str(),
               static_cast<long long>(bad.body_bytes));
        EXPECT_GE(bad.attempts, c.min_attempts);
        EXPECT_LE(bad.attempts, c.max_attempts);
        ASSERT_GE(at.size(), 2u);
        if (c.dropped) {
            EXPECT_LT(at.back(), c.observe_s - 40.0) << "dropped: not dialled again";
        } else {
            EXPECT_GE(at[at.size() - 1] - at[at.size() - 2], 20.0) << "the gaps grow";
        }
        // A connection ends soon after a bad piece.
        EXPECT_LE(bad.body_bytes, bad.attempts * 2 * kPiece);
        // The good mirror speeds up: the rest comes from it alone.
        swarm.net().SetBehaviour(Address(0), kPort, AtRate(1024 * kKiB));
        ASSERT_TRUE(swarm.RunToCompletion(swarm.ElapsedMs() + 600'000));
        EXPECT_TRUE(swarm.StopAndCheckFile());
        if (c.dropped) {
            EXPECT_EQ(swarm.Stats(1).attempts, bad.attempts) << "a dropped mirror stays dropped";
        }
    }
}

// The connection budget follows the transfer rate each second: 52 for a slow
// task, rate / 4096 + 8 for a fast one.
TEST(SwarmDownload, ConnectionBudgetFollowsTheRate) {
    struct Case {
        int64_t rate;  // per mirror, two mirrors
        int32_t expected_at_least, expected_at_most;
    } cases[] = {{16 * kKiB, 52, 52}, {512 * kKiB, 240, 290}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.rate);
        Swarm swarm(static_cast<size_t>(c.rate) * 2 * 12, 64 * kKiB);
        swarm.Serve(0, AtRate(c.rate));
        swarm.Serve(1, AtRate(c.rate));
        const TaskHandle task = swarm.Start();
        swarm.RunFor(10'000);
        int32_t budget = 0;
        {
            TWorkThread& t = *test::TaskOf(task);
            ScopedLock guard(t.Lock());
            budget = t.Settings().connection_budget;
        }
        Report("two mirrors at %lld KiB/s: connection budget %d", static_cast<long long>(c.rate / kKiB), budget);
        EXPECT_GE(budget, c.expected_at_least);
        EXPECT_LE(budget, c.expected_at_most);
        ASSERT_TRUE(swarm.RunToCompletion(600'000));
    }
}

// The download speed limit holds over a simulated minute with mirrors that
// could together send three times as much.
TEST(SwarmDownload, SpeedLimitHoldsOverAMinute) {
    for (int32_t limit_kib : {64, 256}) {
        SCOPED_TRACE(limit_kib);
        Swarm swarm(static_cast<size_t>(limit_kib) * 1024 * 90, 64 * kKiB);
        for (int i = 0; i < 3; ++i) swarm.Serve(i, AtRate(limit_kib * kKiB));
        swarm.Start(limit_kib);
        swarm.RunFor(70'000);
        const std::vector<int64_t> seconds = swarm.net().BytesBySecond();
        ASSERT_GE(seconds.size(), 66u);
        const int64_t minute = std::accumulate(seconds.begin() + 5, seconds.begin() + 65, int64_t{0});
        const int64_t busiest = *std::max_element(seconds.begin() + 5, seconds.begin() + 65);
        const double rate = static_cast<double>(minute) / 60.0;
        const double limit = limit_kib * 1024.0;
        Report("limit %d KiB/s: %.1f KiB/s over the minute (%+.2f %%), busiest second %.1f KiB", limit_kib,
               rate / 1024, (rate - limit) * 100 / limit, static_cast<double>(busiest) / 1024);
        EXPECT_NEAR(rate, limit, limit * 0.10);
    }
}

// The progress figures stay consistent with each other and with the bitfield
// through a download from mirrors of different speeds, one of which dies
// part-way through each answer.
TEST(SwarmDownload, ProgressFiguresStayConsistentThroughout) {
    constexpr int64_t kPiece = 32 * kKiB;
    constexpr int64_t kSize = 8 * 1024 * 1024 + 4321;
    constexpr int32_t kPieces = static_cast<int32_t>((kSize + kPiece - 1) / kPiece);
    Swarm swarm(kSize, kPiece);
    swarm.Serve(0, AtRate(256 * kKiB));
    swarm.Serve(1, AtRate(768 * kKiB));
    SimBehaviour dying = AtRate(512 * kKiB);
    dying.close_after = 300 * kKiB;
    swarm.Serve(2, dying);
    swarm.Start();
    TaskProgressInfo last{};
    std::vector<uint8_t> last_bits;
    int samples = 0, with_speed = 0;
    auto check = [&](const TaskProgressInfo& info) {
        ++samples;
        EXPECT_GE(info.downloaded, last.downloaded) << "bytes never go backwards";
        EXPECT_LE(info.downloaded, static_cast<uint64_t>(kSize));
        EXPECT_GE(info.progress, last.progress);
        EXPECT_EQ(info.progress, static_cast<int32_t>(info.downloaded * 10000 / kSize));
        EXPECT_GE(info.speed, 0);
        EXPECT_GE(info.time_remaining, 0);
        if (info.speed > 0) ++with_speed;
        // The total is 0 until the torrent is read, then fixed.
        if (last.total_kib != 0) {
            EXPECT_EQ(info.total_kib, last.total_kib);
        }
        if (info.total_kib != 0) {
            EXPECT_EQ(info.total_kib, kSize / 1024);
        }
        // The bitfield, read after the figures, holds at least the pieces they
        // count, and a piece once held is never lost.
        const int32_t size = TaskGetBitfieldSize(swarm.engine(), swarm.handle());
        if (size > 0) {
            std::vector<uint8_t> bits(static_cast<size_t>(size));
            ASSERT_EQ(TaskGetBitfield(swarm.engine(), swarm.handle(), bits.data(), size), kPieces);
            int64_t have = 0;
            for (int32_t p = 0; p < kPieces; ++p) {
                const uint8_t mask = static_cast<uint8_t>(0x80 >> (p % 8));
                const bool held = bits[static_cast<size_t>(p / 8)] & mask;
                if (held) have += p == kPieces - 1 ? kSize - p * kPiece : kPiece;
                if (!last_bits.empty() && (last_bits[static_cast<size_t>(p / 8)] & mask)) {
                    EXPECT_TRUE(held) << "piece " << p << " was lost";
                }
            }
            EXPECT_GE(have, static_cast<int64_t>(info.downloaded));
            if (info.status == STATUS_COMPLETE) {
                EXPECT_EQ(have, kSize);
            }
            last_bits = std::move(bits);
        }
        last = info;
    };
    ASSERT_TRUE(swarm.RunToCompletion(600'000, check));
    EXPECT_EQ(last.downloaded, static_cast<uint64_t>(kSize));
    EXPECT_EQ(last.progress, 10000);
    EXPECT_GE(last.http_bytes, static_cast<uint64_t>(kSize));
    EXPECT_EQ(last.peer_bytes, 0u);
    EXPECT_GT(with_speed, samples / 4) << "a speed is shown while data comes";
    Report("%d progress samples, %d with a speed; the dying mirror was dialled %lld times", samples, with_speed,
           static_cast<long long>(swarm.Stats(2).connections));
    // Once complete the task holds no connection open.
    swarm.RunFor(3000);
    EXPECT_EQ(swarm.net().OpenConnections(), 0);
    EXPECT_TRUE(swarm.StopAndCheckFile());
}

// A source that refuses connections, or closes each one at once, is tried
// again on a growing back-off while a good one downloads: every failure adds
// 3 x (attempts - 1) passes to its retry delay, about 12 attempts in 200 s.
TEST(SwarmDownload, FailingSourceIsRetriedOnTheBackOff) {
    SimBehaviour refusing, closing;
    refusing.refuse = true;
    closing.close_after = 0;
    struct Case {
        const char* what;
        SimBehaviour bad;
    } cases[] = {{"refusing", refusing}, {"closing at once", closing}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Swarm swarm(4 * 1024 * 1024, 16 * kKiB);
        swarm.Serve(0, AtRate(8 * kKiB));  // 512 simulated seconds for the file
        swarm.Serve(1, c.bad);
        swarm.Start();
        swarm.RunFor(200'000);
        const std::vector<double> at = AttemptSeconds(swarm.Stats(1), swarm.StartTick());
        Report("%s: %zu attempts in 200 s, at %s", c.what, at.size(), Join(at).c_str());
        EXPECT_GE(at.size(), 6u) << "still tried now and then";
        EXPECT_LE(at.size(), 18u) << "not hammered";
        ASSERT_GE(at.size(), 2u);
        EXPECT_GE(at[at.size() - 1] - at[at.size() - 2], 20.0) << "the gaps grow";
    }
}

}  // namespace
}  // namespace zl
