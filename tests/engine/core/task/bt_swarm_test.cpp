// Whole BitTorrent swarms on the simulated network: one task takes its file
// from simulated seeders and leechers (and mirrors) of set speeds and faults,
// through minutes of simulated time in a fraction of a second. The clock
// moves only with the task's loop pauses and every random pick follows the
// swarm's seed, which a failing case prints.
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
#include "engine/core/api/engine_api_peers.h"
#include "engine/core/api/engine_codes.h"
#include "engine/core/api/engine_context.h"
#include "tests/engine/core/support/task_test_support.h"
#include "tests/engine/core/sim/sim_network.h"
#include "tests/engine/core/sim/sim_swarm.h"
#include "tests/engine/core/support/swarm_seed.h"
#include "tests/engine/core/support/torrent_fixture.h"

namespace zl {
namespace {

using test::LoopDrivenClock;
using test::SimBehaviour;
using test::SimNetwork;
using test::SimPeerBehaviour;
using test::SimPeerStats;
using test::SimServerStats;
using test::SimSwarm;

constexpr int64_t kKiB = 1024;
constexpr int64_t kMiB = 1024 * kKiB;
constexpr uint16_t kMirrorPort = 8080;
constexpr uint16_t kPeerPort = 6881;
constexpr uint64_t kSeed = 0x5eed2b7;
// Simulated time between two looks at the task.
constexpr uint64_t kPollStepMs = 5;

std::string Content(size_t size, uint64_t seed) {
    std::string bytes(size, '\0');
    uint64_t x = seed | 1;
    for (char& c : bytes) {
        x = x * 6364136223846793005ull + 1442695040888963407ull;
        c = static_cast<char>(x >> 56);
    }
    return bytes;
}

std::string MirrorAddress(int i) { return "127.0.10." + std::to_string(2 + i); }
std::string PeerAddress(int i) { return "127.0.10." + std::to_string(100 + i); }

void Report(const char* format, ...) __attribute__((format(printf, 1, 2)));
void Report(const char* format, ...) {
    std::printf("[ bt swarm ] ");
    va_list args;
    va_start(args, format);
    std::vprintf(format, args);
    va_end(args);
    std::printf("\n");
}

// Bytes fetched more than once: every span read minus the bytes of the file they cover.
int64_t BytesFetchedTwice(std::vector<std::pair<int64_t, int64_t>> spans) {
    int64_t sum = 0;
    for (const auto& [first, end] : spans) sum += end - first;
    std::sort(spans.begin(), spans.end());
    int64_t covered = 0, reached = 0;
    for (const auto& [first, end] : spans) {
        if (end <= reached) continue;
        covered += end - std::max(first, reached);
        reached = end;
    }
    return sum - covered;
}

// One engine on its own simulated network and clock, downloading one file
// from mirrors and BitTorrent remotes.
class BtSwarm {
public:
    BtSwarm(size_t size, int64_t piece, uint64_t seed = test::SwarmSeed(kSeed))
        : content_(std::make_shared<const std::string>(Content(size, seed))),
          piece_(piece),
          seed_(seed),
          swarm_(clock_, net_, seed) {
        engine_.SetRandomSeed(seed);
        engine_.SetStreamTransport(&swarm_);
        EXPECT_EQ(EngineStartup(engine_, dir_.path().c_str()), ENGINE_OK);
        EXPECT_EQ(EngineSetP2PSwitch(engine_, 1), ENGINE_OK);
    }
    ~BtSwarm() { EngineCleanup(engine_); }

    void Mirror(SimBehaviour behaviour) {
        net_.AddServer(MirrorAddress(mirrors_), kMirrorPort, *content_, std::move(behaviour));
        sources_.push_back("http://" + MirrorAddress(mirrors_) + ":" + std::to_string(kMirrorPort) + "/pkg.bin");
        ++mirrors_;
    }
    void Peer(SimPeerBehaviour behaviour) {
        swarm_.AddPeer(PeerAddress(peers_), kPeerPort, content_, piece_, behaviour);
        behaviours_.push_back(behaviour);
        sources_.push_back("btnode://" + PeerAddress(peers_) + ":" + std::to_string(kPeerPort));
        ++peers_;
    }
    int peers() const { return peers_; }
    int mirrors() const { return mirrors_; }
    const SimPeerBehaviour& behaviour(int peer) const { return behaviours_[static_cast<size_t>(peer)]; }
    SimPeerStats PeerStats(int i) const { return swarm_.Stats(PeerAddress(i), kPeerPort); }
    SimServerStats MirrorStats(int i) const { return net_.Stats(MirrorAddress(i), kMirrorPort); }

