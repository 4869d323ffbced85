// Lookups driven by hand through a host that records every query: the
// walk, resends and give-ups, and the two phases of a BitTorrent lookup.
#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <map>
#include <string>
#include <vector>

#include "engine/meta/bencode.h"
#include "engine/udp/kad_lookup.h"
#include "engine/udp/kad_messages.h"
#include "tests/engine/udp/kad_test_support.h"

namespace zl {
namespace {

using namespace std::string_literals;

KadId Id(uint32_t top, uint32_t low = 1) { return KadId(top, 0, 0, 0, low); }
KadNode Node(uint32_t top, uint32_t i) { return KadNode(Id(top, i), htonl(0x7F000700u + i), uint16_t(9000 + i)); }

struct Sent {
    KadNode node;
    std::string method;
    std::string arguments;
    uint64_t transaction;
};

class FakeHost final : public KadLookupHost {
public:
    uint64_t NowSeconds() override { return now; }
    KadId OwnId() override { return own; }
    uint64_t QueueQuery(const KadNode& node, std::string_view method, std::string_view arguments,
                        uint64_t transaction, KadOutbox& outbox) override {
        const uint64_t used = transaction ? transaction : ++counter;
        sent.push_back(Sent{node, std::string(method), std::string(arguments), used});
        outbox.push_back(KadDatagram{*BuildQuery(own, method, arguments, used), node.address, node.port});
        return used;
    }
    void SeedNodes(const KadId&, std::vector<KadNode>& out) override { out.insert(out.end(), seed.begin(), seed.end()); }
    void LearnNode(const KadNode& node) override { learned.push_back(node); }
    void InsertNode(const KadNode& node) override { inserted.push_back(node); }
    std::string StoredPeers(const KadId&) override { return stored; }
    void RememberToken(const KadNode& node, std::string_view token) override {
        tokens[{node.id, node.address}] = std::string(token);
    }
    std::string ReceivedToken(const KadNode& node) override {
        auto it = tokens.find({node.id, node.address});
        return it == tokens.end() ? "" : it->second;
    }

    uint64_t now = 5000;
    KadId own = Id(0xFFFFFFFF);
    uint64_t counter = 100;
    std::vector<Sent> sent;
    std::vector<KadNode> seed, learned, inserted;
    std::string stored;
    std::map<std::pair<KadId, uint32_t>, std::string> tokens;
};

// A response dictionary parsed from body text.
struct Response {
    explicit Response(const std::string& body) : root(ParseElement("d" + body + "e")) {}
    const QDictionaryElement& Dict() const { return *root->AsDictionary(); }
    std::unique_ptr<QElement> root;
};

std::string NodesText(const std::vector<KadNode>& nodes) {
    std::string compact;
    for (const KadNode& n : nodes) AppendCompactNode(compact, n);
    return "5:nodes" + std::to_string(compact.size()) + ":" + compact;
}

std::string ValuesText(int peers) {
    std::string text = "6:valuesl";
    for (int i = 0; i < peers; ++i) {
        text += "6:";
        AppendCompactPeer(text, htonl(0x0A000000u + uint32_t(i)), 6881);
    }
    return text + "e";
}

const std::string kToken(20, 'k');

class KadLookupTest : public ::testing::Test {
protected:
    // Answers every query sent since `from` with the body the function gives.
    size_t AnswerAll(CKadActionBase& lookup, size_t from, const std::function<std::string(const Sent&)>& body) {
        size_t taken = 0;
        const std::vector<Sent> batch(host.sent.begin() + std::ptrdiff_t(from), host.sent.end());
        for (const Sent& s : batch) {
            const std::string text = body(s);
            if (text == "-") continue;  // silent
            Response r(text);
            taken += lookup.OnResponse(host, s.transaction, s.node, r.Dict());
        }
        return taken;
    }
    void Step(CKadActionBase& lookup) {
        std::vector<KadNode> failed;
        lookup.CheckTimeouts(host, failed, outbox);
    }
    size_t CountSent(const std::string& method, size_t from = 0) {
        size_t n = 0;
        for (size_t i = from; i < host.sent.size(); ++i) n += host.sent[i].method == method;
        return n;
    }

