// One DHT node answering queries and keeping its table alive with pings, on
// the simulated network and the test clock.
#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <string>
#include <vector>

#include "tests/engine/udp/kad_test_support.h"

namespace zl {
namespace {

using namespace std::string_literals;
using test::KrpcQuery;
using test::KrpcResponse;
using test::ParseKrpc;
using test::SimClient;

KadId Id(uint32_t top, uint32_t low = 1) { return KadId(top, 0, 0, 0, low); }

class KadNodeTest : public ::testing::Test {
protected:
    void SetUp() override {
        node.SetSender(net.Attach(node_address, node_port, &node));
        node.SetRouters({});
        node.Begin();
    }
    void TearDown() override { node.End(); }

    // Delivers and runs passes of the node until the network is quiet.
    void Run() {
        for (int i = 0; i < 8; ++i) {
            net.DeliverQueued();
            node.Pass();
        }
        net.DeliverQueued();
    }
    // Answers (and errors) the client got for what it sent.
    std::vector<std::string> Exchange(const std::string& bytes, SimClient& from) {
        from.received.clear();
        from.SendTo(bytes, node_address, node_port);
        Run();
        std::vector<std::string> answers;
        for (const auto& r : from.received)
            if (ParseKrpc(r.bytes).y != "q") answers.push_back(r.bytes);
        return answers;
    }
    std::vector<std::string> Exchange(const std::string& bytes) { return Exchange(bytes, client); }
    std::string Own() { return node.OwnNodeId().Bytes(); }

