#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "engine/core/peers/peer_identity.h"
#include "engine/core/peers/peer_order.h"
#include "engine/core/peers/server_rotation.h"
#include "engine/udp/endpoint_tag.h"

namespace zl {
namespace {

PeerOrderFacts Handshaken() {
    PeerOrderFacts f;
    f.handshake_done = true;
    f.node = true;
    return f;
}

TEST(PeerOrder, Downloading) {
    PeerOrderFacts none;
    none.present = false;
    PeerOrderFacts no_handshake;
    EXPECT_LT(ComparePeers(Handshaken(), no_handshake, false), 0);
    EXPECT_LT(ComparePeers(no_handshake, none, false), 0);
    EXPECT_EQ(ComparePeers(no_handshake, no_handshake, false), 0);

    struct Row {
        const char* why;
        void (*a)(PeerOrderFacts&);
        void (*b)(PeerOrderFacts&);
    };
    const Row rows[] = {
        {"more downloaded", [](PeerOrderFacts& f) { f.download_accumulator = 4096; }, [](PeerOrderFacts&) {}},
        {"faster receiver", [](PeerOrderFacts& f) { f.receive_rate = 4096; }, [](PeerOrderFacts& f) { f.download_accumulator = 2047; }},
        {"not yet seen first", [](PeerOrderFacts&) {}, [](PeerOrderFacts& f) { f.seen_by_snapshot = true; }},
        {"less uploaded", [](PeerOrderFacts&) {}, [](PeerOrderFacts& f) { f.upload_accumulator = 2048; }},
        {"less sent in total", [](PeerOrderFacts&) {}, [](PeerOrderFacts& f) { f.total_sent = 2048; }},
        {"connected later", [](PeerOrderFacts& f) { f.serial = 9; }, [](PeerOrderFacts& f) { f.serial = 3; }},
    };
    for (const Row& r : rows) {
        PeerOrderFacts a = Handshaken(), b = Handshaken();
        r.a(a);
        r.b(b);
        EXPECT_LT(ComparePeers(a, b, false), 0) << r.why;
        EXPECT_GT(ComparePeers(b, a, false), 0) << r.why;
    }
}

TEST(PeerOrder, Seeding) {
    struct Row {
        const char* why;
        void (*a)(PeerOrderFacts&);
        void (*b)(PeerOrderFacts&);
    };
    const Row rows[] = {
        {"not yet seen first", [](PeerOrderFacts&) {}, [](PeerOrderFacts& f) { f.seen_by_snapshot = true; f.upload_accumulator = 1 << 20; }},
        {"no queued output first", [](PeerOrderFacts&) {}, [](PeerOrderFacts& f) { f.queued_output = true; }},
        {"holds more pieces", [](PeerOrderFacts& f) { f.pieces_held = 9; }, [](PeerOrderFacts& f) { f.upload_accumulator = 1 << 20; }},
        {"uploaded more", [](PeerOrderFacts& f) { f.upload_accumulator = 4096; }, [](PeerOrderFacts& f) { f.send_rate = 1 << 20; }},
        {"sends faster", [](PeerOrderFacts& f) { f.send_rate = 4096; }, [](PeerOrderFacts&) {}},
    };
    for (const Row& r : rows) {
        PeerOrderFacts a = Handshaken(), b = Handshaken();
        r.a(a);
        r.b(b);
        EXPECT_LT(ComparePeers(a, b, true), 0) << r.why;
        EXPECT_GT(ComparePeers(b, a, true), 0) << r.why;
    }
}

TEST(DropPeers, Modes) {
    // kind, exhausted server, rate
    const std::vector<DropFacts> peers = {
        {1, false, 90000}, {2, false, 50000}, {1, false, 0}, {2, true, 0}, {2, false, 10}, {1, false, 5},
    };
    EXPECT_EQ(ChoosePeersToDrop(peers, 1, 2, DropMode::kAny, 0), (std::vector<size_t>{5, 2}));
    EXPECT_EQ(ChoosePeersToDrop(peers, 1, 9, DropMode::kAny, 0), (std::vector<size_t>{5, 2, 0}));
    EXPECT_EQ(ChoosePeersToDrop(peers, 6, 0, DropMode::kAny, 0), (std::vector<size_t>{}));
    // Keep-good: only the last `count` positions, never an exhausted server.
    EXPECT_EQ(ChoosePeersToDrop(peers, 6, 1, DropMode::kKeepGood, 0), (std::vector<size_t>{}));
    EXPECT_EQ(ChoosePeersToDrop(peers, 6, 2, DropMode::kKeepGood, 0), (std::vector<size_t>{4}));
    EXPECT_EQ(ChoosePeersToDrop(peers, 6, 5, DropMode::kKeepGood, 0), (std::vector<size_t>{4, 1}));
    // Speed-aware: only servers at most speed / peers / 5 (here 6000 / 6 / 5 = 200), or below 1.
    EXPECT_EQ(ChoosePeersToDrop(peers, 6, 5, DropMode::kKeepGoodSpeedAware, 6000), (std::vector<size_t>{4}));
    EXPECT_EQ(ChoosePeersToDrop(peers, 6, 5, DropMode::kKeepGoodSpeedAware, 6000000), (std::vector<size_t>{4, 1}));
    EXPECT_EQ(OrderKeyAfterDrop(29), 28);
    EXPECT_EQ(OrderKeyAfterDrop(20), 20);
    EXPECT_EQ(OrderKeyAfterDrop(19), 20);
}

TEST(DropPeers, ServerModeDropsDownToLimitMinusOne) {
    // Limit 3, five server connections: the balancing drops 5 - 3 + 1 = 3.
    ServerBalancer balancer;
    ServerBalanceInput in;
    in.server_mode = true;
    in.now = 31;
    in.open_servers = 5;
    in.server_limit = 3;
    const ServerBalanceAction act = balancer.Decide(in);
    EXPECT_EQ(act.drop, 3);
    const std::vector<DropFacts> servers(5, DropFacts{2, false, 1000});
    EXPECT_EQ(ChoosePeersToDrop(servers, 6, act.drop, DropMode::kKeepGood, 0).size(), 3u);
    EXPECT_EQ(act.pick, 1);
    EXPECT_TRUE(act.re_resolve);
}

TEST(ServerBalancer, Table) {
    struct Row {
        const char* why;
        bool mode, admitted;
        uint64_t run, now;
        int32_t open, eligible, limit;
        int32_t drop, pick;
        bool speed_aware;
    };
    const Row rows[] = {
        {"on: too early", true, true, 100, 30, 5, 5, 3, 0, 0, false},
        {"on: full set rotates one", true, true, 100, 31, 3, 0, 3, 1, 1, false},
        {"on: below the limit adds", true, true, 100, 40, 1, 0, 3, 0, 2, false},
        {"off: worker too young", false, true, 45, 100, 5, 5, 3, 0, 0, false},
        {"off: nothing ever admitted", false, false, 100, 100, 5, 5, 3, 0, 0, false},
        {"off: not enough waiting", false, true, 100, 100, 5, 2, 3, 0, 0, false},
        {"off: slow servers make room", false, true, 100, 100, 5, 3, 3, 3, 0, true},
    };
    for (const Row& r : rows) {
        ServerBalancer balancer;
        const ServerBalanceAction act = balancer.Decide({r.mode, r.admitted, r.run, r.now, r.open, r.eligible, r.limit});
        EXPECT_EQ(act.drop, r.drop) << r.why;
        EXPECT_EQ(act.pick, r.pick) << r.why;
        EXPECT_EQ(act.speed_aware, r.speed_aware) << r.why;
    }
    // Period: the next decision waits for its interval.
    ServerBalancer balancer;
    EXPECT_EQ(balancer.Decide({true, true, 100, 100, 3, 0, 3}).drop, 1);
    EXPECT_EQ(balancer.Decide({true, true, 100, 130, 3, 0, 3}).drop, 0);
    EXPECT_EQ(balancer.Decide({true, true, 100, 131, 3, 0, 3}).drop, 1);
    EXPECT_EQ(balancer.Decide({false, true, 100, 177, 5, 5, 3}).drop, 3);  // more than 45 s after 131
    EXPECT_EQ(balancer.Decide({false, true, 100, 222, 5, 5, 3}).drop, 0);
}

TEST(PickServerSources, PerTaskGeneratorAndHosts) {
    const std::vector<std::string> urls = {"http://a/x", "http://b/x", "http://c/x", "http://d/x"};
    const std::vector<std::string> hosts = {"null", "cdn.example", "null"};
    std::vector<std::pair<std::string, std::string>> picked;
    TaskRandom random(42);
    const int32_t n = PickServerSources(3, urls, hosts, random, [&](const std::string& u, const std::string& h) {
        picked.push_back({u, h});
        return true;
    });
    EXPECT_EQ(n, 3);
    ASSERT_EQ(picked.size(), 3u);
    for (const auto& p : picked) {
        if (p.first == "http://b/x")
            EXPECT_EQ(p.second, "cdn.example");
        else
            EXPECT_EQ(p.second, "") << p.first << ": \"null\" or no host line means none";
    }
    // Up to 2n tries when URLs fail to parse; an empty list adds nothing.
    int tries = 0;
    EXPECT_EQ(PickServerSources(3, urls, hosts, random, [&](const std::string&, const std::string&) { return ++tries, false; }), 0);
    EXPECT_EQ(tries, 6);
    EXPECT_EQ(PickServerSources(3, {}, {}, random, [](const std::string&, const std::string&) { return true; }), 0);

    // Two tasks picking in the same second do not pick alike.
    TaskRandom t1(TaskRandom::FreshSeed()), t2(TaskRandom::FreshSeed());
    std::vector<std::string> p1, p2;
    std::vector<std::string> many;
    for (int i = 0; i < 64; ++i) many.push_back("http://m" + std::to_string(i) + "/x");
    PickServerSources(16, many, {}, t1, [&](const std::string& u, const std::string&) { return p1.push_back(u), true; });
    PickServerSources(16, many, {}, t2, [&](const std::string& u, const std::string&) { return p2.push_back(u), true; });
    EXPECT_NE(p1, p2);
}

TEST(Pruning, LimitsAndPlan) {
    struct LimitRow {
        int32_t budget;
        int64_t keep, index;
    };
    const LimitRow limit_rows[] = {{52, 46, 58}, {154, 148 - 6, 154}, {1000, 994 - 76, 930}, {6, 0, 12}};
    for (const LimitRow& r : limit_rows) {
        PruneInput in;
        in.connection_budget = r.budget;
        const PruneLimits l = ComputePruneLimits(in);
        EXPECT_EQ(l.keep_count, r.keep) << r.budget;
        EXPECT_EQ(l.index_threshold, r.index) << r.budget;
    }
    PruneInput in;
    in.average_download_speed = 81920;
    in.pass_quota = 6;
    in.metainfo_loaded = true;
    in.missing_pieces = 6;
    PruneLimits l = ComputePruneLimits(in);
    EXPECT_EQ(l.choke_threshold, 10 + 48 + 32);
    EXPECT_TRUE(l.near_end);
    in.missing_pieces = 7;
    EXPECT_FALSE(ComputePruneLimits(in).near_end);

    // A small fixture: keep 2, idle peers beyond index 4 go, choke beyond 3.
    l.keep_count = 2;
    l.index_threshold = 4;
    l.choke_threshold = 3;
    std::vector<PruneFacts> peers(8);
    for (PruneFacts& p : peers) p = {false, true, true, false, 100, false, false};
    peers[1].should_disconnect = true;
    peers[3].server = true;
    peers[3].download_rate = 0;
    peers[4].should_disconnect = true;
    peers[5].download_rate = 0;       // idle, beyond the index threshold
    peers[6].not_interested = true;   // kept, beyond the choke threshold
    peers[7].we_choke = true;
    // connected 4 > keep 2: drops from the end while still above the keep count.
    const std::vector<uint32_t> plan = PlanPruning(l, peers, 4);
    EXPECT_EQ(plan[7], kPruneKeep) << "already choked";
    EXPECT_EQ(plan[6], kPruneChoke | kPruneNotInterested);
    EXPECT_EQ(plan[5], kPruneDrop);
    EXPECT_EQ(plan[4], kPruneDrop);  // connected 3 > 2
    EXPECT_EQ(plan[3], kPruneKeep) << "servers are not pruned";
    EXPECT_EQ(plan[1], kPruneKeep) << "connected is down to the keep count";
    EXPECT_EQ(PlanPruning(l, peers, 2), std::vector<uint32_t>(8, kPruneKeep));
    EXPECT_EQ(PlanPruning(l, peers, 0), std::vector<uint32_t>(8, kPruneKeep));
}

std::string Hex(const uint8_t* p, size_t n) {
    static const char* d = "0123456789abcdef";
    std::string s;
    for (size_t i = 0; i < n; ++i) s += d[p[i] >> 4], s += d[p[i] & 15];
    return s;
}

TEST(HandshakeIdentity, HandshakeBytes) {
    PeerIdSeed seed;
    seed.announce = "http://127.0.0.2:6969/announce";
    seed.thread_handle = 140000;
    seed.task_address = 94000000;
    seed.tick_ms = 123456;
    seed.local_address = 33554559;  // 127.0.0.2 in network order on this machine
    NodeIdentityBytes node{};
    for (size_t i = 0; i < node.size(); ++i) node[i] = uint8_t(0xA0 + i);
    InfoHash hash{};
    for (size_t i = 0; i < hash.size(); ++i) hash[i] = uint8_t(i + 1);

    HandshakeIdentity identity;
    EXPECT_FALSE(identity.Setup(false, hash, seed, node)) << "no metainfo yet";
    EXPECT_FALSE(identity.Setup(true, InfoHash{}, seed, node)) << "zero info hash";
    EXPECT_FALSE(identity.Built());
    ASSERT_TRUE(identity.Setup(true, hash, seed, node));
    // 19, "BitTorrent protocol", 8 zero bytes, the info hash, then the peer id:
    // 00 01 'Z' 'l', MD5(announce thread task tick address)[0..3], node identity[0..11].
    EXPECT_EQ(Hex(identity.header().data(), kHandshakeHeaderSize),
              "13426974546f7272656e742070726f746f636f6c0000000000000000"
              "0102030405060708090a0b0c0d0e0f1011121314"
              "00015a6c74a7f300a0a1a2a3a4a5a6a7a8a9aaab");
    const PeerIdBytes id = identity.peer_id();
    EXPECT_EQ(Hex(id.data(), id.size()), "00015a6c74a7f300a0a1a2a3a4a5a6a7a8a9aaab");

    // Built once: a later set-up keeps it until Clear.
    seed.tick_ms = 1;
    EXPECT_TRUE(identity.Setup(true, hash, seed, node));
    EXPECT_EQ(identity.peer_id(), id);
    identity.Clear();
    EXPECT_FALSE(identity.Built());
    ASSERT_TRUE(identity.Setup(true, hash, seed, node));
    EXPECT_NE(identity.peer_id(), id);
}

// Bytes 8..15 of the peer id are the node id the UDP stream registers with the
// rendezvous service, for every identity, also one whose first or second
// byte happens to be zero (1 in 256 fresh identities has a zero second byte;
// such an engine was unreachable by its id).
TEST(HandshakeIdentity, PeerIdCarriesTheRegisteredNodeId) {
    const struct {
        uint8_t first, second, want_first, want_second;
    } cases[] = {{0x99, 0x00, 0x99, 0x02}, {0x00, 0x00, 0x01, 0x02}, {0x00, 0x7f, 0x01, 0x7f}, {0x42, 0x43, 0x42, 0x43}};
    for (const auto& c : cases) {
        NodeIdentityBytes node{};
        for (size_t i = 0; i < node.size(); ++i) node[i] = uint8_t(0x10 + i);
        node[0] = c.first;
        node[1] = c.second;
        const PeerIdBytes peer_id = BuildPeerId(PeerIdSeed{}, node);
        NodeId carried{};
        std::memcpy(carried.data(), peer_id.data() + 8, carried.size());
        NodeId raw{};
        std::memcpy(raw.data(), node.data(), raw.size());
        EXPECT_EQ(carried, NormaliseLocalNodeId(raw)) << int(c.first) << "," << int(c.second);
        EXPECT_EQ(carried[0], c.want_first);
        EXPECT_EQ(carried[1], c.want_second);
        EXPECT_EQ(NormaliseNodeIdentity(node)[2], node[2]) << "only the first two bytes change";
    }
}

}  // namespace
}  // namespace zl