    FakeHost host;
    KadOutbox outbox;
};

TEST_F(KadLookupTest, FindAsksTheNearestFiveAndClosesInOnTheTarget) {
    const KadId target = Id(0x40000000, 5);
    CKadActionFind find(target);
    for (uint32_t i = 1; i <= 8; ++i) host.seed.push_back(Node(0x40000000 + (i << 20), i));
    host.seed.push_back(KadNode(host.own, 1, 1));  // the own id is never a candidate
    find.Start(host);
    ASSERT_TRUE(find.IsRunning());
    EXPECT_EQ(find.CandidateCount(), 8u);
    Step(find);
    ASSERT_EQ(host.sent.size(), 5u);
    EXPECT_EQ(find.InFlight(), 5);
    EXPECT_EQ(host.sent[0].node.id, Id(0x40100000, 1));  // nearest first
    EXPECT_EQ(host.sent[0].arguments, "6:target20:" + target.Bytes());

    // Answers carry nearer nodes; new ones are learned once.
    const KadNode nearer = Node(0x40000000, 77);
    EXPECT_EQ(AnswerAll(find, 0, [&](const Sent&) { return NodesText({nearer}) + "5:token20:" + kToken; }), 5u);
    EXPECT_EQ(host.learned.size(), 1u);
    EXPECT_EQ(host.tokens.size(), 5u);
    Step(find);
    EXPECT_EQ(host.sent[5].node.id, nearer.id);
    // A node with exactly the target id ends the lookup at once.
    const KadNode exact(target, htonl(0x7F000799), 9999);
    AnswerAll(find, 5, [&](const Sent&) { return NodesText({exact}); });
    Step(find);
    EXPECT_TRUE(find.IsDone());
    std::vector<KadNode> results;
    find.Results(results);
    ASSERT_EQ(results.size(), 1u);
    EXPECT_EQ(results[0].id, target);
}

TEST_F(KadLookupTest, QueriesAreResentOnceAfterFiveSecondsAndGivenUpAfterTen) {
    CKadActionFind find(Id(0x40000000));
    host.seed = {Node(0x41000000, 1), Node(0x42000000, 2)};
    find.Start(host);
    Step(find);
    ASSERT_EQ(host.sent.size(), 2u);
    host.now += 5;
    Step(find);
    EXPECT_EQ(host.sent.size(), 2u);  // not older than 5 s yet
    host.now += 1;
    Step(find);
    ASSERT_EQ(host.sent.size(), 4u);
    EXPECT_EQ(host.sent[2].transaction, host.sent[0].transaction);  // the same id again
    host.now += 3;
    Step(find);
    EXPECT_EQ(host.sent.size(), 4u);  // only once
    // A second answer to the same transaction changes nothing.
    Response r(NodesText({Node(0x40000000, 50)}));
    EXPECT_TRUE(find.OnResponse(host, host.sent[0].transaction, host.sent[0].node, r.Dict()));
    EXPECT_FALSE(find.OnResponse(host, host.sent[0].transaction, host.sent[0].node, r.Dict()));
    EXPECT_EQ(host.learned.size(), 1u);
    // An answer from another node under a pending id is not taken.
    EXPECT_FALSE(find.OnResponse(host, host.sent[1].transaction, Node(0x43000000, 3), r.Dict()));
    host.now += 1;  // 10 s: the silent node is given up
    std::vector<KadNode> failed;
    find.CheckTimeouts(host, failed, outbox);
    ASSERT_EQ(failed.size(), 1u);
    EXPECT_TRUE(failed[0].SameAs(host.sent[1].node));
}

TEST_F(KadLookupTest, AnErrorReplyEndsItsQueryAtOnce) {
    CKadActionFind find(Id(0x40000000));
    host.seed = {Node(0x41000000, 1), Node(0x42000000, 2), Node(0x43000000, 3), Node(0x44000000, 4),
                 Node(0x45000000, 5), Node(0x46000000, 6)};
    find.Start(host);
    Step(find);
    ASSERT_EQ(host.sent.size(), 5u);
    const Sent first = host.sent[0];
    // Only the node asked under that transaction can end it.
    EXPECT_FALSE(find.OnError(first.transaction, host.sent[1].node.address));
    EXPECT_FALSE(find.OnError(999, first.node.address));
    EXPECT_TRUE(find.OnError(first.transaction, first.node.address));
    EXPECT_EQ(find.InFlight(), 4);
    EXPECT_FALSE(find.OnError(first.transaction, first.node.address));
    Response r(NodesText({}));
    EXPECT_FALSE(find.OnResponse(host, first.transaction, first.node, r.Dict())) << "no longer pending";
    // The freed slot goes to the sixth node at the next step, and the failed
    // query is never resent.
    Step(find);
    ASSERT_EQ(host.sent.size(), 6u);
    EXPECT_TRUE(host.sent[5].node.SameAs(host.seed[5]));
    host.now += 6;
    Step(find);
    for (size_t i = 6; i < host.sent.size(); ++i) EXPECT_NE(host.sent[i].transaction, first.transaction);
}

TEST_F(KadLookupTest, ALookupWithoutSeedsFinishesAtOnce) {
    CKadActionFind find(Id(0x40000000));
    find.Start(host);
    EXPECT_TRUE(find.IsDone());
    host.seed = {KadNode(host.own, htonl(0x7F000701), 1)};
    CKadActionFind only_own(Id(0x40000000));
    only_own.Start(host);
    EXPECT_TRUE(only_own.IsDone());
    // A BitTorrent lookup without seeds is simply not started, to be added again later.
    host.seed.clear();
    CKadActionBitTorrent bt(Id(0x40000000));
    bt.Start(host);
    EXPECT_TRUE(bt.NotStarted());
    EXPECT_FALSE(bt.IsDone());
}


TEST_F(KadLookupTest, NodesWithNoValuesAndNoTokensGetNoAnnounce) {
    CKadActionBitTorrent bt(Id(0x40000000));
    bt.SetAnnouncedPort(6881);
    for (uint32_t i = 1; i <= 6; ++i) host.seed.push_back(Node(0x40000000 + (i << 20), i));
    bt.Start(host);
    for (int round = 0; round < 10 && !bt.IsDone(); ++round) {
        const size_t from = host.sent.size();
        Step(bt);
        AnswerAll(bt, from, [&](const Sent&) { return NodesText({}); });
    }
    EXPECT_TRUE(bt.IsDone());
    EXPECT_TRUE(bt.InAnnouncePhase());
    EXPECT_EQ(CountSent("get_peers"), 6u);
    EXPECT_EQ(CountSent("announce_peer"), 0u);
}

TEST_F(KadLookupTest, AnnouncesGoToTokenHoldersAndNodesWithSixtyValuesComeFirst) {
    const KadId hash = Id(0x40000000);
    CKadActionBitTorrent bt(hash);
    bt.SetAnnouncedPort(51413);
    const KadNode many = Node(0x40100000, 1), sixty = Node(0x40200000, 2), tokened = Node(0x40300000, 3),
                  plain = Node(0x40400000, 4);
    host.seed = {many, sixty, tokened, plain};
    host.stored = "\x0a\x00\x00\x63\x1a\xe1"s;  // a peer announced to us
    bt.Start(host);
    auto body = [&](const Sent& s) -> std::string {
        if (s.method == "announce_peer") return "";
        if (s.node.SameAs(many)) return ValuesText(61) + "5:token20:" + kToken;
        if (s.node.SameAs(sixty)) return ValuesText(60) + "5:token20:" + kToken;
        if (s.node.SameAs(tokened)) return NodesText({}) + "5:token20:" + kToken;
        return NodesText({});
    };
    Step(bt);
    AnswerAll(bt, 0, body);
    Step(bt);  // every node answered: the announce phase begins
    ASSERT_TRUE(bt.InAnnouncePhase());
    const auto list = bt.AnnounceList();
    ASSERT_EQ(list.size(), 1u);  // 60 values: on the list; 61: not
    EXPECT_TRUE(list[0].SameAs(sixty));
    for (int round = 0; round < 10 && !bt.IsDone(); ++round) {
        const size_t from = host.sent.size();
        Step(bt);
        AnswerAll(bt, from, body);
    }
    ASSERT_TRUE(bt.IsDone());
    std::vector<KadNode> announced;
    for (const Sent& s : host.sent) {
        if (s.method != "announce_peer") continue;
        announced.push_back(s.node);
        EXPECT_EQ(s.arguments, "9:info_hash20:" + hash.Bytes() + "4:porti51413e5:token20:" + kToken);
    }
    // Every token holder, and no one without a token.
    ASSERT_EQ(announced.size(), 3u);
    for (const KadNode& n : announced) EXPECT_FALSE(n.SameAs(plain));
    // The stored peer came first, then 61 + 60 values.
    std::string results;
    ASSERT_TRUE(bt.TakeResults(results, true));
    EXPECT_EQ(results.size(), (1 + 61 + 60) * 6u);
    EXPECT_EQ(results.substr(0, 6), host.stored);
    EXPECT_FALSE(bt.TakeResults(results, true));
}

TEST_F(KadLookupTest, TheSixthAnnounceAnswerFinishesTheLookup) {
    CKadActionBitTorrent bt(Id(0x40000000));
    bt.SetAnnouncedPort(6881);
    for (uint32_t i = 1; i <= 10; ++i) host.seed.push_back(Node(0x40000000 + (i << 20), i));
    bt.Start(host);
    Step(bt);
    AnswerAll(bt, 0, [&](const Sent&) { return NodesText({}) + "5:token20:" + kToken; });
    Step(bt);
    AnswerAll(bt, 5, [&](const Sent&) { return NodesText({}) + "5:token20:" + kToken; });
    Step(bt);  // all ten answered: the first phase ends
    ASSERT_TRUE(bt.InAnnouncePhase());
    size_t from = host.sent.size();
    Step(bt);
    ASSERT_EQ(CountSent("announce_peer", from), 5u);
    const std::vector<Sent> first(host.sent.begin() + std::ptrdiff_t(from), host.sent.end());
    for (const Sent& s : first) {
        Response r("");
        ASSERT_TRUE(bt.OnResponse(host, s.transaction, s.node, r.Dict()));
    }
    EXPECT_EQ(bt.AnnounceCount(), 5);
    EXPECT_FALSE(bt.IsDone());
    from = host.sent.size();
    Step(bt);
    ASSERT_EQ(CountSent("announce_peer", from), 5u);
    Response r("");
    EXPECT_TRUE(bt.OnResponse(host, host.sent[from].transaction, host.sent[from].node, r.Dict()));
    EXPECT_TRUE(bt.IsDone());  // the sixth
    EXPECT_FALSE(bt.OnResponse(host, host.sent[from + 1].transaction, host.sent[from + 1].node, r.Dict()));

    // The nodes announced to seed the next run of the lookup.
    host.seed.clear();
    bt.Reset();
    bt.Start(host);
    EXPECT_EQ(bt.CandidateCount(), CKadActionBitTorrent::kReseedFromAnnounced);
}

TEST_F(KadLookupTest, ResultsAndCandidatesAreCapped) {
    CKadActionBitTorrent bt(Id(0x40000000));
    host.seed = {Node(0x40100000, 1), Node(0x40200000, 2)};
    bt.Start(host);
    Step(bt);
    // One answer with 1400 values and one with 300 nodes.
    std::vector<KadNode> crowd;
    for (uint32_t i = 0; i < 300; ++i) crowd.push_back(Node(0x50000000 + (i << 8), 100 + i));
    Response values(ValuesText(1400));
    Response nodes(NodesText(crowd));
    ASSERT_TRUE(bt.OnResponse(host, host.sent[0].transaction, host.sent[0].node, values.Dict()));
    ASSERT_TRUE(bt.OnResponse(host, host.sent[1].transaction, host.sent[1].node, nodes.Dict()));
    std::string results;
    ASSERT_TRUE(bt.TakeResults(results, false));
    EXPECT_EQ(results.size(), CKadActionBitTorrent::kMaxResultBytes);
    EXPECT_EQ(bt.CandidateCount(), CKadActionBase::kMaxCandidates);
    // Once taken, room is made again.
    results.clear();
    ASSERT_TRUE(bt.TakeResults(results, true));
    EXPECT_FALSE(bt.TakeResults(results, true));
}

}  // namespace
}  // namespace zl
