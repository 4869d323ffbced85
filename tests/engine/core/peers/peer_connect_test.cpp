#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <map>
#include <set>
#include <vector>

#include "engine/core/peers/peer_connector.h"
#include "engine/core/peers/peer_pool.h"
#include "engine/core/peers/retry_backoff.h"

namespace zl {
namespace {

uint32_t Ip(const char* dotted) { return inet_addr(dotted); }

RefPtr<TPeerId> Candidate(int32_t kind, int32_t finished, int32_t delay, int32_t open = 0) {
    RefPtr<TPeerId> c = RefPtr<TPeerId>::Adopt(new TPeerId("x"));
    c->kind = kind;
    c->parsed = true;
    c->address = Ip("10.0.0.1");
    c->port = 80;
    c->finished_pieces = finished;
    c->retry_delay = delay;
    c->open_connections = open;
    c->max_connections = 4;
    return c;
}

TEST(MayTry, Table) {
    struct Row {
        const char* why;
        int32_t kind, finished, delay, open;
        int64_t content_length, speed;
        bool parsed, yes;
        int32_t delay_after;
    };
    const Row rows[] = {
        {"not parsed", kKindHttp, 0, 0, 0, -1, 1000, false, false, 0},
        {"no delay", kKindHttp, 0, 0, 0, -1, 1000, true, true, 0},
        {"counts down", kKindHttp, 0, 3, 0, -1, 1000, true, false, 2},
        {"last pass", kKindHttp, 0, 1, 0, -1, 1000, true, true, 0},
        {"16 finished: at once", kKindHttp, 16, 100, 0, -1, 1000, true, true, 0},
        {"6 finished: delay / 10", kKindHttp, 6, 100, 0, -1, 1000, true, false, 9},
        {"6 finished: below 10 clears", kKindHttp, 6, 9, 0, -1, 1000, true, true, 0},
        {"1 finished: delay / 5", kKindHttp, 1, 7, 0, -1, 1000, true, true, 0},
        {"1 finished: below 5 clears", kKindFtp, 1, 4, 0, -1, 1000, true, true, 0},
        {"1 finished: 50 / 5", kKindFtp, 1, 50, 0, -1, 1000, true, false, 9},
        {"idle task: at most 10 clears", kKindHttp, 0, 10, 0, -1, 0, true, true, 0},
        {"idle task: delay / 10", kKindHttp, 0, 50, 0, -1, 0, true, false, 4},
        {"idle task after the finished cut", kKindHttp, 1, 500, 0, -1, 0, true, false, 9},
        {"server at its maximum", kKindHttp, 0, 0, 4, 1000, 1000, true, false, 0},
        {"one open, length unknown", kKindHttp, 0, 0, 1, -1, 1000, true, false, 0},
        {"one open, length known", kKindHttp, 0, 0, 1, 1000, 1000, true, true, 0},
        {"open server keeps its delay", kKindHttp, 16, 3, 1, 1000, 1000, true, false, 2},
        {"node already connected", kKindNode, 0, 0, 1, -1, 1000, true, false, 0},
        {"node", kKindNode, 0, 2, 0, -1, 1000, true, false, 1},
        {"tracker already connected", kKindTracker, 0, 0, 1, -1, 1000, true, false, 0},
    };
    for (const Row& r : rows) {
        RefPtr<TPeerId> c = Candidate(r.kind, r.finished, r.delay, r.open);
        c->parsed = r.parsed;
        c->Source().content_length = r.content_length;
        const bool preview = WouldTry(*c, r.speed, 1000);
        EXPECT_EQ(c->retry_delay, r.delay) << r.why << ": a preview consumes nothing";
        EXPECT_EQ(MayTry(*c, r.speed, 1000), r.yes) << r.why;
        EXPECT_EQ(preview, r.yes) << r.why;
        EXPECT_EQ(c->retry_delay, r.delay_after) << r.why;
    }
}

TEST(MayTry, SixFinishedPiecesTwoPasses) {
    RefPtr<TPeerId> c = Candidate(kKindHttp, 6, 100);
    EXPECT_FALSE(MayTry(*c, 5000, 10));  // 100 -> 10, counted down to 9
    EXPECT_EQ(c->retry_delay, 9);
    EXPECT_TRUE(MayTry(*c, 5000, 11));   // 9 is below 10 -> 0
}

TEST(MayTry, TrackerEvery600Seconds) {
    RefPtr<TPeerId> t = Candidate(kKindTracker, 0, 0);
    EXPECT_TRUE(MayTry(*t, 0, 5)) << "never connected";
    t->last_connect_time = 1000;
    EXPECT_FALSE(MayTry(*t, 0, 1000));
    EXPECT_FALSE(MayTry(*t, 0, 1599));
    EXPECT_TRUE(MayTry(*t, 0, 1600));
}

class Facts : public ICandidateFacts {
public:
    std::set<uint32_t> blocked;
    std::set<std::pair<uint32_t, int32_t>> connections;
    bool same_peer_connected = false;
    bool complete = false;
    uint64_t now = 100;
    bool IsBlocked(uint32_t a) const override { return blocked.count(a) != 0; }
    bool HasConnectionTo(uint32_t a, int32_t p) const override { return connections.count({a, p}) != 0; }
    bool HasConnectedPeer(uint32_t, const PeerIdBytes&) const override { return same_peer_connected; }
    bool DataComplete() const override { return complete; }
    int64_t CurrentSpeed() const override { return 1000; }
    uint64_t Now() const override { return now; }
};

TEST(Eligibility, Table) {
    Facts facts;
    RefPtr<TPeerId> server = Candidate(kKindHttp, 0, 0);
    RefPtr<TPeerId> node = Candidate(kKindNode, 0, 0);
    RefPtr<TPeerId> tracker = Candidate(kKindTracker, 0, 0);
    EXPECT_TRUE(IsEligible(*server, facts));
    EXPECT_TRUE(IsEligible(*node, facts));
    EXPECT_TRUE(IsEligible(*tracker, facts));

    facts.complete = true;
    EXPECT_FALSE(IsEligible(*server, facts)) << "no server once the data is complete";
    EXPECT_TRUE(IsEligible(*tracker, facts));
    facts.complete = false;

    facts.connections.insert({node->address, node->port});
    EXPECT_FALSE(IsEligible(*node, facts));
    facts.connections.clear();
    facts.same_peer_connected = true;
    EXPECT_FALSE(IsEligible(*node, facts));
    facts.same_peer_connected = false;

    facts.blocked.insert(server->address);
    EXPECT_FALSE(IsEligible(*server, facts));
    facts.blocked.clear();

    server->port = 0;
    EXPECT_FALSE(IsEligible(*server, facts)) << "unusable";
    node->address = kNoAddress;
    EXPECT_FALSE(WouldBeEligible(*node, facts));
}

// Records every dial; fails the ones it is told to.
class Dialer : public IPeerDialer {
public:
    std::vector<std::pair<const TPeerId*, uint64_t>> dials;
    std::set<const TPeerId*> refuse;
    int p2p_calls_left = 1 << 30;
    bool Dial(TPeerId& c, uint64_t serial) override {
        dials.push_back({&c, serial});
        return refuse.count(&c) == 0;
    }
    bool P2PEnabled() const override { return const_cast<Dialer*>(this)->p2p_calls_left-- > 0; }
};

TPeerId* AddServer(CandidateList& list, const char* ip, int32_t finished = 0) {
    TPeerId* c = list.FindOrAddNode(Ip(ip), 80, kKindHttp, false, kOrderKeyServer);
    c->parsed = true;
    c->text = std::string("http://") + ip + "/x";
    c->finished_pieces = finished;
    list.Sort();
    return c;
}

TEST(ServerConnector, BudgetIsLimitMinusOpen) {
    struct Row {
        int32_t servers, open, limit;
        int32_t opened;
    };
    const Row rows[] = {{5, 0, 3, 3}, {5, 2, 3, 1}, {5, 3, 3, 0}, {5, 7, 3, 0}, {2, 0, 49, 2}};
    for (const Row& r : rows) {
        CandidateList list;
        const char* ips[] = {"10.0.0.1", "10.0.0.2", "10.0.0.3", "10.0.0.4", "10.0.0.5"};
        for (int i = 0; i < r.servers; ++i) AddServer(list, ips[i], 10 - i);
        Facts facts;
        Dialer dialer;
        PeerSerials serials;
        const int32_t opened = RunServerConnector(list, {r.open, r.limit, 1}, facts, dialer, serials);
        EXPECT_EQ(opened, r.opened) << r.servers << " " << r.open << " " << r.limit;
        ASSERT_EQ(dialer.dials.size(), size_t(r.opened));
        // The best candidates are dialled first.
        for (size_t i = 0; i < dialer.dials.size(); ++i) {
            EXPECT_EQ(dialer.dials[i].first->finished_pieces, 10 - int32_t(i));
            EXPECT_EQ(dialer.dials[i].first->last_connect_time, facts.now);
            EXPECT_EQ(dialer.dials[i].first->open_connections, 1);
        }
    }
}

TEST(ServerConnector, SeveralConnectionsOnlyWithKnownLength) {
    CandidateList list;
    TPeerId* known = AddServer(list, "10.0.0.1", 5);
    known->Source().content_length = 1 << 20;
    TPeerId* unknown = AddServer(list, "10.0.0.2", 4);
    Facts facts;
    Dialer dialer;
    PeerSerials serials;
    // connections per server 3: the known server takes 3, the other 1.
    EXPECT_EQ(RunServerConnector(list, {0, 10, 3}, facts, dialer, serials), 4);
    EXPECT_EQ(known->open_connections, 3);
    EXPECT_EQ(known->connection_count, 3);
    EXPECT_EQ(unknown->open_connections, 1);
    // The budget is never overrun by a multi-connection server.
    CandidateList list2;
    TPeerId* big = AddServer(list2, "10.0.0.3", 5);
    big->Source().content_length = 1 << 20;
    EXPECT_EQ(RunServerConnector(list2, {8, 10, 5}, facts, dialer, serials), 2);
    EXPECT_EQ(big->open_connections, 2);
}

TEST(ServerConnector, FailedAttachAndNothingOpened) {
    CandidateList list;
    TPeerId* bad = AddServer(list, "10.0.0.1", 5);
    TPeerId* good = AddServer(list, "10.0.0.2", 5);
    Facts facts;
    Dialer dialer;
    dialer.refuse.insert(bad);
    PeerSerials serials;
    EXPECT_EQ(RunServerConnector(list, {0, 2, 1}, facts, dialer, serials), 1);
    EXPECT_EQ(bad->open_connections, 0) << "a failed attach does not stay counted";
    EXPECT_EQ(bad->attempts, 1);
    EXPECT_EQ(good->open_connections, 1);
    EXPECT_EQ(good->attempts, 0);
    EXPECT_EQ(list.at(0), good) << "sorted after the pass: fewer attempts first";
}

TEST(PeerSerials, NeverReused) {
    CandidateList list;
    TPeerId* a = AddServer(list, "10.0.0.1", 5);
    TPeerId* b = AddServer(list, "10.0.0.2", 4);
    Facts facts;
    Dialer dialer;
    dialer.refuse.insert(a);
    PeerSerials serials;
    RunServerConnector(list, {0, 2, 1}, facts, dialer, serials);
    b->open_connections = 0;  // its peer ended and went back to the pool
    dialer.refuse.clear();
    RunServerConnector(list, {0, 2, 1}, facts, dialer, serials);
    std::set<uint64_t> seen;
    for (const auto& d : dialer.dials) EXPECT_TRUE(seen.insert(d.second).second) << "serial " << d.second;
    EXPECT_EQ(serials.Last(), dialer.dials.size());
}

TEST(IdleServerSeconds, RefreshAfterTenIdleSeconds) {
    IdleServerSeconds idle;
    for (int i = 0; i < 9; ++i) EXPECT_FALSE(idle.NoteSecond(0));
    EXPECT_FALSE(idle.NoteSecond(1)) << "an opened connection starts the count again";
    for (int i = 0; i < 9; ++i) EXPECT_FALSE(idle.NoteSecond(0));
    EXPECT_TRUE(idle.NoteSecond(0));
    EXPECT_EQ(idle.seconds(), 0);
}

TEST(NodeConnector, HalfOpenAndPeerLimit) {
    // room = min(2 x half-open, budget) - 1 - connecting
    struct Row {
        int32_t connecting, half_open, budget, room;
    };
    const Row rows[] = {{0, 32, 52, 51}, {0, 8, 52, 15}, {15, 8, 52, 0}, {20, 8, 52, 0}, {3, 32, 4, 0}, {0, 0, 52, 0}};
    for (const Row& r : rows) EXPECT_EQ(NodeDialRoom(r.connecting, r.half_open, r.budget), r.room);
    EXPECT_TRUE(NeedsRoomForNode(kOrderKeyLan, 15, 8, 52));
    EXPECT_FALSE(NeedsRoomForNode(34, 15, 8, 52)) << "only preferred candidates push others out";
    EXPECT_FALSE(NeedsRoomForNode(kOrderKeyLan, 14, 8, 52));

    CandidateList list;
    const char* ips[] = {"10.0.1.1", "10.0.1.2", "10.0.1.3", "10.0.1.4", "10.0.1.5", "10.0.1.6"};
    for (const char* ip : ips) list.FindOrAddNode(Ip(ip), 6881, kKindNode, false, 19);
    AddServer(list, "10.0.0.9");
    list.at(list.size() - 1)->exhausted = true;
    list.at(list.size() - 2)->metainfo_source = true;
    Facts facts;
    PeerSerials serials;
    struct Limits {
        NodeConnectorInput in;
        int32_t opened;
    };
    const Limits limits[] = {
        {{0, 50, 0, 32, 52}, 4},   // 6 nodes, one exhausted, one the metainfo source; never the server
        {{48, 50, 0, 32, 52}, 2},  // the peer limit
        {{0, 50, 5, 4, 52}, 2},    // half-open: 8 - 1 - 5
        {{50, 50, 0, 32, 52}, 0},
    };
    for (const Limits& l : limits) {
        list.ForEach([](TPeerId& c) { c.open_connections = 0, c.retry_delay = 0; });
        Dialer dialer;
        EXPECT_EQ(RunNodeConnector(list, l.in, facts, dialer, serials), l.opened);
        for (const auto& d : dialer.dials) {
            EXPECT_FALSE(d.first->IsServer());
            EXPECT_FALSE(d.first->exhausted);
            EXPECT_FALSE(d.first->metainfo_source);
        }
    }
    // The P2P switch going off stops the walk.
    list.ForEach([](TPeerId& c) { c.open_connections = 0, c.retry_delay = 0; });
    Dialer dialer;
    dialer.p2p_calls_left = 4;  // one check before the walk, then one per candidate (the server first)
    EXPECT_EQ(RunNodeConnector(list, {0, 50, 0, 32, 52}, facts, dialer, serials), 2);
}

class FakePeer : public TRefObject {
public:
    explicit FakePeer(int32_t kind) : kind_(kind) {}
    int32_t kind() const { return kind_; }
    void Reset() { ++resets; }
    int resets = 0;

private:
    int32_t kind_;
};

TEST(PeerPool, ReuseByKindAndBound) {
    PeerPool<FakePeer> pool;
    RefPtr<FakePeer> http = RefPtr<FakePeer>::Adopt(new FakePeer(kKindHttp));
    pool.Return(http, 52);
    pool.Return(http, 52);
    EXPECT_EQ(pool.size(), 1u) << "a peer is pooled once";
    EXPECT_FALSE(pool.Take(kKindNode));
    RefPtr<FakePeer> again = pool.Take(kKindHttp);
    EXPECT_EQ(again.get(), http.get());
    EXPECT_EQ(pool.size(), 0u);
    EXPECT_EQ(http->resets, 3);
    again = RefPtr<FakePeer>();

    // Past budget + 12 pooled objects the pool is emptied before the next is kept.
    for (int i = 0; i < 4; ++i) pool.Return(RefPtr<FakePeer>::Adopt(new FakePeer(kKindNode)), 2);
    EXPECT_EQ(pool.size(), 4u);
    for (int i = 0; i < 11; ++i) pool.Return(RefPtr<FakePeer>::Adopt(new FakePeer(kKindNode)), 2);
    EXPECT_LE(pool.size(), 15u);
    EXPECT_GE(pool.size(), 1u);
    pool.Return(http, 2);
    EXPECT_TRUE(pool.Contains(http.get()));
    EXPECT_EQ(http->RefCount(), 2);
    pool.Clear();
    EXPECT_EQ(http->RefCount(), 1) << "the pool released its reference";
}

TEST(ActiveList, DropSetNamesPeersBySerial) {
    ActiveList<FakePeer> active;
    PeerSerials serials;
    std::vector<RefPtr<FakePeer>> peers;
    for (int i = 0; i < 3; ++i) {
        peers.push_back(RefPtr<FakePeer>::Adopt(new FakePeer(kKindNode)));
        active.Add(peers.back(), serials.Next());
    }
    // The middle peer ends and a new one connects: it never gets an old serial.
    active.Remove(peers[1].get());
    peers.push_back(RefPtr<FakePeer>::Adopt(new FakePeer(kKindNode)));
    active.Add(peers.back(), serials.Next());
    EXPECT_EQ(active[2].serial, 4u);

    DropSet drop{2, 3};
    const std::vector<FakePeer*> dropped = active.TakeDropped(drop);
    ASSERT_EQ(dropped.size(), 1u);
    EXPECT_EQ(dropped[0], peers[2].get());
    EXPECT_TRUE(drop.empty());

    active.Add(peers[0], 9);
    active.RemoveDuplicates();
    EXPECT_EQ(active.size(), 3u);
    active[0].peer = RefPtr<FakePeer>();
    active.Compact();
    EXPECT_EQ(active.size(), 2u);
}

}  // namespace
}  // namespace zl

#include "engine/net/peer_object.h"

// The task keeps its real peer objects in these containers.
template class zl::PeerPool<zl::TPeerObject>;
template class zl::ActiveList<zl::TPeerObject>;