    TaskHandle Start() {
        const std::string torrent = dir_.File("pkg.torrent", test::SingleFileTorrent("pkg.bin", *content_, piece_));
        for (const std::string& s : sources_) source_text_ += (source_text_.empty() ? "" : "\r\n") + s;
        std::filesystem::create_directories(dir_.path() + "/data");
        descriptor_ = test::Descriptor(kTaskFlagP2sp, "file://" + torrent, source_text_.c_str(), dir_.path() + "/data",
                                       dir_.path() + "/pkg.zlinfo");
        EXPECT_EQ(TaskCreate(engine_, descriptor_.get()), ENGINE_OK);
        start_tick_ = clock_.TickMs();
        EXPECT_EQ(TaskStart(engine_, descriptor_->handle), ENGINE_OK);
        return descriptor_->handle;
    }

    // Polls the task (in real time, bounded) until `done` holds or the
    // simulated time passes `limit_ms`. The clock is paced: it stops every few
    // simulated milliseconds until the next poll, so a loaded machine that
    // runs this thread late neither moves the moment a result is seen nor
    // lets a poll take the task's lock at a different point of its work.
    bool RunUntil(uint64_t limit_ms, const std::function<bool(const TaskProgressInfo&)>& done) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(150);
        struct Unpace {
            LoopDrivenClock& clock;
            ~Unpace() { clock.StopPacing(); }
        } unpace{clock_};
        for (;;) {
            TaskProgressInfo info{};
            EXPECT_EQ(TaskGetProgress(engine_, descriptor_->handle, &info), ENGINE_OK);
            samples_.emplace_back(clock_.TickMs(), static_cast<int64_t>(info.downloaded));
            if (done(info)) return true;
            if (ElapsedMs() > limit_ms || std::chrono::steady_clock::now() > deadline) return false;
            clock_.PaceStep(kPollStepMs);
        }
    }
    bool RunToCompletion(uint64_t limit_ms) {
        const bool done =
            RunUntil(limit_ms, [](const TaskProgressInfo& info) { return info.status == STATUS_COMPLETE; });
        if (done) completed_ms_ = ElapsedMs();
        return done;
    }
    void RunFor(uint64_t ms) {
        const uint64_t until = ElapsedMs() + ms;
        RunUntil(until, [](const TaskProgressInfo&) { return false; });
    }
    uint64_t ElapsedMs() { return clock_.TickMs() - start_tick_; }
    uint64_t StartTick() const { return start_tick_; }
    double CompletedSeconds() const { return static_cast<double>(completed_ms_) / 1000.0; }
    TaskPeerInfo PeerInfo() {
        TaskPeerInfo info{};
        EXPECT_EQ(TaskGetPeerInfo(engine_, descriptor_->handle, &info), ENGINE_OK);
        return info;
    }

    // Stops the task (which closes and names its file) and compares the file.
    bool StopAndCheckFile() {
        EXPECT_EQ(TaskStop(engine_, descriptor_->handle, 0), ENGINE_OK);
        std::string bytes;
        return ReadFileBytes(dir_.path() + "/data/pkg.bin", bytes) && bytes == *content_;
    }

