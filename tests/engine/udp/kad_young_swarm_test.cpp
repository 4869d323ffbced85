// A young swarm on one test clock: thirty nodes join through one router, a
// seeder announces, and a leecher that joins later looks the peer up.
//
// A node names in its answers only nodes that have answered it, and nodes
// that merely queried the router (every joiner pings it) are confirmed by the
// router's own refresh lookups, the first of them one periodic step
// (5 s) after it started. An announce made before that finds no node beyond
// the router, so the peer is stored at the router alone, far from the info
// hash, where a lookup that closes in on the info hash never asks. Scripts
// that announce into a fresh swarm wait until the router has confirmed the
// others.
#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "tests/engine/udp/kad_test_support.h"

namespace zl {
namespace {

constexpr int kNodes = 30;  // node 0 is everyone's router
constexpr int kSeeder = kNodes, kLeecher = kNodes + 1;
constexpr uint16_t kPort = 7000;
constexpr uint16_t kSeederPeerPort = 6881;

// Fixed ids, so the distances (and with them every walk) are the same on
// every run: the first byte spreads the nodes over the space, the router
// lies far from the info hash.
KadId NodeId(int i) {
    std::string bytes(kKadIdSize, '\x5a');
    bytes[0] = char(i * 8 + 4);
    bytes[1] = char(i);
    return KadId::FromBytes(bytes);
}

KadId InfoHash() {
    std::string bytes(kKadIdSize, '\x33');
    bytes[0] = char(0xF0);
    return KadId::FromBytes(bytes);
}

std::string Address(int i) { return "127.0.7." + std::to_string(10 + i); }

class KadYoungSwarmTest : public ::testing::Test {
protected:
    void SetUp() override {
        for (int i = 0; i <= kLeecher; ++i) {
            nodes.push_back(std::make_unique<test::SimKadNode>(net, clock, Address(i).c_str(), kPort));
            nodes.back()->node->SetRouters({{Address(0), kPort}});
            Node(i).Table().SetOwnId(i < kNodes ? NodeId(i) : KadId::FromBytes(std::string(kKadIdSize, i == kSeeder ? '\x41' : '\xc1')));
        }
        // Everyone but the leecher starts at once, as a swarm tool does.
        for (int i = 0; i < kLeecher; ++i) Node(i).Begin();
    }
    void TearDown() override {
        for (int i = 0; i < kLeecher; ++i) Node(i).End();
        if (leecher_started) Node(kLeecher).End();
    }
    CKademlia& Node(int i) { return *nodes[size_t(i)]->node; }
    void Tick() {
        for (int i = 0; i <= kLeecher; ++i) {
            if (i == kLeecher && !leecher_started) continue;
            Node(i).Pass();
            net.DeliverQueued();
        }
        clock.Advance(CKademlia::kPassMs);
    }
    template <class Done>
    bool RunUntil(Done done, int max_seconds) {
        for (int i = 0; i < max_seconds * 5; ++i) {
            if (done()) return true;
            Tick();
        }
        return done();
    }
    // Every node has had the router's answer: the swarm "formed" as seen from the joiners.
    bool AllHeardTheRouter() {
        for (int i = 1; i <= kSeeder; ++i)
            if (Node(i).Table().AnsweredCount() == 0) return false;
        return true;
    }
    // The seeder announces; returns the nodes that stored its peer.
    std::vector<int> Announce() {
        auto announce = std::make_shared<CKadActionBitTorrent>(InfoHash());
        announce->SetAnnouncedPort(kSeederPeerPort);
        Node(kSeeder).AddLookup(announce);
        EXPECT_TRUE(RunUntil([&] { return announce->IsDone(); }, 60));
        Node(kSeeder).RemoveLookup(announce.get());
        std::vector<int> holders;
        for (int i = 0; i < kSeeder; ++i)
            if (Node(i).PeerStore().Has(InfoHash())) holders.push_back(i);
        return holders;
    }
    // The leecher joins through the router and looks up once its refresh
    // lookups have filled its table with more nodes near the info hash than
    // a walk asks once answers come in, so the far router is not asked.
    bool LeecherFindsTheSeeder() {
        leecher_started = true;
        Node(kLeecher).Begin();
        RunUntil([] { return false; }, 30);
        auto search = std::make_shared<CKadActionBitTorrent>(InfoHash());
        search->SetAnnouncedPort(6882);
        Node(kLeecher).AddLookup(search);
        std::string peers;
        EXPECT_TRUE(RunUntil([&] {
            search->TakeResults(peers, true);
            return search->IsDone();
        }, 60));
        Node(kLeecher).RemoveLookup(search.get());
        std::string seeder_peer;
        AppendCompactPeer(seeder_peer, inet_addr(Address(kSeeder).c_str()), kSeederPeerPort);
        for (size_t at = 0; at + kCompactPeerSize <= peers.size(); at += kCompactPeerSize)
            if (peers.compare(at, kCompactPeerSize, seeder_peer) == 0) return true;
        return false;
    }

    FakeClock clock;
    test::KadSimNetwork net;
    std::vector<std::unique_ptr<test::SimKadNode>> nodes;
    bool leecher_started = false;
};

TEST_F(KadYoungSwarmTest, AnAnnounceBeforeTheRouterConfirmedItsContactsIsStoredAtTheRouterAloneAndNotFound) {
    ASSERT_TRUE(RunUntil([&] { return AllHeardTheRouter(); }, 5));
    // The router knows every joiner, but none has answered it yet: it names nobody.
    EXPECT_GE(Node(0).Table().Count(), size_t(kNodes - 1));
    EXPECT_EQ(Node(0).Table().AnsweredCount(), 0u);
    EXPECT_EQ(Announce(), std::vector<int>{0});
    EXPECT_FALSE(LeecherFindsTheSeeder());
}

TEST_F(KadYoungSwarmTest, AnAnnounceAfterTheRouterConfirmedItsContactsIsStoredNearTheInfoHashAndFound) {
    ASSERT_TRUE(RunUntil([&] { return AllHeardTheRouter(); }, 5));
    // The router's first refresh lookup, one periodic step after it started, confirms them.
    ASSERT_TRUE(RunUntil([&] { return Node(0).Table().AnsweredCount() >= size_t(kNodes / 2); },
                         int(CKademlia::kPeriodicSeconds) + 1));
    const std::vector<int> holders = Announce();
    EXPECT_GE(holders.size(), 3u);
    // The two nodes nearest the info hash (ids 0xEC.. and 0xE4..) hold the peer.
    EXPECT_NE(std::find(holders.begin(), holders.end(), 29), holders.end());
    EXPECT_NE(std::find(holders.begin(), holders.end(), 28), holders.end());
    EXPECT_TRUE(LeecherFindsTheSeeder());
}

}  // namespace
}  // namespace zl
