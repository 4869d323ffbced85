// Thirty DHT nodes in one process on one test clock, joined through one of
// them: find lookups converge on the true nearest node, and a BitTorrent
// lookup finds a seeder that announced itself.
#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "tests/engine/udp/kad_test_support.h"

namespace zl {
namespace {

constexpr int kNodes = 30;
constexpr uint16_t kPort = 7000;

class KadSwarmTest : public ::testing::Test {
protected:
    void SetUp() override {
        for (int i = 0; i < kNodes; ++i) {
            const std::string address = "127.0.7." + std::to_string(10 + i);
            nodes.push_back(std::make_unique<test::SimKadNode>(net, clock, address.c_str(), kPort));
            nodes.back()->node->SetRouters({{"127.0.7.10", kPort}});
        }
        for (auto& n : nodes) n->node->Begin();
    }
    void TearDown() override {
        for (auto& n : nodes) n->node->End();
    }
    // One 200 ms pass of every node, with the datagrams of the pass delivered.
    void Tick() {
        for (auto& n : nodes) {
            n->node->Pass();
            net.DeliverQueued();
        }
        clock.Advance(CKademlia::kPassMs);
    }
    void RunSeconds(int seconds) {
        for (int i = 0; i < seconds * 5; ++i) Tick();
    }
    template <class Done>
    bool RunUntil(Done done, int max_seconds) {
        for (int i = 0; i < max_seconds * 5; ++i) {
            if (done()) return true;
            Tick();
        }
        return done();
    }
    CKademlia& Node(int i) { return *nodes[size_t(i)]->node; }
    // The node nearest to the target. (It may be the searcher itself, which
    // other nodes name in their answers.)
    KadId TrueNearest(const KadId& target) {
        KadId best;
        bool have = false;
        for (int i = 0; i < kNodes; ++i) {
            const KadId id = Node(i).OwnNodeId();
            if (!have || NearerTo(target, id, best)) best = id, have = true;
        }
        return best;
    }

    FakeClock clock;
    test::KadSimNetwork net;
    std::vector<std::unique_ptr<test::SimKadNode>> nodes;
};

TEST_F(KadSwarmTest, TablesFillFromOneRouterAndFindConvergesOnTheNearestNode) {
    // Long enough for the periodic bucket refreshes and the own-id lookup.
    RunSeconds(15 * 60);
    size_t answered = 0;
    for (int i = 0; i < kNodes; ++i) answered += Node(i).Table().AnsweredCount();
    // Thirty nodes fit in a few buckets: every table knows most of the swarm.
    EXPECT_GE(answered / kNodes, 15u);

    for (int round = 0; round < 12; ++round) {
        const int from = (round * 7) % kNodes;
        const KadId target = KadId::Fresh(uint64_t(round));
        auto find = std::make_shared<CKadActionFind>(target);
        Node(from).AddLookup(find);
        ASSERT_TRUE(RunUntil([&] { return find->IsDone(); }, 30)) << round;
        Node(from).RemoveLookup(find.get());
        std::vector<KadNode> results;
        find->Results(results);
        ASSERT_EQ(results.size(), 1u) << round;
        EXPECT_EQ(results[0].id, TrueNearest(target)) << "round " << round << " from node " << from;
    }
}

TEST_F(KadSwarmTest, ABitTorrentLookupFindsASeederThatAnnouncedItself) {
    RunSeconds(30);
    const KadId info_hash = KadId::Fresh(1234);
    const int seeder = 17, leecher = 4;

    auto announce = std::make_shared<CKadActionBitTorrent>(info_hash);
    announce->SetAnnouncedPort(6881);
    Node(seeder).AddLookup(announce);
    ASSERT_TRUE(RunUntil([&] { return announce->IsDone(); }, 60));
    Node(seeder).RemoveLookup(announce.get());
    size_t holders = 0;
    for (int i = 0; i < kNodes; ++i) holders += Node(i).PeerStore().Has(info_hash);
    EXPECT_GE(holders, 3u);  // stored at the nodes nearest the info hash

    auto search = std::make_shared<CKadActionBitTorrent>(info_hash);
    search->SetAnnouncedPort(6882);
    Node(leecher).AddLookup(search);
    std::string peers;
    ASSERT_TRUE(RunUntil([&] {
        search->TakeResults(peers, true);
        return search->IsDone();
    }, 60));
    std::string seeder_peer;
    AppendCompactPeer(seeder_peer, inet_addr("127.0.7.27"), 6881);
    bool found = false;
    for (size_t at = 0; at + 6 <= peers.size(); at += 6) found |= peers.compare(at, 6, seeder_peer) == 0;
    EXPECT_TRUE(found) << peers.size() / 6 << " peers found";
    // The leecher announced itself too.
    size_t both = 0;
    for (int i = 0; i < kNodes; ++i) {
        const std::string plain = Node(i).PeerStore().PlainPeers(info_hash, Node(i).Now());
        both += plain.size() == 12;
    }
    EXPECT_GE(both, 1u);
}

TEST_F(KadSwarmTest, AStoppedNodeSavesItsTableAndKeepsItsIdOnTheNextStart) {
    RunSeconds(30);
    const std::string dir = ::testing::TempDir() + "zl-dht-cache-" + std::to_string(::getpid());
    const std::string path = dir + "/" + kKadCacheFileName;
    CKademlia& n = Node(5);
    n.SetNodeCachePath(path);
    const KadId id = n.OwnNodeId();
    const size_t known = n.Table().Count();
    ASSERT_GE(known, 10u);
    n.End();
    EXPECT_EQ(n.Table().Count(), 0u);
    n.Table().SetOwnId(KadId::Fresh(9));
    n.Begin();  // loads the cache: the id and the nodes come back
    EXPECT_EQ(n.OwnNodeId(), id);
    // Reloaded in bucket order, a far bucket may split differently and drop
    // a few; nothing else comes in.
    EXPECT_LE(n.Table().Count(), known);
    EXPECT_GE(n.Table().Count(), 10u);
    EXPECT_EQ(n.Stats().bootstrap_pings, 0u);  // enough nodes: no bootstrap
}

}  // namespace
}  // namespace zl