    // Bytes fetched twice: between honest remotes, and by the mirrors, within
    // themselves and over blocks the remotes sent (a mirror that reaches a
    // piece a remote took reads past it up to the next one it wants).
    struct Waste {
        int64_t peers = 0, mirrors = 0, mirrors_over_peers = 0;
    };
    Waste Wasted() const {
        std::vector<std::pair<int64_t, int64_t>> mirror_spans, peer_spans;
        for (int i = 0; i < mirrors_; ++i)
            for (const test::SimRequest& r : MirrorStats(i).log)
                if (r.read > 0) mirror_spans.emplace_back(r.body_first, r.body_first + r.read);
        for (int i = 0; i < peers_; ++i) {
            if (behaviours_[static_cast<size_t>(i)].corrupt) continue;
            const SimPeerStats st = PeerStats(i);
            peer_spans.insert(peer_spans.end(), st.spans.begin(), st.spans.end());
        }
        Waste w;
        w.peers = BytesFetchedTwice(peer_spans);
        w.mirrors = BytesFetchedTwice(mirror_spans);
        std::vector<std::pair<int64_t, int64_t>> all = mirror_spans;
        all.insert(all.end(), peer_spans.begin(), peer_spans.end());
        w.mirrors_over_peers = BytesFetchedTwice(all) - w.peers - w.mirrors;
        return w;
    }
    // The end game begins when every missing piece is requested: about two
    // seconds of data at the remotes' speed (their request queues), and a
    // few pieces.
    int64_t EndgameWindow(int64_t remotes_rate) const { return 2 * remotes_rate + 4 * piece_; }
    // Verified bytes as last seen at or before `tick`.
    int64_t VerifiedAt(uint64_t tick) const {
        int64_t bytes = 0;
        for (const auto& [at, verified] : samples_) {
            if (at > tick) break;
            bytes = verified;
        }
        return bytes;
    }
    // Blocks an honest remote sent while another had sent them already (or
    // did later), before the last `window` bytes of the file were missing:
    // outside the end game nothing is fetched twice.
    int64_t EarlyDuplicates(int64_t window) const {
        std::map<int64_t, std::vector<uint64_t>> deliveries;
        for (int i = 0; i < peers_; ++i) {
            if (behaviours_[static_cast<size_t>(i)].corrupt) continue;
            const SimPeerStats st = PeerStats(i);
            for (size_t k = 0; k < st.spans.size(); ++k) deliveries[st.spans[k].first].push_back(st.span_ticks[k]);
        }
        int64_t early = 0;
        for (auto& [offset, ticks] : deliveries) {
            std::sort(ticks.begin(), ticks.end());
            for (size_t k = 1; k < ticks.size(); ++k)
                if (size() - VerifiedAt(ticks[k]) > window) ++early;
        }
        return early;
    }
    int64_t size() const { return static_cast<int64_t>(content_->size()); }
    int64_t piece() const { return piece_; }
    uint64_t seed() const { return seed_; }
    SimSwarm& swarm() { return swarm_; }
    EngineContext& engine() { return engine_; }
    TaskHandle handle() const { return descriptor_->handle; }

private:
    LoopDrivenClock clock_;
    SimNetwork net_{clock_};
    std::shared_ptr<const std::string> content_;
    int64_t piece_;
    uint64_t seed_;
    SimSwarm swarm_;  // outlives the engine that uses it
    test::TempDir dir_;
    EngineContext engine_{clock_};
    int mirrors_ = 0, peers_ = 0;
    std::vector<SimPeerBehaviour> behaviours_;
    std::vector<std::string> sources_;
    std::string source_text_;
    std::unique_ptr<TaskDescriptor> descriptor_;
    uint64_t start_tick_ = 0;
    uint64_t completed_ms_ = 0;
    std::vector<std::pair<uint64_t, int64_t>> samples_;  // (tick, verified bytes)
};

SimPeerBehaviour Seeder(int64_t rate) {
    SimPeerBehaviour b;
    b.rate = rate;
    return b;
}

double Share(int64_t part, int64_t whole) { return whole > 0 ? static_cast<double>(part) / static_cast<double>(whole) : 0; }

// A task with two mirrors and thirty seeders of three speeds: every source
// carries a share that follows its speed, the file is done about when all of
// them together could have sent it, and hardly a byte comes twice.
TEST(BtSwarm, TwoMirrorsAndThirtyPeersShareTheFileBySpeed) {
    BtSwarm s(24 * kMiB, 32 * kKiB);
    SCOPED_TRACE("seed " + std::to_string(s.seed()));
    const int64_t mirror_rate = 512 * kKiB;
    const int64_t class_rates[] = {32 * kKiB, 64 * kKiB, 128 * kKiB};
    for (int i = 0; i < 2; ++i) {
        SimBehaviour b;
        b.rate = mirror_rate;
        s.Mirror(b);
    }
    for (int i = 0; i < 30; ++i) s.Peer(Seeder(class_rates[i % 3]));
    s.Start();
    ASSERT_TRUE(s.RunToCompletion(600'000)) << "after " << s.ElapsedMs() << " ms";
    const TaskPeerInfo info = s.PeerInfo();
    EXPECT_TRUE(s.StopAndCheckFile());

    const int64_t total_rate = 2 * mirror_rate + 10 * (class_rates[0] + class_rates[1] + class_rates[2]);
    int64_t total = 0, by_class[3] = {0, 0, 0}, mirrors = 0;
    for (int i = 0; i < 30; ++i) by_class[i % 3] += s.PeerStats(i).block_bytes;
    for (int i = 0; i < 2; ++i) mirrors += s.MirrorStats(i).body_bytes;
    total = mirrors + by_class[0] + by_class[1] + by_class[2];
    const double ideal_s = static_cast<double>(s.size()) / static_cast<double>(total_rate);
    const BtSwarm::Waste waste = s.Wasted();
    Report("2 mirrors + 30 peers: done in %.1f s (ideal %.1f s); shares mirrors %.3f (speed %.3f), peers %.3f %.3f %.3f "
           "(speed %.3f %.3f %.3f); fetched twice: %lld bytes between peers, %lld by the mirrors, %lld by the "
           "mirrors over peers' blocks; bt bytes %llu, most connections %d",
           s.CompletedSeconds(), ideal_s, Share(mirrors, total), Share(2 * mirror_rate, total_rate),
           Share(by_class[0], total), Share(by_class[1], total), Share(by_class[2], total),
           Share(10 * class_rates[0], total_rate), Share(10 * class_rates[1], total_rate),
           Share(10 * class_rates[2], total_rate), static_cast<long long>(waste.peers),
           static_cast<long long>(waste.mirrors), static_cast<long long>(waste.mirrors_over_peers),
           static_cast<unsigned long long>(info.bt_bytes), s.swarm().MostConnections());
    EXPECT_NEAR(Share(mirrors, total), Share(2 * mirror_rate, total_rate), 0.06);
    for (int k = 0; k < 3; ++k) EXPECT_NEAR(Share(by_class[k], total), Share(10 * class_rates[k], total_rate), 0.06);
    EXPECT_LE(s.CompletedSeconds(), ideal_s * 1.15 + 3);
    // Only the end game fetches twice, each peer one piece at a time; the
    // mirrors read past a piece they no longer want at most up to the next.
    // The end game opens once every missing piece is requested, and besides
    // the remotes' queues the mirrors hold pieces then: an idle mirror takes
    // over the tail of the slowest remote's queue, its share by the two rates,
    // so that both finish together (about two seconds of the mirror's data
    // too). The window counts both; with the remotes' queues alone, seed 58
    // saw a block doubled with 6.5 MB missing against a 4.7 MB window.
    EXPECT_EQ(s.EarlyDuplicates(s.EndgameWindow(total_rate)), 0);
    // The bounds hold for any seed, not only the fixed one: over seeds 1-20
    // the peers fetched 15-20 pieces twice and the mirrors up to 6.7 % of the
    // file; the task's thread runs against the auto-advancing clock, so a
    // loaded machine shifts the timeline (one such run reached 35 pieces).
    EXPECT_LE(waste.peers, 48 * s.piece());
    EXPECT_LE(waste.mirrors + waste.mirrors_over_peers, s.size() / 12);
}


// The seconds (from the task's start) at which a remote saw connection attempts.
std::string AttemptSeconds(const SimPeerStats& st, uint64_t start_tick) {
    std::string text;
    for (uint64_t t : st.attempt_ticks) text += (text.empty() ? "" : " ") + std::to_string((t - start_tick) / 1000);
    return text;
}

// A remote that sends altered blocks among honest ones: every piece it
// completes fails its hash and counts against it, the connection ends, it is
// dialled again on a growing back-off, it is shown as failing, and the file
// completes from the others without one of them being blamed.
TEST(BtSwarm, CorruptPeerAmongGoodOnesIsChargedAndBackedOff) {
    BtSwarm s(12 * kMiB, 32 * kKiB);
    SCOPED_TRACE("seed " + std::to_string(s.seed()));
    SimPeerBehaviour corrupt = Seeder(1024 * kKiB);
    corrupt.corrupt = true;
    s.Peer(corrupt);
    for (int i = 0; i < 5; ++i) s.Peer(Seeder(64 * kKiB));
    s.Start();
    s.RunFor(90'000);
    const SimPeerStats bad = s.PeerStats(0);
    const TaskPeerInfo info = s.PeerInfo();
    std::string honest;
    for (int i = 1; i < s.peers(); ++i) honest += " [" + AttemptSeconds(s.PeerStats(i), s.StartTick()) + "]";
    Report("corrupt peer: %lld attempts at %s s, %lld bad block bytes read; honest ones dialled at%s; failing: %s",
           static_cast<long long>(bad.attempts), AttemptSeconds(bad, s.StartTick()).c_str(),
           static_cast<long long>(bad.block_bytes), honest.c_str(), info.failing_text);
    EXPECT_GE(bad.attempts, 2) << "dialled again";
    EXPECT_LE(bad.attempts, 8) << "on a growing back-off";
    EXPECT_NE(std::string(info.failing_text).find(PeerAddress(0) + ":6881\tsent bad data"), std::string::npos);
    for (int i = 1; i < s.peers(); ++i) {
        EXPECT_EQ(s.PeerStats(i).connections, 1) << "honest peer " << i << " was never blamed";
    }
    ASSERT_TRUE(s.RunToCompletion(600'000));
    EXPECT_TRUE(s.StopAndCheckFile());
}

// Two fast seeders and six slow ones: the slow ones fetch pieces of their
// own, and at the end the fast ones fetch those pieces too instead of
// waiting, so the file is done about when the fast ones alone could have
// sent it; the slow pieces are the only ones fetched twice.
TEST(BtSwarm, EndGameDoesNotWaitForSlowPeers) {
    BtSwarm s(8 * kMiB, 64 * kKiB);
    SCOPED_TRACE("seed " + std::to_string(s.seed()));
    const int64_t fast = 1024 * kKiB, slow = 4 * kKiB;
    s.Peer(Seeder(fast));
    s.Peer(Seeder(fast));
    for (int i = 0; i < 6; ++i) s.Peer(Seeder(slow));
    s.Start();
    ASSERT_TRUE(s.RunToCompletion(600'000));
    EXPECT_TRUE(s.StopAndCheckFile());
    const double ideal_s = static_cast<double>(s.size()) / static_cast<double>(2 * fast + 6 * slow);
    int64_t slow_bytes = 0;
    for (int i = 2; i < 8; ++i) slow_bytes += s.PeerStats(i).block_bytes;
    const int64_t twice = s.Wasted().peers;
    Report("end game: done in %.1f s (ideal %.1f s), the slow peers sent %lld bytes, fetched twice %lld bytes",
           s.CompletedSeconds(), ideal_s, static_cast<long long>(slow_bytes), static_cast<long long>(twice));
    EXPECT_LE(s.CompletedSeconds(), ideal_s * 1.15 + 3);
    EXPECT_EQ(s.EarlyDuplicates(s.EndgameWindow(2 * fast + 6 * slow)), 0);
    EXPECT_LE(twice, 8 * s.piece());
}

// The tail with servers: two fast mirrors and one seeder at a quarter of
// their speed whose queue holds seconds of its data. Once the mirrors run out
// of pieces of their own they take over the pieces the seeder would deliver
// last, and the seeder cancels what arrived from them: its queue does not
// decide the finish, and hardly a block comes twice.
TEST(BtSwarm, IdleMirrorsTakeOverTheSlowPeersQueue) {
    BtSwarm s(16 * kMiB, 64 * kKiB);
    SCOPED_TRACE("seed " + std::to_string(s.seed()));
    const int64_t mirror_rate = 2048 * kKiB, peer_rate = 512 * kKiB;
    for (int i = 0; i < 2; ++i) {
        SimBehaviour b;
        b.rate = mirror_rate;
        s.Mirror(b);
    }
    s.Peer(Seeder(peer_rate));
    s.Start();
    ASSERT_TRUE(s.RunToCompletion(600'000));
    EXPECT_TRUE(s.StopAndCheckFile());
    const double ideal_s = static_cast<double>(s.size()) / static_cast<double>(2 * mirror_rate + peer_rate);
    const SimPeerStats peer = s.PeerStats(0);
    const BtSwarm::Waste waste = s.Wasted();
    const TaskPeerInfo info = s.PeerInfo();
    Report("mirrors take over: done in %.2f s (ideal %.2f s), the seeder sent %lld bytes and got %lld cancels, "
           "fetched twice %lld bytes by the mirrors, %lld by the mirrors over the seeder's blocks; the task counted "
           "%llu block bytes twice",
           s.CompletedSeconds(), ideal_s, static_cast<long long>(peer.block_bytes),
           static_cast<long long>(peer.cancels), static_cast<long long>(waste.mirrors),
           static_cast<long long>(waste.mirrors_over_peers), static_cast<unsigned long long>(info.twice_bytes));
    // Waiting for the seeder's queue alone would add its depth (about two
    // seconds of its data) after the mirrors went idle.
    EXPECT_LE(s.CompletedSeconds(), ideal_s + 1.0);
    EXPECT_GE(peer.cancels, 1);
    EXPECT_LE(waste.mirrors_over_peers + waste.mirrors, 4 * s.piece());
    // What the task counts as fetched twice is among what the sources sent twice.
    EXPECT_LE(static_cast<int64_t>(info.twice_bytes), waste.mirrors_over_peers + waste.mirrors);
}

// Ten seeders that choke and unchoke us every two seconds, out of step: the
// requests a choke takes back go to the others, the file completes at about
// half the summed speed, and nothing is fetched twice before the end game.
TEST(BtSwarm, ChokeStormHandsRequestsOver) {
    BtSwarm s(12 * kMiB, 32 * kKiB);
    SCOPED_TRACE("seed " + std::to_string(s.seed()));
    const int64_t rate = 128 * kKiB;
    for (int i = 0; i < 10; ++i) {
        SimPeerBehaviour b = Seeder(rate);
        b.choke_period_ms = 2000;
        b.unchoke_after_ms = 200 * i;
        s.Peer(b);
    }
    s.Start();
    ASSERT_TRUE(s.RunToCompletion(600'000));
    EXPECT_TRUE(s.StopAndCheckFile());
    int64_t chokes = 0, cancels = 0;
    for (int i = 0; i < 10; ++i) {
        chokes += s.PeerStats(i).chokes;
        cancels += s.PeerStats(i).cancels;
    }
    const double ideal_s = static_cast<double>(s.size()) / static_cast<double>(10 * rate / 2);
    const int64_t twice = s.Wasted().peers;
    Report("choke storm: done in %.1f s (ideal %.1f s at half the speed), %lld chokes, %lld cancels, fetched twice %lld",
           s.CompletedSeconds(), ideal_s, static_cast<long long>(chokes), static_cast<long long>(cancels),
           static_cast<long long>(twice));
    EXPECT_GE(chokes, 10 * 4);
    EXPECT_LE(s.CompletedSeconds(), ideal_s * 1.2 + 3);
    EXPECT_EQ(s.EarlyDuplicates(s.EndgameWindow(10 * rate)), 0);
    EXPECT_LE(twice, 10 * s.piece());
}

// Seeders that take requests and never answer: their requests are taken
// back after a while and fetched from the others long before the end game,
// and the silent ones are asked for little more.
void SilentPeersGiveTheirRequestsToOthers(uint64_t seed) {
    BtSwarm s(12 * kMiB, 32 * kKiB, seed);
    SCOPED_TRACE("seed " + std::to_string(s.seed()));
    for (int i = 0; i < 3; ++i) {
        SimPeerBehaviour silent;
        silent.silent = true;
        s.Peer(silent);
    }
    for (int i = 0; i < 3; ++i) s.Peer(Seeder(64 * kKiB));
    s.Start();
    ASSERT_TRUE(s.RunToCompletion(600'000));
    EXPECT_TRUE(s.StopAndCheckFile());
    // When each block first asked of a silent peer arrived from another.
    std::map<int64_t, uint64_t> delivered;
    for (int i = 3; i < 6; ++i) {
        const SimPeerStats st = s.PeerStats(i);
        for (size_t k = 0; k < st.spans.size(); ++k)
            if (!delivered.count(st.spans[k].first)) delivered[st.spans[k].first] = st.span_ticks[k];
    }
    uint64_t longest_ms = 0;
    int64_t asked = 0, cancels = 0;
    for (int i = 0; i < 3; ++i) {
        const SimPeerStats st = s.PeerStats(i);
        asked += static_cast<int64_t>(st.asked.size());
        cancels += st.cancels;
        for (const auto& [offset, tick] : st.asked) {
            auto it = delivered.find(offset);
            ASSERT_NE(it, delivered.end());
            if (it->second > tick) longest_ms = std::max(longest_ms, it->second - tick);
        }
    }
    const double ideal_s = static_cast<double>(s.size()) / static_cast<double>(3 * 64 * kKiB);
    Report("silent peers: asked %lld blocks, %lld cancels; the longest wait for such a block %.1f s; done in %.1f s "
           "(ideal %.1f s)",
           static_cast<long long>(asked), static_cast<long long>(cancels), static_cast<double>(longest_ms) / 1000,
           s.CompletedSeconds(), ideal_s);
    EXPECT_GT(cancels, 0);
    EXPECT_LE(longest_ms, 45'000u);
    EXPECT_LE(s.CompletedSeconds(), ideal_s * 1.15 + 5);
}

TEST(BtSwarm, RequestsToASilentPeerGoToOthers) {
    SilentPeersGiveTheirRequestsToOthers(test::SwarmSeed(kSeed));
    // On seed 76 a block one silent peer let time out was taken over by
    // another, already snubbed, silent peer and waited through a second
    // timeout (62.5 s): a snubbed remote leaves handed-back blocks to others.
    SilentPeersGiveTheirRequestsToOthers(76);
}

// Leechers that hold half the file and gain more, seeders that leave part-way
// and a mirror: the leechers serve what they hold and get every piece they ask
// of us, right; leechers that give nothing back are served too, on the slow
// peers' turns; the file completes after the seeders left, and the departed
// are dialled again only now and then.
TEST(BtSwarm, LeechersAndDepartingSeeders) {
    BtSwarm s(8 * kMiB, 32 * kKiB);
    SCOPED_TRACE("seed " + std::to_string(s.seed()));
    SimBehaviour mirror;
    mirror.rate = 64 * kKiB;
    s.Mirror(mirror);
    for (int i = 0; i < 3; ++i) {
        SimPeerBehaviour seeder = Seeder(256 * kKiB);
        seeder.leave_at_ms = 5'000 + 3'000 * i;
        s.Peer(seeder);
    }
    for (int i = 0; i < 6; ++i) {
        SimPeerBehaviour leecher;
        leecher.rate = 32 * kKiB;
        leecher.holds = 0.4;
        leecher.gain_every_ms = 2'000;
        leecher.asks_us = true;
        s.Peer(leecher);
    }
    for (int i = 0; i < 2; ++i) {
        SimPeerBehaviour empty;
        empty.holds = 0;
        empty.asks_us = true;
        s.Peer(empty);
    }
    s.Start();
    ASSERT_TRUE(s.RunToCompletion(600'000));
    EXPECT_TRUE(s.StopAndCheckFile());
    const TaskPeerInfo info = s.PeerInfo();
    int64_t from_leechers = 0, to_leechers = 0, bad = 0, pieces = 0;
    for (int i = 3; i < 9; ++i) {
        const SimPeerStats st = s.PeerStats(i);
        from_leechers += st.block_bytes;
        to_leechers += st.uploaded_to_it;
        bad += st.bad_from_us;
        pieces += st.pieces_completed;
    }
    std::string departed;
    for (int i = 0; i < 3; ++i) departed += " [" + AttemptSeconds(s.PeerStats(i), s.StartTick()) + "]";
    Report("leechers sent %lld bytes and got %lld from us (%lld pieces, %lld wrong bytes), those with nothing got "
           "%lld and %lld; uploaded %llu; done in %.1f s; attempts to the departed seeders at%s",
           static_cast<long long>(from_leechers), static_cast<long long>(to_leechers), static_cast<long long>(pieces),
           static_cast<long long>(bad), static_cast<long long>(s.PeerStats(9).uploaded_to_it),
           static_cast<long long>(s.PeerStats(10).uploaded_to_it), static_cast<unsigned long long>(info.uploaded),
           s.CompletedSeconds(), departed.c_str());
    EXPECT_GT(from_leechers, 0);
    EXPECT_GT(pieces, 0);
    EXPECT_EQ(bad, 0);
    EXPECT_GT(info.uploaded, 0u);
    for (int i = 9; i < 11; ++i) {
        const SimPeerStats st = s.PeerStats(i);
        EXPECT_GT(st.pieces_completed, 0) << "a leecher with nothing to give gets pieces too";
        EXPECT_EQ(st.bad_from_us, 0);
    }
    for (int i = 0; i < 3; ++i) {
        const SimPeerStats st = s.PeerStats(i);
        const uint64_t left = s.StartTick() + 5'000 + 3'000 * static_cast<uint64_t>(i);
        for (uint64_t t : st.span_ticks) EXPECT_LE(t, left + 50) << "no block after leaving";
        EXPECT_LE(st.attempts, 8) << "a departed seeder is not hammered";
    }
}

// A mirror among downloading peers spends its bytes on what they lack: the
// pieces no remote holds come first, from a random place, instead of the
// file from its front (a crowd of clients would then all fetch the same
// pieces from the mirror and have nothing to give each other).
TEST(BtSwarm, InACrowdTheMirrorFetchesWhatThePeersLack) {
    BtSwarm s(8 * kMiB, 64 * kKiB);
    SCOPED_TRACE("seed " + std::to_string(s.seed()));
    SimBehaviour mirror;
    mirror.rate = 256 * kKiB;
    s.Mirror(mirror);
    for (int i = 0; i < 3; ++i) {
        SimPeerBehaviour leecher;
        leecher.rate = 32 * kKiB;
        leecher.holds = 0.3;
        leecher.asks_us = true;
        s.Peer(leecher);
    }
    s.Start();
    ASSERT_TRUE(s.RunToCompletion(600'000));
    EXPECT_TRUE(s.StopAndCheckFile());

    const int32_t pieces = static_cast<int32_t>(s.size() / s.piece());
    std::vector<bool> held(static_cast<size_t>(pieces), false);
    for (int i = 0; i < s.peers(); ++i) {
        const std::vector<bool> h = s.PeerStats(i).held_at_start;
        for (int32_t p = 0; p < pieces && static_cast<size_t>(p) < h.size(); ++p) held[size_t(p)] = held[size_t(p)] || h[size_t(p)];
    }
    const int64_t unheld_bytes = s.piece() * std::count(held.begin(), held.end(), false);
    ASSERT_GT(unheld_bytes, 8 * s.piece()) << "the fixture needs pieces nobody holds";
    // The mirror's first bytes, as many as half of what nobody held.
    std::vector<test::SimRequest> log = s.MirrorStats(0).log;
    std::sort(log.begin(), log.end(), [](const test::SimRequest& a, const test::SimRequest& b) { return a.tick_ms < b.tick_ms; });
    const int64_t limit = unheld_bytes / 2;
    int64_t taken = 0, over_unheld = 0;
    for (const test::SimRequest& r : log) {
        for (int64_t at = r.body_first, end = r.body_first + r.read; at < end && taken < limit;) {
            const int64_t step = std::min({end - at, s.piece() - at % s.piece(), limit - taken});
            if (!held[size_t(at / s.piece())]) over_unheld += step;
            taken += step;
            at += step;
        }
    }
    Report("crowd of 3 leechers: %lld of the mirror's first %lld bytes were of pieces no leecher held (%.2f); done in %.1f s",
           static_cast<long long>(over_unheld), static_cast<long long>(taken), Share(over_unheld, taken),
           s.CompletedSeconds());
    // From the front, about the share of unheld pieces (0.34 here) would be.
    EXPECT_GE(Share(over_unheld, taken), 0.85);
}

}  // namespace
}  // namespace zl
