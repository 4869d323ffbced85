#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <set>

#include "engine/core/peers/candidate_list.h"
#include "engine/core/peers/source_penalty.h"
#include "engine/core/peers/source_states.h"

namespace zl {
namespace {

uint32_t Ip(const char* dotted) { return inet_addr(dotted); }

RefPtr<TPeerId> Node(const char* ip, int32_t port) {
    RefPtr<TPeerId> id = RefPtr<TPeerId>::Adopt(new TPeerId(std::string("btnode://") + ip + ":" + std::to_string(port)));
    id->kind = kKindNode;
    id->address = Ip(ip);
    id->port = port;
    id->parsed = true;
    id->peer_id = TPeerId::NodePeerId(id->address, uint16_t(port));
    return id;
}

RefPtr<TPeerId> Server(const std::string& text, const char* ip, const std::string& path, int32_t kind = kKindHttp) {
    RefPtr<TPeerId> id = RefPtr<TPeerId>::Adopt(new TPeerId(text));
    id->kind = kind;
    id->address = Ip(ip);
    id->port = 80;
    id->parsed = true;
    id->order_key = kOrderKeyServer;
    id->Source().http_path = path;
    return id;
}

class BlockList : public IAddressFilter {
public:
    std::set<uint32_t> blocked;
    bool IsBlocked(uint32_t a) const override { return blocked.count(a) != 0; }
};

TEST(CandidateOrder, KeysInTurn) {
    // Each row: a goes before b because of the named field; the rest are equal.
    struct Row {
        const char* why;
        int32_t key_a, key_b, fin_a, fin_b, att_a, att_b, con_a, con_b, delay_a, delay_b;
    };
    const Row rows[] = {
        {"higher order key", 29, 19, 0, 9, 9, 0, 9, 0, 9, 0},
        {"more finished pieces", 29, 29, 5, 4, 9, 0, 9, 0, 9, 0},
        {"fewer attempts", 29, 29, 5, 5, 1, 2, 9, 0, 9, 0},
        {"fewer connections made", 29, 29, 5, 5, 1, 1, 0, 1, 9, 0},
        {"smaller retry delay", 29, 29, 5, 5, 1, 1, 0, 0, 3, 4},
    };
    for (const Row& r : rows) {
        RefPtr<TPeerId> a = RefPtr<TPeerId>::Adopt(new TPeerId("a"));
        RefPtr<TPeerId> b = RefPtr<TPeerId>::Adopt(new TPeerId("b"));
        a->order_key = r.key_a, b->order_key = r.key_b;
        a->finished_pieces = r.fin_a, b->finished_pieces = r.fin_b;
        a->attempts = r.att_a, b->attempts = r.att_b;
        a->connection_count = r.con_a, b->connection_count = r.con_b;
        a->retry_delay = r.delay_a, b->retry_delay = r.delay_b;
        EXPECT_LT(CompareCandidates(a.get(), b.get()), 0) << r.why;
        EXPECT_GT(CompareCandidates(b.get(), a.get()), 0) << r.why;
    }
    RefPtr<TPeerId> a = RefPtr<TPeerId>::Adopt(new TPeerId("a"));
    EXPECT_LT(CompareCandidates(a.get(), nullptr), 0);
    EXPECT_EQ(CompareCandidates(nullptr, nullptr), 0);
}

TEST(CandidateList, AdmissionRefusals) {
    BlockList filter;
    filter.blocked.insert(Ip("10.9.9.9"));
    AdmissionRules rules;
    rules.refuse_own_peer_id = true;
    rules.own_peer_id = Node("10.1.1.1", 7000)->peer_id;
    rules.listener_address = Ip("10.0.0.5");
    rules.listener_port = 8080;
    rules.filter = &filter;

    CandidateList list;
    EXPECT_FALSE(list.AddCandidate(*Node("127.0.0.1", 6881), false, false, rules)) << "loopback node";
    EXPECT_TRUE(list.AddCandidate(*Node("127.0.0.2", 6881), false, false, rules)) << "only 127.0.0.1 is refused";
    EXPECT_FALSE(list.AddCandidate(*Node("10.1.1.1", 7000), false, false, rules)) << "our own peer id";
    EXPECT_FALSE(list.AddCandidate(*Node("10.0.0.5", 8080), false, false, rules)) << "our own listener";
    EXPECT_FALSE(list.AddCandidate(*Node("10.9.9.9", 6881), false, false, rules)) << "blocked by the filter";
    EXPECT_EQ(list.size(), 1u);

    // A plain HTTP task does not compare peer ids.
    rules.refuse_own_peer_id = false;
    EXPECT_TRUE(list.AddCandidate(*Node("10.1.1.1", 7000), false, false, rules));
    EXPECT_EQ(list.size(), 2u);
    EXPECT_TRUE(list.EverAdmitted());
}

TEST(CandidateList, DuplicatesAreKnownNotAdded) {
    AdmissionRules rules;
    CandidateList list;
    ASSERT_TRUE(list.AddCandidate(*Server("http://Mirror.example/a.bin", "10.0.0.1", "/a.bin"), false, false, rules));
    // Same text in another case.
    EXPECT_TRUE(list.AddCandidate(*Server("HTTP://mirror.example/A.BIN", "10.0.0.1", "/a.bin"), false, false, rules));
    // Same server, same path in another case, different text.
    EXPECT_TRUE(list.AddCandidate(*Server("http://10.0.0.1/A.bin", "10.0.0.1", "/A.BIN"), false, false, rules));
    EXPECT_EQ(list.size(), 1u);
    // Same server, another file: a new candidate.
    EXPECT_TRUE(list.AddCandidate(*Server("http://10.0.0.1/b.bin", "10.0.0.1", "/b.bin"), false, false, rules));
    EXPECT_EQ(list.size(), 2u);
    // The same text at another address (another address of a multi-address host) is a new candidate.
    EXPECT_TRUE(list.AddCandidate(*Server("http://mirror.example/a.bin", "10.0.0.2", "/a.bin"), false, false, rules));
    EXPECT_EQ(list.size(), 3u);
}

TEST(CandidateList, KnownNodeTakesPeerIdOnlyWhenAsked) {
    AdmissionRules rules;
    CandidateList list;
    ASSERT_TRUE(list.AddCandidate(*Node("10.0.0.7", 6881), false, false, rules));
    TPeerId* known = list.at(0);
    const PeerIdBytes original = known->peer_id;
    EXPECT_EQ(known->order_key, kOrderKeyNodeMin);

    RefPtr<TPeerId> other = Node("10.0.0.7", 6881);
    other->text = "btnode://other";
    other->peer_id.fill(7);
    EXPECT_TRUE(list.AddCandidate(*other, false, false, rules));
    EXPECT_EQ(known->peer_id, original) << "neither hint nor force";
    EXPECT_TRUE(list.AddCandidate(*other, true, false, rules));
    EXPECT_EQ(known->peer_id, original) << "hint without the UDP mark";
    other->peer_id[16] = 'U', other->peer_id[17] = 'D', other->peer_id[18] = 'P';
    EXPECT_TRUE(list.AddCandidate(*other, true, false, rules));
    EXPECT_EQ(known->peer_id, other->peer_id);
    other->peer_id.fill(9);
    EXPECT_TRUE(list.AddCandidate(*other, false, true, rules));
    EXPECT_EQ(known->peer_id, other->peer_id) << "force";
    EXPECT_EQ(list.size(), 1u);

    // A new node of this program gets the client prefix.
    RefPtr<TPeerId> udp = Node("10.0.0.8", 6881);
    udp->peer_id.fill(0x55);
    udp->peer_id[16] = 'U', udp->peer_id[17] = 'D', udp->peer_id[18] = 'P';
    ASSERT_TRUE(list.AddCandidate(*udp, true, false, rules));
    const TPeerId* added = list.FindMatch(*udp);
    ASSERT_NE(added, nullptr);
    EXPECT_NE(added, udp.get()) << "a copy is admitted";
    EXPECT_EQ(added->peer_id[0], 0x00);
    EXPECT_EQ(added->peer_id[1], 0x01);
    EXPECT_EQ(added->peer_id[2], 'Z');
    EXPECT_EQ(added->peer_id[3], 'l');
    EXPECT_EQ(udp->RefCount(), 1) << "the caller's identity is not kept";
}

TEST(CandidateList, ListStaysSortedAndHoldsOneReference) {
    AdmissionRules rules;
    CandidateList list;
    list.AddCandidate(*Node("10.0.0.1", 1), false, false, rules);
    list.AddCandidate(*Server("http://a/x", "10.0.1.1", "/x"), false, false, rules);
    list.AddCandidate(*Server("ftp://b/x", "10.0.1.2", "/x", kKindFtp), false, false, rules);
    ASSERT_EQ(list.size(), 3u);
    EXPECT_TRUE(list.at(0)->IsServer());
    EXPECT_TRUE(list.at(1)->IsServer());
    EXPECT_TRUE(list.at(2)->IsNode());
    for (size_t i = 0; i < list.size(); ++i) EXPECT_EQ(list.at(i)->RefCount(), 1);

    RefPtr<TPeerId> held = RefPtr<TPeerId>::Share(list.at(2));
    EXPECT_TRUE(list.Remove(held.get()));
    EXPECT_EQ(held->RefCount(), 1) << "the list released its reference";
}

TEST(CandidateList, FindOrAddNode) {
    CandidateList list;
    bool added = false;
    TPeerId* node = list.FindOrAddNode(Ip("10.0.0.3"), 6881, kKindNode, false, 10, &added);
    ASSERT_NE(node, nullptr);
    EXPECT_TRUE(added);
    EXPECT_EQ(node->order_key, kOrderKeyNodeMin) << "a node is at least 19";
    EXPECT_TRUE(node->parsed);
    EXPECT_EQ(node->max_connections, 1);
    EXPECT_EQ(node->peer_id, TPeerId::NodePeerId(Ip("10.0.0.3"), 6881));
    EXPECT_EQ(list.FindOrAddNode(Ip("10.0.0.3"), 6881, kKindNode, false, kOrderKeyLan, &added), node);
    EXPECT_FALSE(added);
    EXPECT_EQ(node->order_key, kOrderKeyLan);
    EXPECT_EQ(list.size(), 1u);

    TPeerId* tracker = list.FindOrAddNode(Ip("10.0.0.4"), 6969, kKindTracker, false, 20);
    TPeerId* front = list.FindOrAddNode(Ip("10.0.0.5"), 6881, kKindNode, true, 20);
    EXPECT_EQ(list.at(0), front);
    EXPECT_EQ(list.at(2), tracker);
    tracker->peer_id.fill(1);
    EXPECT_EQ(list.FindOrAddNode(Ip("10.0.0.4"), 6969, kKindTracker, false, 21), tracker);
    EXPECT_EQ(tracker->peer_id, PeerIdBytes{}) << "a non-node's peer id is cleared";
}

// Trackers and the DHT hand over up to a thousand peers an answer, again and
// again: the BitTorrent nodes a list keeps are bounded. A new node takes the
// place of the least promising one without a connection; servers, trackers
// and nodes with an open connection are never pushed out.
TEST(CandidateList, NodeCountIsBounded) {
    AdmissionRules rules;
    CandidateList list;
    list.AddCandidate(*Server("http://a/x", "10.0.1.1", "/x"), false, false, rules);
    TPeerId* connected = list.FindOrAddNode(Ip("10.1.0.1"), 6881, kKindNode, false, kOrderKeyNodeMin);
    ASSERT_NE(connected, nullptr);
    connected->open_connections = 1;
    connected->attempts = 50;  // the worst of the list by its order, yet connected
    TPeerId* tracker = list.FindOrAddNode(Ip("10.1.0.2"), 6969, kKindTracker, false, 20);
    ASSERT_NE(tracker, nullptr);
    const size_t total = CandidateList::kMaxNodes + 500;
    for (size_t i = 0; i < total; ++i) {
        const std::string ip = "10.2." + std::to_string(i / 250) + "." + std::to_string(i % 250 + 1);
        RefPtr<TPeerId> node = Node(ip.c_str(), 6881);
        node->attempts = i % 7 == 0 ? 3 : 0;  // some have failed before
        if (i % 2 == 0) {
            EXPECT_TRUE(list.AddCandidate(*node, false, false, rules));
        } else {
            TPeerId* added = list.FindOrAddNode(node->address, 6881, kKindNode, i % 4 == 1, kOrderKeyNodeMin);
            ASSERT_NE(added, nullptr);
            added->attempts = node->attempts;
        }
    }
    size_t nodes = 0, servers = 0;
    bool kept_connected = false, kept_tracker = false;
    list.ForEach([&](const TPeerId& c) {
        nodes += c.IsNode() ? 1 : 0;
        servers += c.IsServer() ? 1 : 0;
        kept_connected = kept_connected || &c == connected;
        kept_tracker = kept_tracker || &c == tracker;
    });
    EXPECT_LE(nodes, CandidateList::kMaxNodes);
    EXPECT_EQ(servers, 1u);
    EXPECT_TRUE(kept_connected);
    EXPECT_TRUE(kept_tracker);
    // The newest node is there, and the known one is still found.
    const std::string last = "10.2." + std::to_string((total - 1) / 250) + "." + std::to_string((total - 1) % 250 + 1);
    EXPECT_NE(list.FindMatch(*Node(last.c_str(), 6881)), nullptr);
    EXPECT_EQ(list.FindOrAddNode(Ip("10.1.0.1"), 6881, kKindNode, false, kOrderKeyNodeMin), connected);
}

TEST(CandidateList, ForgetSource) {
    AdmissionRules rules;
    CandidateList list;
    list.AddCandidate(*Node("10.0.0.1", 1), false, false, rules);
    list.AddCandidate(*Server("http://a/x", "10.0.1.1", "/x"), false, false, rules);

    RefPtr<TPeerId> same_node = Node("10.0.0.1", 1);
    same_node->text = "another text";
    EXPECT_TRUE(list.ForgetSource(*same_node, true, 0));
    EXPECT_EQ(list.FindMatch(*same_node)->retry_delay, 1) << "at least one pass";
    EXPECT_TRUE(list.ForgetSource(*same_node, true, 5));
    EXPECT_EQ(list.FindMatch(*same_node)->retry_delay, 6);

    RefPtr<TPeerId> moved = Server("HTTP://A/X", "10.0.1.9", "/x");
    EXPECT_FALSE(list.ForgetSource(*moved, false, 0)) << "same text, another address";
    EXPECT_TRUE(list.ForgetSource(*Server("HTTP://A/X", "10.0.1.1", "/x"), false, 0));
    EXPECT_EQ(list.size(), 1u);
}

TEST(CandidateCleanup, FailedServers) {
    struct Row {
        int32_t kind, failed, finished;
        bool dropped;
    };
    const Row rows[] = {
        {kKindHttp, 31, 0, false},    // too few failures to judge
        {kKindHttp, 32, 0, true},     // nothing ever finished: 100 % failure, no division by zero
        {kKindHttp, 32, 64, true},    // exactly 50 %
        {kKindHttp, 32, 65, false},   // 49 %
        {kKindFtp, 100, 10, true},
        {kKindNode, 100, 0, false},   // only servers are judged
        {kKindTracker, 100, 0, false},
    };
    CandidateList list;
    int expected_left = 0;
    for (const Row& r : rows) {
        TPeerId* c = list.FindOrAddNode(Ip("10.0.0.1") + uint32_t(list.size() << 24), 80, r.kind, false, 29);
        c->failed_pieces = r.failed;
        c->finished_pieces = r.finished;
        EXPECT_EQ(IsFailedServer(*c), r.dropped) << r.kind << " " << r.failed << "/" << r.finished;
        if (!r.dropped) ++expected_left;
    }
    EXPECT_EQ(list.RemoveFailedServers(), std::size(rows) - size_t(expected_left));
    EXPECT_EQ(list.size(), size_t(expected_left));
}

TEST(CandidateList, ExpandMultiAddress) {
    AdmissionRules rules;
    CandidateList list;
    RefPtr<TPeerId> http = Server("http://multi/x", "10.0.2.1", "/x");
    http->Source().addresses = {Ip("10.0.2.1"), Ip("10.0.2.2"), Ip("10.0.2.3")};
    RefPtr<TPeerId> ftp = Server("ftp://multi/x", "10.0.3.1", "/x", kKindFtp);
    ftp->Source().addresses = {Ip("10.0.3.1"), Ip("10.0.3.2")};
    list.AddCandidate(*http, false, false, rules);
    list.AddCandidate(*ftp, false, false, rules);
    EXPECT_EQ(list.ExpandMultiAddress(rules), 3u);
    EXPECT_EQ(list.size(), 5u);
    EXPECT_EQ(list.ExpandMultiAddress(rules), 0u) << "expanding again adds nothing";
    int keys28 = 0;
    list.ForEach([&](TPeerId& c) { keys28 += c.order_key == kOrderKeyRedirect; });
    EXPECT_EQ(keys28, 1) << "the further FTP address";
}

TEST(SourcePenalty, RetryDelayAttemptsAndPlace) {
    AdmissionRules rules;
    CandidateList list;
    list.AddCandidate(*Node("10.0.0.1", 1), false, false, rules);
    list.AddCandidate(*Node("10.0.0.2", 1), false, false, rules);
    TPeerId* first = list.at(0);
    MarkedAddresses marked;

    // A peer accepted from outside does not touch the candidate.
    EXPECT_EQ(PenaliseSource(list, *first, {true, true, false, false}, 1, marked, false), nullptr);

    // No peer object: delay + passes, one more attempt, no move.
    const uint32_t first_address = first->address;
    first->attempts = 2;
    EXPECT_EQ(PenaliseSource(list, *first, {}, kPenaltyDropped, marked, false), first);
    EXPECT_EQ(first->retry_delay, 3 * 1 + 3);
    EXPECT_EQ(first->attempts, 3);
    EXPECT_EQ(list.at(0), first);

    // A node that failed before its handshake: extra delay and to the end.
    first->retry_delay = 0;
    marked.insert(first_address);
    PenaliseSource(list, *first, {true, false, false, false}, kPenaltyFailedPass, marked, true);
    // marked: no 3 x (attempts - 1); + 1 pass; attempts 4; + (1 x 1 + 5); + 20 while complete.
    EXPECT_EQ(first->retry_delay, 1 + 6 + 20);
    EXPECT_EQ(first->attempts, 4);
    EXPECT_TRUE(marked.empty()) << "a mark is used once";
    EXPECT_EQ(list.at(1), first);

    // A handshaken peer that was not stalled stays where it is.
    TPeerId* other = list.at(0);
    PenaliseSource(list, *other, {true, false, true, false}, kPenaltyPruned, marked, false);
    EXPECT_EQ(other->retry_delay, 6);
    EXPECT_EQ(list.at(0), other);

    // A server with other working connections only gets a short pause.
    list.AddCandidate(*Server("http://a/x", "10.0.1.1", "/x"), false, false, rules);
    TPeerId* server = list.FindMatch(*Server("http://a/x", "10.0.1.1", "/x"));
    server->open_connections = 2;
    PenaliseSource(list, *server, {true, false, true, false}, kPenaltyPruned, marked, false);
    EXPECT_EQ(server->retry_delay, 2);
    EXPECT_EQ(server->attempts, 0);
    PenaliseSource(list, *server, {true, false, true, false}, kPenaltyPruned, marked, false);
    EXPECT_EQ(server->retry_delay, 2) << "only while no delay is pending";
}

TEST(SourcePenalty, HugeCountsDoNotOverflow) {
    CandidateList list;
    TPeerId* node = list.FindOrAddNode(Ip("10.0.0.1"), 1, kKindNode, false, 19);
    node->attempts = INT32_MAX;
    node->retry_delay = INT32_MAX / 2;
    MarkedAddresses marked;
    PenaliseSource(list, *node, {true, false, false, true}, 100000, marked, true);
    EXPECT_GT(node->retry_delay, 0);
    EXPECT_EQ(node->attempts, INT32_MAX);
}

TEST(SourceStates, NormaliseAndRefresh) {
    struct Row {
        int32_t state;
        bool has_torrent;
        int32_t normalised;
    };
    const Row rows[] = {{17, false, 1}, {17, true, 17}, {16, false, 0}, {16, true, 0}, {0, false, 0}, {1, true, 1}};
    for (const Row& r : rows) EXPECT_EQ(NormalisedSourceState(r.state, r.has_torrent), r.normalised) << r.state;

    int32_t state = kSourceMetainfo;
    RefPtr<TPeerId> id = Server("http://a/t.torrent", "10.0.0.1", "/t.torrent");
    id->max_connections = 4;
    EXPECT_TRUE(PrepareSourceCandidate(state, *id, true));
    EXPECT_EQ(state, kSourceMetainfoTaken);
    EXPECT_TRUE(id->metainfo_source);
    EXPECT_EQ(id->max_connections, 1);
    EXPECT_EQ(id->order_key, kOrderKeyServer);
    EXPECT_FALSE(PrepareSourceCandidate(state, *id, true)) << "taken sources are skipped";

    state = kSourceNew;
    RefPtr<TPeerId> none = Server("http://b/x", "0.0.0.0", "/x");
    EXPECT_TRUE(PrepareSourceCandidate(state, *none, true));
    EXPECT_EQ(state, kSourceNoAddress);
    state = kSourceNew;
    EXPECT_FALSE(PrepareSourceCandidate(state, *none, false));
    EXPECT_EQ(state, kSourceNew);

    std::string pending;
    EXPECT_FALSE(AppendSourcesText(pending, ""));
    EXPECT_TRUE(AppendSourcesText(pending, "http://a/x"));
    EXPECT_TRUE(AppendSourcesText(pending, "ftp://b/y"));
    EXPECT_EQ(pending, "http://a/x\r\nftp://b/y");
}

}  // namespace
}  // namespace zl

