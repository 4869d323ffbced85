// Buckets, splits and replacements, the closest nodes, the node cache text,
// and the peer store.
#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <string>

#include "engine/udp/kad_peer_store.h"
#include "engine/udp/kad_routing_table.h"

namespace zl {
namespace {

using namespace std::string_literals;

constexpr uint64_t kNow = 10'000;

// An id whose top word is `top` (the rest `low`), so tests place nodes in buckets by hand.
KadId Id(uint32_t top, uint32_t low = 1) { return KadId(top, 0, 0, 0, low); }
KadNode Node(uint32_t top, uint32_t low = 1) { return KadNode(Id(top, low), inet_addr("127.0.7.1") + (low << 24), 6881); }

size_t BucketOf(const KadRoutingTable& t, const KadId& id) {
    const auto b = t.Buckets();
    for (size_t i = 0; i < b.size(); ++i)
        if (b[i].Covers(id)) return i;
    return SIZE_MAX;
}

TEST(KadRoutingTable, SplittingTheFirstBucketHalvesTheSpace) {
    // Own id in the upper half; eleven nodes there split the first bucket.
    KadRoutingTable t(Id(0xF0000000), kNow);
    for (uint32_t i = 0; i < 10; ++i) EXPECT_FALSE(t.Insert(Node(0x80000000 + i), false, false, kNow));
    ASSERT_EQ(t.Buckets().size(), 1u);
    t.Insert(Node(0x10000000), false, false, kNow);  // the eleventh
    const auto b = t.Buckets();
    ASSERT_GE(b.size(), 2u);
    EXPECT_EQ(b[0].low, KadId());
    EXPECT_EQ(b[0].high, KadId(0x80000000, 0, 0, 0, 0));  // (0, 2^159]
    EXPECT_EQ(b[1].low, KadId(0x80000000, 0, 0, 0, 0));
    EXPECT_EQ(b.back().high, KadId::Max());                 // (2^159, 2^160 - 1]
    EXPECT_EQ(t.Count(), 11u);
    EXPECT_EQ(b[0].nodes.size(), 1u);
}

// Fills the table until it has at least 4 buckets, with the own id at the top.
void FillFourBuckets(KadRoutingTable& t) {
    // Ten far nodes, then ten nodes in each upper quarter force splits toward the own id.
    for (uint32_t i = 0; i < 10; ++i) t.Insert(Node(0x10000000 + i, i + 1), true, false, kNow);
    for (uint32_t i = 0; i < 10; ++i) t.Insert(Node(0x90000000 + i, i + 1), true, false, kNow);
    for (uint32_t i = 0; i < 10; ++i) t.Insert(Node(0xD0000000 + i, i + 1), true, false, kNow);
    for (uint32_t i = 0; i < 5; ++i) t.Insert(Node(0xF0000000 + i, i + 1), true, false, kNow);
}

TEST(KadRoutingTable, AFullFarBucketDropsOrPingsAndTheOwnBucketSplits) {
    KadRoutingTable t(Id(0xFFFFFFF0), kNow);
    FillFourBuckets(t);
    ASSERT_GE(t.Buckets().size(), 4u);
    const size_t far = BucketOf(t, Id(0x10000000));
    ASSERT_EQ(t.Buckets()[far].nodes.size(), 10u);
    const size_t buckets = t.Buckets().size();

    // A full far bucket with no unanswered or stale member: the newcomer is dropped.
    EXPECT_FALSE(t.Insert(Node(0x10000100, 77), false, false, kNow + 1));
    EXPECT_EQ(t.Buckets().size(), buckets);
    EXPECT_FALSE(t.Find(Node(0x10000100, 77)));

    // Once its members are stale (silent for over 600 s), the oldest answer is named for a ping.
    const auto q = t.Insert(Node(0x10000100, 77), false, false, kNow + 601);
    ASSERT_TRUE(q);
    EXPECT_EQ(q->id, Id(0x10000000, 1));  // the first inserted, the oldest answer

    // The eleventh answered node for the bucket holding the own id splits it.
    const size_t own = BucketOf(t, t.OwnId());
    const size_t room = 10 - t.Buckets()[own].nodes.size();
    for (uint32_t i = 0; i < room; ++i) EXPECT_FALSE(t.Insert(Node(0xFFFF0000 + i, i + 1), true, false, kNow));
    EXPECT_EQ(t.Buckets().size(), buckets);
    EXPECT_FALSE(t.Insert(Node(0xFFFF0100, 99), true, false, kNow));
    EXPECT_GT(t.Buckets().size(), buckets);
    EXPECT_TRUE(t.Find(Node(0xFFFF0100, 99)));
}

TEST(KadRoutingTable, UnansweredMembersArePingedThenReplacedAfterThreeFailures) {
    KadRoutingTable t(Id(0xFFFFFFF0), kNow);
    FillFourBuckets(t);
    // Make one far member unanswered by three failures.
    const KadNode weak = Node(0x10000000 + 3, 4);
    EXPECT_EQ(t.NoteFailure(weak), 1);
    EXPECT_EQ(t.NoteFailure(weak), 2);
    EXPECT_EQ(t.NoteFailure(weak), 3);
    EXPECT_TRUE(t.Find(weak)->unanswered);
    EXPECT_EQ(t.NoteFailure(Node(0x12345678, 99)), 3);  // not in the table
    // It has answered before and failed 3 times: replaced at once by the newcomer.
    const KadNode newcomer = Node(0x10000200, 88);
    EXPECT_FALSE(t.Insert(newcomer, false, false, kNow + 1));
    EXPECT_FALSE(t.Find(weak));
    EXPECT_TRUE(t.Find(newcomer));
    // The newcomer never answered and has no failures: the next one gets it named for a ping.
    const auto q = t.Insert(Node(0x10000300, 89), false, false, kNow + 2);
    ASSERT_TRUE(q);
    EXPECT_TRUE(q->SameAs(newcomer));
}

TEST(KadRoutingTable, WithOnlyTwoBucketsAFullFarBucketStillSplits) {
    KadRoutingTable t(Id(0xF0000000), kNow);
    for (uint32_t i = 0; i < 10; ++i) t.Insert(Node(0x10000000 + i, i + 1), true, false, kNow);
    t.Insert(Node(0x90000000, 20), true, false, kNow);
    ASSERT_EQ(t.Buckets().size(), 2u);
    // The eleventh for the full far (0, 2^159] bucket splits it: too few buckets to drop it.
    EXPECT_FALSE(t.Insert(Node(0x50000000, 50), true, false, kNow));
    ASSERT_EQ(t.Buckets().size(), 3u);
    EXPECT_EQ(t.Buckets()[0].high, KadId(0x40000000, 0, 0, 0, 0));
    EXPECT_TRUE(t.Find(Node(0x50000000, 50)));
}

TEST(KadRoutingTable, OnlyAnAnswerMovesANodeToTheTail) {
    KadRoutingTable t(Id(0xF0000000), kNow);
    const KadNode a = Node(0x10000000, 1), b = Node(0x20000000, 2);
    t.Insert(a, false, false, kNow);
    t.Insert(b, false, false, kNow);
    t.Insert(a, false, false, kNow + 5);  // seen again in a query
    EXPECT_TRUE(t.Buckets()[0].nodes.front().SameAs(a));
    t.Insert(a, true, false, kNow + 6);  // answered
    EXPECT_TRUE(t.Buckets()[0].nodes.back().SameAs(a));
    EXPECT_EQ(t.Buckets()[0].nodes.back().last_answer, kNow + 6);
    EXPECT_FALSE(t.Buckets()[0].nodes.back().unanswered);
    // Unusable nodes and the own id are never stored.
    EXPECT_FALSE(t.Insert(KadNode(Id(3), 0, 1), true, false, kNow));
    EXPECT_FALSE(t.Insert(KadNode(Id(3), 5, 0), true, false, kNow));
    EXPECT_FALSE(t.Insert(KadNode(KadId(), 5, 1), true, false, kNow));
    t.Insert(KadNode(Id(0xF0000000), 5, 1), true, false, kNow);
    EXPECT_EQ(t.Count(), 2u);
}

TEST(KadRoutingTable, ClosestIsOrderedByDistanceAndSkipsUnansweredWhenAsked) {
    KadRoutingTable t(Id(0xF0000000), kNow);
    t.Insert(Node(0x30000000, 3), true, false, kNow);
    t.Insert(Node(0x10000000, 1), true, false, kNow);
    t.Insert(Node(0x20000000, 2), true, false, kNow);
    t.Insert(Node(0x11000000, 9), false, false, kNow);  // never answered
    std::vector<KadNode> out;
    t.Closest(Id(0x10000000, 7), false, out);
    ASSERT_EQ(out.size(), 3u);
    EXPECT_EQ(out[0].id.Word(0), 0x10000000u);
    EXPECT_EQ(out[1].id.Word(0), 0x30000000u);  // 0x30 ^ 0x10 = 0x20 is nearer than 0x20 ^ 0x10 = 0x30
    EXPECT_EQ(out[2].id.Word(0), 0x20000000u);
    // Including the unanswered adds only what is not listed yet.
    t.Closest(Id(0x10000000, 7), true, out);
    ASSERT_EQ(out.size(), 4u);
    EXPECT_EQ(out[3].id.Word(0), 0x11000000u);
    std::vector<KadNode> none;
    t.Closest(KadId(), true, none);
    EXPECT_TRUE(none.empty());
    t.Insert(Node(0x30000000, 3), true, false, kNow + 5);
    EXPECT_EQ(t.LeastRecentlyAnswered()->id.Word(0), 0x10000000u);
}

TEST(KadRoutingTable, ClosestWalksNeighbouringBucketsUntilTen) {
    KadRoutingTable t(Id(0xFFFFFFF0), kNow);
    FillFourBuckets(t);
    std::vector<KadNode> out;
    t.Closest(Id(0xF0000000, 1), false, out);
    ASSERT_EQ(out.size(), 10u);
    for (size_t i = 1; i < out.size(); ++i)
        EXPECT_FALSE(NearerTo(Id(0xF0000000, 1), out[i].id, out[i - 1].id)) << i;
    EXPECT_EQ(out[0].id, Id(0xF0000000, 1));
}

TEST(KadNodeCache, SavedTableLoadsBack) {
    KadRoutingTable t(Id(0xFFFFFFF0), kNow);
    FillFourBuckets(t);
    const std::string text = t.Serialise();
    ASSERT_EQ(text.substr(0, 8), "d2:id20:");
    EXPECT_EQ(text.substr(28, 11), "5:table910:");  // 35 nodes of 26 bytes
    EXPECT_EQ(text.back(), 'e');

    KadRoutingTable loaded(Id(1), kNow);
    ASSERT_TRUE(loaded.Load(text, kNow));
    EXPECT_EQ(loaded.OwnId(), t.OwnId());
    EXPECT_EQ(loaded.Count(), t.Count());
    EXPECT_EQ(loaded.AnsweredCount(), 0u);  // loaded nodes have not answered yet
    EXPECT_EQ(loaded.Serialise(), text);
}

TEST(KadNodeCache, BadTextsLeaveTheTableAsItWas) {
    KadRoutingTable t(Id(7), kNow);
    t.Insert(Node(0x10000000), true, false, kNow);
    const std::string before = t.Serialise();
    const std::string good = before;
    const std::string bad[] = {
        "",
        "garbage",
        good.substr(0, good.size() / 2),        // truncated
        "d2:id19:" + std::string(19, 'x') + "e",  // short id
        "l2:id20:" + std::string(20, 'x') + "e",  // not a dictionary
        "d5:table0:e",                            // no id
        std::string(4096, '\xff'),
    };
    for (const std::string& text : bad) {
        EXPECT_FALSE(t.Load(text, kNow)) << text.size();
        EXPECT_EQ(t.Serialise(), before);
    }
}

TEST(KadNodeCache, TwentySevenBytesOfTableLoadOneNode) {
    KadRoutingTable t(Id(7), kNow);
    std::string table;
    AppendCompactNode(table, Node(0x10000000, 1));
    table += 'Z';
    const std::string text = "d2:id20:" + Id(0x55555555).Bytes() + "5:table27:" + table + "e";
    ASSERT_TRUE(t.Load(text, kNow));
    EXPECT_EQ(t.OwnId(), Id(0x55555555));
    EXPECT_EQ(t.Count(), 1u);
    EXPECT_TRUE(t.Find(Node(0x10000000, 1)));
}

// --- peer store ---

TEST(KadPeerStore, SeventyPeersGiveFiftyValuesStartingByTheSecond) {
    KadPeerStore store;
    const KadId hash = Id(0xABCDEF00);
    for (uint16_t i = 0; i < 70; ++i) store.Store(hash, htonl(0x7F000700u + i / 4), uint16_t(7000 + i), kNow);
    EXPECT_EQ(store.PeerCount(), 70u);
    const std::string at0 = store.ValuesText(hash, 20 * 1000);  // now mod 20 = 0: nothing skipped
    ASSERT_EQ(at0.substr(0, 9), "6:valuesl");
    ASSERT_EQ(at0.size(), 9 + 50 * 8 + 1u);
    EXPECT_EQ(at0.back(), 'e');
    const std::string at7 = store.ValuesText(hash, 20 * 1000 + 7);  // skips the first 7
    EXPECT_EQ(at7.size(), at0.size());
    EXPECT_EQ(at7.substr(9, 8 * 43), at0.substr(9 + 8 * 7, 8 * 43));
    EXPECT_EQ(store.PlainPeers(hash, 20 * 1000).size(), 50 * 6u);
    EXPECT_EQ(store.PlainPeers(hash, 20 * 1000), [&] {
        std::string plain;
        for (size_t at = 9; at + 8 <= at0.size(); at += 8) plain += at0.substr(at + 2, 6);
        return plain;
    }());
    EXPECT_EQ(store.ValuesText(Id(1), kNow), "");
}

TEST(KadPeerStore, KeyOrderIsTheCompactPeerReadLittleEndian) {
    KadPeerStore store;
    const KadId hash = Id(1);
    // The port's low byte is the most significant of the key.
    store.Store(hash, inet_addr("127.0.7.1"), 0x0102, kNow);
    store.Store(hash, inet_addr("127.0.7.2"), 0x0201, kNow);
    store.Store(hash, inet_addr("127.0.7.3"), 0x0101, kNow);
    EXPECT_EQ(store.PlainPeers(hash, kNow),
              "\x7f\x00\x07\x03\x01\x01"s + "\x7f\x00\x07\x02\x02\x01"s + "\x7f\x00\x07\x01\x01\x02"s);
}

TEST(KadPeerStore, AnnouncesExpireAfterThirtyMinutes) {
    KadPeerStore store;
    store.Store(Id(1), inet_addr("127.0.7.1"), 1, kNow);
    store.Store(Id(2), inet_addr("127.0.7.2"), 1, kNow - 1);
    EXPECT_TRUE(store.Expire(kNow + 1799));
    EXPECT_TRUE(store.Has(Id(1)));
    EXPECT_FALSE(store.Has(Id(2)));  // 1800 s old
    EXPECT_FALSE(store.Expire(kNow + 1800));  // at most every 180 s
    EXPECT_TRUE(store.Has(Id(1)));
    EXPECT_TRUE(store.Expire(kNow + 1799 + 180));
    EXPECT_FALSE(store.Has(Id(1)));
    EXPECT_EQ(store.PeerCount(), 0u);
    EXPECT_EQ(store.InfoHashCount(), 0u);
}

TEST(KadPeerStore, CapsDropTheOldestAnnounces) {
    KadPeerStore store;
    // One address announcing many info hashes keeps only its newest 16.
    for (uint32_t i = 0; i < 40; ++i) store.Store(Id(100 + i), inet_addr("127.0.7.1"), 6881, kNow + i);
    EXPECT_EQ(store.PeerCount(), KadPeerStore::kMaxEntriesPerAddress);
    EXPECT_FALSE(store.Has(Id(100)));
    EXPECT_TRUE(store.Has(Id(139)));
    // Many addresses on one info hash: at most 100 peers, the oldest go.
    for (uint32_t i = 0; i < 300; ++i) store.Store(Id(1), htonl(0x0A000000u + i), 6881, kNow + i);
    EXPECT_EQ(store.PlainPeers(Id(1), 0).size() / 6, 50u);
    size_t peers_of_hash = store.PeerCount() - KadPeerStore::kMaxEntriesPerAddress;
    EXPECT_EQ(peers_of_hash, KadPeerStore::kMaxPeersPerHash);
    // Many info hashes: at most 1000, the stalest go.
    for (uint32_t i = 0; i < 1500; ++i) store.Store(Id(5000 + i), htonl(0x0B000000u + i), 6881, kNow + 1000 + i);
    EXPECT_EQ(store.InfoHashCount(), KadPeerStore::kMaxInfoHashes);
    EXPECT_TRUE(store.Has(Id(5000 + 1499)));
    EXPECT_FALSE(store.Has(Id(100 + 39)));
    // A repeated announce refreshes and adds nothing.
    const size_t peers = store.PeerCount();
    store.Store(Id(5000 + 1499), htonl(0x0B000000u + 1499), 6881, kNow + 5000);
    EXPECT_EQ(store.PeerCount(), peers);
}

}  // namespace
}  // namespace zl