    FakeClock clock;
    test::KadSimNetwork net;
    const uint32_t node_address = inet_addr("127.0.7.1");
    const uint16_t node_port = 7001;
    CKademlia node{clock};
    SimClient client{net, "127.0.7.2", 7002};
    const KadId client_id = Id(0x22222222);
};

TEST_F(KadNodeTest, PingNeedsAnEightByteTransactionAndEchoesIt) {
    EXPECT_TRUE(Exchange(KrpcQuery(client_id, "ping", "", "aa")).empty());
    EXPECT_TRUE(Exchange(KrpcQuery(client_id, "ping", "", "123456789")).empty());
    const auto answers = Exchange(KrpcQuery(client_id, "ping", "", "ABCDEFGH"));
    ASSERT_EQ(answers.size(), 1u);
    EXPECT_EQ(answers[0], "d1:rd2:id20:" + Own() + "e1:t8:ABCDEFGH1:y1:re");
    // The asker is now in the table, as a node that has not answered.
    const auto known = node.Table().Find(KadNode(client_id, client.Address(), client.Port()));
    ASSERT_TRUE(known);
    EXPECT_TRUE(known->unanswered);
}

TEST_F(KadNodeTest, MalformedOrForeignMessagesAreDropped) {
    const std::string dropped[] = {
        "d1:eli201e23:A Generic Error Ocurrede1:t8:ABCDEFGH1:y1:ee",  // an error, well formed
        KrpcQuery(KadId::FromBytes(std::string(20, 'x')), "ping", "", "ABCDEFGH").replace(9, 2, "19"),
        "d1:ad2:id19:" + std::string(19, 'x') + "e1:q4:ping1:t8:ABCDEFGH1:y1:qe",  // short id
        "d1:q4:ping1:t8:ABCDEFGH1:y1:qe",                                         // no arguments
        KrpcQuery(client_id, "vote", "", "ABCDEFGH"),                              // unknown method
        "d1:ad2:id20:" + client_id.Bytes(),                                        // truncated
        "dddddddddddddddddddddddddddddddddddddddddddddddddddddddddddddd",
    };
    for (const std::string& bytes : dropped) EXPECT_TRUE(Exchange(bytes).empty()) << bytes;
    EXPECT_EQ(Exchange(KrpcQuery(client_id, "ping", "", "ABCDEFGH")).size(), 1u);
}

TEST_F(KadNodeTest, FindNodeAnswersWithAnsweredNodesAndAToken) {
    // No answer for the own id or the zero id.
    EXPECT_TRUE(Exchange(KrpcQuery(client_id, "find_node", "6:target20:" + Own(), "ABCDEFGH")).empty());
    EXPECT_TRUE(Exchange(KrpcQuery(client_id, "find_node", "6:target20:" + std::string(20, '\0'), "ABCDEFGH")).empty());

    const std::string target = Id(0x12345678).Bytes();
    auto answers = Exchange(KrpcQuery(client_id, "find_node", "6:target20:" + target, "ABCDEFGH"));
    ASSERT_EQ(answers.size(), 1u);
    const std::string token = node.Table().MakeToken(client.Address(), client.Port());
    // The client itself is known only as unanswered, so no node is given.
    EXPECT_EQ(answers[0], "d1:rd2:id20:" + Own() + "5:nodes0:5:token20:" + token + "e1:t8:ABCDEFGH1:y1:re");

    const KadNode answered(Id(0x12340000), inet_addr("127.0.7.50"), 6881);
    node.Table().Insert(answered, true, false, node.Now());
    answers = Exchange(KrpcQuery(client_id, "find_node", "6:target20:" + target, "ABCDEFGH"));
    ASSERT_EQ(answers.size(), 1u);
    auto p = ParseKrpc(answers[0]);
    ASSERT_TRUE(p.body);
    std::string compact;
    AppendCompactNode(compact, answered);
    EXPECT_EQ(p.body->BytesOf("nodes"), compact);
}

TEST_F(KadNodeTest, GetPeersGivesFiftyOfSeventyStoredPeersOrNodes) {
    const KadId hash = Id(0xABCD0000);
    for (uint32_t i = 0; i < 70; ++i) node.PeerStore().Store(hash, htonl(0x0A000000u + i), 6881, node.Now());
    auto answers = Exchange(KrpcQuery(client_id, "get_peers", "9:info_hash20:" + hash.Bytes(), "ABCDEFGH"));
    ASSERT_EQ(answers.size(), 1u);
    const std::string token = node.Table().MakeToken(client.Address(), client.Port());
    const std::string head = "d1:rd2:id20:" + Own() + "6:valuesl";
    ASSERT_EQ(answers[0].substr(0, head.size()), head);
    EXPECT_EQ(answers[0].size(), head.size() + 50 * 8 + 1 + 30 + 21);
    EXPECT_NE(answers[0].find("e5:token20:" + token + "e1:t8:ABCDEFGH"), std::string::npos);
    // An info hash nobody announced: the nodes answer.
    answers = Exchange(KrpcQuery(client_id, "get_peers", "9:info_hash20:" + Id(5).Bytes(), "ABCDEFGH"));
    ASSERT_EQ(answers.size(), 1u);
    EXPECT_EQ(answers[0], "d1:rd2:id20:" + Own() + "5:nodes0:5:token20:" + token + "e1:t8:ABCDEFGH1:y1:re");
    // A short info hash gets nothing.
    EXPECT_TRUE(Exchange(KrpcQuery(client_id, "get_peers", "9:info_hash3:abc", "ABCDEFGH")).empty());
}

TEST_F(KadNodeTest, AnnounceNeedsTheTokenOfTheSameEndpointAndAPortInRange) {
    const KadId hash = Id(0xABCD0000);
    SimClient other_port(net, "127.0.7.2", 7003);
    auto token_for = [&](SimClient& c) { return node.Table().MakeToken(c.Address(), c.Port()); };
    auto announce = [&](int64_t port, const std::string& token) {
        return KrpcQuery(client_id, "announce_peer",
                         "9:info_hash20:" + hash.Bytes() + "4:porti" + std::to_string(port) + "e5:token" +
                             std::to_string(token.size()) + ":" + token,
                         "ABCDEFGH");
    };
    const std::string invalid = "d1:e20:Invalid Write Token!1:t8:ABCDEFGH1:y1:ee";
    // A token made for another port of the same address is refused.
    EXPECT_EQ(Exchange(announce(6881, token_for(other_port))), std::vector<std::string>{invalid});
    EXPECT_EQ(Exchange(announce(6881, "")), std::vector<std::string>{invalid});
    // Ports outside 1..65535 get no answer at all, and nothing is stored.
    for (int64_t port : {int64_t(0), int64_t(-1), int64_t(65536), int64_t(4294967297)})
        EXPECT_TRUE(Exchange(announce(port, token_for(client))).empty()) << port;
    EXPECT_FALSE(node.PeerStore().Has(hash));
    // The right token stores the sender's address with the announced port.
    const std::string ok = "d1:rd2:id20:" + Own() + "e1:t8:ABCDEFGH1:y1:re";
    EXPECT_EQ(Exchange(announce(51413, token_for(client))), std::vector<std::string>{ok});
    EXPECT_EQ(node.PeerStore().PlainPeers(hash, node.Now()), "\x7f\x00\x07\x02\xc8\xd5"s);

    // Still valid after one rotation of the secret, refused after two.
    const std::string token = token_for(client);
    clock.Advance(301'000);
    Run();
    EXPECT_NE(token_for(client), token);
    EXPECT_EQ(Exchange(announce(51413, token)), std::vector<std::string>{ok});
    clock.Advance(301'000);
    Run();
    EXPECT_EQ(Exchange(announce(51413, token)), std::vector<std::string>{invalid});
}

TEST_F(KadNodeTest, AFullInboxDropsNewDatagramsUntilTaken) {
    const std::string ping = KrpcQuery(client_id, "ping", "", "ABCDEFGH");
    for (int i = 0; i < 2100; ++i) node.OnDhtDatagram(reinterpret_cast<const uint8_t*>(ping.data()), ping.size(),
                                                      client.Address(), client.Port());
    KadStats s = node.Stats();
    EXPECT_EQ(s.inbox, CKademlia::kInboxFull);
    EXPECT_EQ(s.received_messages, CKademlia::kInboxFull);
    EXPECT_EQ(s.dropped_datagrams, 2100 - CKademlia::kInboxFull);
    node.Pass();
    EXPECT_EQ(node.Stats().inbox, 0u);
    EXPECT_EQ(net.DeliverQueued(), CKademlia::kInboxFull);  // every queued ping was answered
    EXPECT_EQ(Exchange(ping).size(), 1u);
    // A stopped node takes nothing.
    node.End();
    node.OnDhtDatagram(reinterpret_cast<const uint8_t*>(ping.data()), ping.size(), client.Address(), client.Port());
    EXPECT_EQ(node.Stats().inbox, 0u);
    node.Begin();
}

// A datagram of 8 KiB can hold about 4000 bencode elements (an argument that
// is a list of empty lists), half a MiB once parsed: the inbox fills by the
// elements it holds, not only by its count, so a flood of them cannot pin a
// GiB until the next pass. The node still answers what it took.
TEST_F(KadNodeTest, AnInboxOfElementHeavyDatagramsFillsByItsParsedSize) {
    const size_t bare = KrpcQuery(client_id, "ping", "1:xle", "ABCDEFGH").size();
    std::string empty_lists;
    for (size_t i = 0; i < (kMaxUdpDatagram - bare) / 2; ++i) empty_lists += "le";
    const std::string heavy = KrpcQuery(client_id, "ping", "1:xl" + empty_lists + "e", "ABCDEFGH");
    ASSERT_GE(heavy.size(), kMaxUdpDatagram - 1);
    ASSERT_LE(heavy.size(), kMaxUdpDatagram);
    const size_t sent = CKademlia::kInboxFull;
    for (size_t i = 0; i < sent; ++i)
        node.OnDhtDatagram(reinterpret_cast<const uint8_t*>(heavy.data()), heavy.size(), client.Address(),
                           client.Port());
    const KadStats s = node.Stats();
    EXPECT_GT(s.inbox, 0u);
    EXPECT_LE(s.inbox * 4000, CKademlia::kInboxElementLimit + 4096);
    EXPECT_EQ(s.dropped_datagrams, sent - s.inbox);
    node.Pass();
    EXPECT_EQ(node.Stats().inbox, 0u);
    EXPECT_EQ(net.DeliverQueued(), s.inbox);  // each one taken was answered
    const std::string ping = KrpcQuery(client_id, "ping", "", "ABCDEFGH");
    EXPECT_EQ(Exchange(ping).size(), 1u);
}

// A table whose own id is at the top, with four buckets of nodes that
// answer; `weak` is a member of the farthest bucket that never answered.
class KadPingTest : public KadNodeTest {
protected:
    void SetUp() override {
        KadNodeTest::SetUp();
        node.Table().SetOwnId(Id(0xFFFFFFF0));
        const uint32_t tops[] = {0x10000000, 0x90000000, 0xD0000000, 0xF0000000};
        for (uint32_t top : tops) {
            for (uint32_t i = 0; i < (top == 0xF0000000 ? 5u : 10u); ++i) {
                const uint16_t port = uint16_t(10000 + members.size());
                members.push_back(std::make_unique<SimClient>(net, "127.0.7.20", port));
                const KadId id = Id(top + i, port);
                test::AnswerQueries(*members.back(), id);
                const bool is_weak = top == 0x10000000 && i == 9;
                if (is_weak) members.back()->script = nullptr;  // silent unless a test says otherwise
                const KadNode n(id, members.back()->Address(), port);
                node.Table().Insert(n, !is_weak, false, node.Now());
                if (is_weak) weak = n, weak_client = members.back().get();
            }
        }
        ASSERT_GE(node.Table().Ranges().size(), 4u);
        ASSERT_EQ(node.Table().Count(), 35u);
    }
    // The newcomer answers a ping to its address, which puts it forward for
    // the table. (A node that only queries us is inserted, never pinged for.)
    void NewcomerAnswers() {
        test::AnswerQueries(newcomer_client, newcomer.id);
        node.PingAddress(newcomer.address, newcomer.port);
    }
    size_t PingsTo(SimClient& c) {
        size_t n = 0;
        for (const auto& r : c.received) n += ParseKrpc(r.bytes).method == "ping";
        return n;
    }

    std::vector<std::unique_ptr<SimClient>> members;
    KadNode weak;
    SimClient* weak_client = nullptr;
    SimClient newcomer_client{net, "127.0.7.30", 7030};
    KadNode newcomer{Id(0x10000100, 77), inet_addr("127.0.7.30"), 7030};
};

TEST_F(KadPingTest, AWeakMemberThatAnswersKeepsItsPlace) {
    test::AnswerQueries(*weak_client, weak.id);
    NewcomerAnswers();
    Run();
    EXPECT_EQ(PingsTo(*weak_client), 1u);
    EXPECT_FALSE(node.Table().Find(weak)->unanswered);
    EXPECT_FALSE(node.Table().Find(newcomer));  // no room once the member answered
    EXPECT_EQ(node.Stats().pending_pings, 0u);
}

TEST_F(KadPingTest, AWeakMemberSilentForTwoPingsIsReplacedByTheNewcomer) {
    NewcomerAnswers();
    Run();
    EXPECT_EQ(PingsTo(*weak_client), 1u);
    EXPECT_EQ(node.Stats().pending_pings, 1u);
    clock.Advance(10'000);
    Run();
    EXPECT_EQ(PingsTo(*weak_client), 2u);  // one failure: pinged again, the newcomer waits again
    EXPECT_TRUE(node.Table().Find(weak));
    clock.Advance(10'000);
    Run();
    EXPECT_FALSE(node.Table().Find(weak));
    EXPECT_TRUE(node.Table().Find(newcomer));
    EXPECT_EQ(node.Table().Count(), 35u);
}

TEST_F(KadPingTest, AnAddressAnsweringWithAnotherIdCountsAsAFailureOfTheOldNode) {
    // Each answer under another id fails the pinged record; the second
    // failure hands its place to the waiting newcomer. The new id waits
    // behind and finds no room among nodes that all answered.
    const KadId new_id = Id(0x10000000 + 9, 4242);
    test::AnswerQueries(*weak_client, new_id);
    NewcomerAnswers();
    Run();
    EXPECT_EQ(PingsTo(*weak_client), 2u);
    EXPECT_FALSE(node.Table().Find(weak));
    EXPECT_TRUE(node.Table().Find(newcomer));
    EXPECT_EQ(node.Stats().pending_pings, 0u);
}

TEST_F(KadNodeTest, ABootstrapPingAnsweredAddsTheNodeAsAnswered) {
    SimClient router(net, "127.0.7.40", 6881);
    const KadId router_id = Id(0x40404040);
    test::AnswerQueries(router, router_id);
    node.PingAddress(router.Address(), router.Port());
    EXPECT_EQ(node.Stats().bootstrap_pings, 1u);
    Run();
    const auto known = node.Table().Find(KadNode(router_id, router.Address(), 6881));
    ASSERT_TRUE(known);
    EXPECT_FALSE(known->unanswered);
    EXPECT_EQ(node.Stats().bootstrap_pings, 0u);
    // An answer from an address that was not pinged is not taken.
    SimClient stranger(net, "127.0.7.41", 6881);
    stranger.SendTo(KrpcResponse(Id(0x41), "", TransactionBytes(12345)), node_address, node_port);
    Run();
    EXPECT_FALSE(node.Table().Find(KadNode(Id(0x41), stranger.Address(), 6881)));
}

}  // namespace
}  // namespace zl
