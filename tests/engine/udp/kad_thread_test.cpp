// DHT nodes on their own threads, on real loopback sockets: two nodes meet
// and one announces to the other; task threads and a flood of datagrams
// never deadlock the node; 100,000 queries from many ports leave it
// answering and within its caps.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <dirent.h>
#include <sys/wait.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <future>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "engine/meta/atomic_file.h"
#include "tests/engine/udp/kad_test_support.h"
#include "tests/engine/udp/kad_udp_endpoint.h"

namespace zl {
namespace {

using test::KadServerEndpoint;
using test::KrpcQuery;
using test::UdpClient;

template <class Pred>
bool WaitFor(Pred pred, int ms) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (std::chrono::steady_clock::now() < deadline) {
        if (pred()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return pred();
}

// Stops the node on another thread and fails (instead of hanging) if that does not end.
void StopOrFail(CKademlia& node) {
    auto stopped = std::async(std::launch::async, [&] { return node.Stop(); });
    if (stopped.wait_for(std::chrono::seconds(60)) != std::future_status::ready) {
        ADD_FAILURE() << "the DHT thread did not stop: deadlock";
        std::fflush(nullptr);
        std::abort();
    }
    EXPECT_TRUE(stopped.get());
}

std::string TempDir(const char* name) {
    const std::string dir = ::testing::TempDir() + "zl-dht-" + name + "-" + std::to_string(::getpid());
    CreateDirectories(dir);
    return dir;
}

int64_t ResidentKiB() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmRSS:", 0) == 0) return std::stoll(line.substr(6));
    return 0;
}

TEST(KadThread, TwoNodesMeetThroughARouterAndOneAnnouncesToTheOther) {
    const std::string dir = TempDir("meet");
    CKademlia a, b;
    KadServerEndpoint endpoint_a("127.0.7.51", a), endpoint_b("127.0.7.52", b);
    a.SetRouters({});
    b.SetRouters({{"127.0.7.51", endpoint_a.Port()}});
    a.SetNodeCachePath(dir + "/a/" + kKadCacheFileName);
    b.SetNodeCachePath(dir + "/b/" + kKadCacheFileName);
    ASSERT_TRUE(a.Start("Kademlia"));
    ASSERT_TRUE(b.Start("Kademlia"));
    EXPECT_TRUE(WaitFor([&] { return a.Active() && b.Active(); }, 5000));
    const KadNode node_a(a.OwnNodeId(), endpoint_a.Address(), endpoint_a.Port());
    ASSERT_TRUE(WaitFor([&] { return b.Table().Find(node_a) && !b.Table().Find(node_a)->unanswered; }, 10000));
    ASSERT_TRUE(WaitFor([&] { return a.Table().Count() == 1; }, 10000));

    const KadId hash = KadId::Fresh(42);
    auto lookup = std::make_shared<CKadActionBitTorrent>(hash);
    lookup->SetAnnouncedPort(6881);
    b.AddLookup(lookup);
    ASSERT_TRUE(WaitFor([&] { return lookup->IsDone(); }, 20000));
    b.RemoveAndDispose(lookup.get());
    EXPECT_TRUE(WaitFor([&] { return a.Stats().stored_peers == 1; }, 5000));
    EXPECT_GE(b.Stats().sent_messages, 3u);

    StopOrFail(a);
    StopOrFail(b);
    // Each saved its table when it stopped, in place of any earlier file.
    for (const char* who : {"a", "b"}) {
        const auto text = ReadWholeFile(dir + "/" + who + "/" + kKadCacheFileName);
        ASSERT_TRUE(text) << who;
        KadRoutingTable t(KadId(), 1);
        EXPECT_TRUE(t.Load(*text, 1)) << who;
        EXPECT_EQ(t.Count(), 1u) << who;
        DIR* d = ::opendir((dir + "/" + who).c_str());
        int entries = 0;
        while (dirent* e = ::readdir(d)) entries += e->d_name[0] != '.';
        ::closedir(d);
        EXPECT_EQ(entries, 1) << who << ": only the cache file, no temporary left";
    }
}

TEST(KadThread, TaskThreadsAndAFloodOfDatagramsNeverDeadlockTheNode) {
    CKademlia node;
    KadServerEndpoint endpoint("127.0.7.53", node);
    node.SetRouters({{"127.0.7.53", endpoint.Port()}, {"127.0.7.54", 9}});
    ASSERT_TRUE(node.Start("Kademlia"));
    ASSERT_TRUE(WaitFor([&] { return node.Active(); }, 5000));

    std::atomic<bool> stop{false};
    std::vector<std::thread> threads;
    // Task threads: lookups come and go while the node works.
    for (int t = 0; t < 3; ++t) {
        threads.emplace_back([&, t] {
            std::string peers;
            while (!stop) {
                auto lookup = std::make_shared<CKadActionBitTorrent>(KadId::Fresh(uint64_t(t)));
                lookup->SetAnnouncedPort(uint16_t(6881 + t));
                node.AddLookup(lookup);
                node.PingAddress(inet_addr("127.0.7.55"), uint16_t(7000 + t));
                lookup->TakeResults(peers, true);
                lookup->IsRunning();
                node.RemoveAndDispose(lookup.get());
                node.Stats();
            }
        });
    }
    // A flood of queries and stray answers from many ports.
    threads.emplace_back([&] {
        std::vector<std::unique_ptr<UdpClient>> clients;
        for (int i = 0; i < 16; ++i) clients.push_back(std::make_unique<UdpClient>("127.0.7.56"));
        std::mt19937 rng(5);
        uint64_t n = 0;
        while (!stop) {
            const KadId from = KadId::Fresh(n);
            const std::string t = TransactionBytes(rng());
            std::string bytes = n % 3 == 0   ? KrpcQuery(from, "ping", "", t)
                                : n % 3 == 1 ? KrpcQuery(from, "find_node", FindNodeArguments(KadId::Fresh(n)), t)
                                             : test::KrpcResponse(from, "5:nodes0:", t);
            clients[n % clients.size()]->SendTo(bytes, endpoint.Address(), endpoint.Port());
            if (++n % 64 == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    stop = true;
    for (auto& t : threads) t.join();
    EXPECT_GT(node.Stats().received_messages, 100u);
    StopOrFail(node);
    EXPECT_FALSE(node.Active());
}

TEST(KadFlood, HundredThousandQueriesFromManyPortsLeaveTheNodeAnsweringAndWithinItsCaps) {
    CKademlia node;
    KadServerEndpoint endpoint("127.0.7.60", node);
    node.SetRouters({});
    ASSERT_TRUE(node.Start("Kademlia"));
    ASSERT_TRUE(WaitFor([&] { return node.Active(); }, 5000));
    const int64_t rss_before = ResidentKiB();

    const std::string command = "/usr/bin/python3 " ZL_SOURCE_DIR "/tests/engine/udp/kad_flood.py 127.0.7.60 " +
                                std::to_string(endpoint.Port()) + " 127.0.7.61 100000 256";
    FILE* flood = ::popen(command.c_str(), "r");
    ASSERT_TRUE(flood);
    // While the flood runs, a client keeps asking; some of its pings are answered.
    UdpClient probe("127.0.7.62");
    const KadId probe_id = KadId::Fresh(3);
    std::atomic<bool> flooding{true};
    std::atomic<int> answered_during{0};
    std::thread prober([&] {
        uint64_t t = 0;
        while (flooding) {
            probe.SendTo(KrpcQuery(probe_id, "ping", "", TransactionBytes(++t)), endpoint.Address(), endpoint.Port());
            if (!probe.Receive(50).empty()) ++answered_during;
        }
    });
    char line[256] = {0};
    const bool got_line = std::fgets(line, sizeof line, flood) != nullptr;
    const int status = ::pclose(flood);
    flooding = false;
    prober.join();
    ASSERT_TRUE(got_line);
    ASSERT_EQ(WEXITSTATUS(status), 0) << line;
    unsigned long sent = 0, answers = 0, tokens = 0;
    ASSERT_EQ(std::sscanf(line, "sent %lu answers %lu tokens %lu", &sent, &answers, &tokens), 3) << line;
    EXPECT_EQ(sent, 100000u);
    EXPECT_GT(answers, 1000u) << line;  // ours, through the same server
    EXPECT_GT(answered_during.load(), 0);

    // Afterwards it answers at once again.
    bool answered_after = false;
    for (int i = 0; i < 40 && !answered_after; ++i) {
        probe.SendTo(KrpcQuery(probe_id, "ping", "", TransactionBytes(1000000 + uint64_t(i))), endpoint.Address(), endpoint.Port());
        answered_after = !probe.Receive(250).empty();
    }
    EXPECT_TRUE(answered_after);

    const KadStats s = node.Stats();
    EXPECT_LE(s.inbox, CKademlia::kInboxFull);
    EXPECT_LE(s.nodes, KadRoutingTable::kBucketSize * KadRoutingTable::kMaxBuckets);
    EXPECT_LE(s.pending_pings, s.nodes + 1);
    // One announcing address keeps at most its quota in the peer store.
    EXPECT_LE(s.stored_peers, KadPeerStore::kMaxEntriesPerAddress);
    EXPECT_LE(s.stored_info_hashes, KadPeerStore::kMaxInfoHashes);
    // The UDP server reads at its own pace (bursts of 18, then a 2 ms pause);
    // the kernel drops what its socket buffer cannot hold.
    EXPECT_GT(s.received_messages, 1000u);
    // Memory: the caps hold; the process grows by a few MiB at most. (A
    // sanitizer keeps freed memory in quarantine, so only plain builds can tell.)
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
    EXPECT_LT(ResidentKiB() - rss_before, 64 * 1024);
#else
    (void)rss_before;
#endif
    std::printf("flood: %s received %llu dropped %llu sent %llu nodes %zu stored %zu, %d probe answers\n", line,
                (unsigned long long)s.received_messages, (unsigned long long)s.dropped_datagrams,
                (unsigned long long)s.sent_messages, s.nodes, s.stored_peers, answered_during.load());
    StopOrFail(node);
}

}  // namespace
}  // namespace zl