namespace zl {
namespace {

TEST(CandidateList, RealIpFilterAndReResolve) {
    CIPFilter filter;
    ASSERT_TRUE(filter.AddRange(0x0A000000u, 0x0A0000FFu));  // 10.0.0.0-10.0.0.255, host order
    IpFilterCheck check(filter);
    AdmissionRules rules;
    rules.filter = &check;
    CandidateList list;
    EXPECT_FALSE(list.AddCandidate(*Node("10.0.0.200", 6881), false, false, rules));
    EXPECT_TRUE(list.AddCandidate(*Node("10.0.1.1", 6881), false, false, rules));

    // Unparsed candidates are parsed again; those that fail leave the list.
    RefPtr<TPeerId> later = Server("http://later/x", "10.0.9.1", "/x");
    later->parsed = false;
    RefPtr<TPeerId> gone = Server("http://gone/x", "10.0.9.2", "/x");
    gone->parsed = false;
    list.AddCandidate(*later, false, false, rules);
    list.AddCandidate(*gone, false, false, rules);
    ASSERT_EQ(list.size(), 3u);
    bool host_failed = false;
    const size_t dropped = list.ReResolve(
        [](TPeerId& c) {
            if (c.text == "http://gone/x") {
                c.resolve_failed = true;
                return false;
            }
            c.parsed = true;
            return true;
        },
        &host_failed);
    EXPECT_EQ(dropped, 1u);
    EXPECT_TRUE(host_failed);
    EXPECT_EQ(list.size(), 2u);
    EXPECT_EQ(list.FindMatch(*gone), nullptr);
    EXPECT_TRUE(list.FindMatch(*later)->parsed);
}

}  // namespace
}  // namespace zl
