// Node ids, the exact bytes of every KRPC message, and write tokens.
#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <string>

#include "engine/meta/bencode.h"
#include "engine/udp/kad_id.h"
#include "engine/udp/kad_messages.h"
#include "engine/udp/kad_tokens.h"

namespace zl {
namespace {

using namespace std::string_literals;

KadId IdOf(char fill) { return KadId::FromBytes(std::string(20, fill)); }
uint32_t Ip(const char* text) { return inet_addr(text); }

TEST(KadId, WireBytesArithmeticAndOrder) {
    const KadId id(0x01020304, 0x05060708, 0x090a0b0c, 0x0d0e0f10, 0x11121314);
    EXPECT_EQ(id.Bytes(), "\x01\x02\x03\x04\x05\x06\x07\x08\x09\x0a\x0b\x0c\x0d\x0e\x0f\x10\x11\x12\x13\x14"s);
    EXPECT_EQ(KadId::FromBytes(id.Bytes()), id);
    EXPECT_TRUE(KadId::FromBytes(std::string(19, 'a')).IsZero());  // wrong length: no id
    EXPECT_EQ(id.Hex(), "0102030405060708090a0b0c0d0e0f1011121314");

    // Carries between words, wrapping modulo 2^160.
    EXPECT_EQ(KadId(0, 0, 0, 0, 0xFFFFFFFF).Plus(1), KadId(0, 0, 0, 1, 0));
    EXPECT_EQ(KadId::Max().Plus(1), KadId());
    EXPECT_EQ(KadId() - KadId(0, 0, 0, 0, 1), KadId::Max());
    EXPECT_EQ(KadId(1, 0, 0, 0, 0) - KadId(0, 0, 0, 0, 1), KadId(0, ~0u, ~0u, ~0u, ~0u));
    EXPECT_EQ(KadId(1, 0, 0, 0, 1).Halved(), KadId(0, 0x80000000, 0, 0, 0));
    EXPECT_EQ(KadId::Max().Halved(), KadId(0x7FFFFFFF, ~0u, ~0u, ~0u, ~0u));

    // Word 0 is the most significant; distance is XOR compared the same way.
    EXPECT_LT(KadId(0, ~0u, ~0u, ~0u, ~0u), KadId(1, 0, 0, 0, 0));
    const KadId target(0x80000000, 0, 0, 0, 0);
    EXPECT_TRUE(NearerTo(target, KadId(0x80000000, 0, 0, 0, 5), KadId(0, 0, 0, 0, 0)));

    const KadId fresh = KadId::Fresh(0x5F000000);
    EXPECT_FALSE(fresh.IsZero());
    EXPECT_EQ(fresh.Word(4), 0x5F000000u);
    EXPECT_NE(KadId::Fresh(1), KadId::Fresh(1));
}

TEST(KadMessages, TransactionIdIsEightLittleEndianBytes) {
    EXPECT_EQ(TransactionBytes(0x0102030405060708ull), "\x08\x07\x06\x05\x04\x03\x02\x01"s);
    EXPECT_EQ(TransactionFromBytes("\x08\x07\x06\x05\x04\x03\x02\x01"s), 0x0102030405060708ull);
    EXPECT_FALSE(TransactionFromBytes("ab"));
    EXPECT_FALSE(TransactionFromBytes("123456789"));
}

TEST(KadMessages, QueriesAreBuiltByteForByte) {
    const KadId own = IdOf('N');
    const KadId target = IdOf('T');
    const std::string t = TransactionBytes(0x1122334455667788ull);
    const std::string head = "d1:ad2:id20:" + own.Bytes();
    struct Case {
        std::string_view method;
        std::string arguments;
        std::string expected_arguments;
    } cases[] = {
        {kKadPing, "", ""},
        {kKadFindNode, FindNodeArguments(target), "6:target20:" + target.Bytes()},
        {kKadGetPeers, GetPeersArguments(target), "9:info_hash20:" + target.Bytes()},
        {kKadAnnouncePeer, AnnouncePeerArguments(target, 6881, std::string(20, 'k')),
         "9:info_hash20:" + target.Bytes() + "4:porti6881e5:token20:" + std::string(20, 'k')},
        {kKadAnnouncePeer, AnnouncePeerArguments(target, 51413, ""),
         "9:info_hash20:" + target.Bytes() + "4:porti51413e5:token0:"},
        {kKadAnnouncePeer, AnnouncePeerArguments(target, 1, "\x1e\x1a\x46\xa6"),
         "9:info_hash20:" + target.Bytes() + "4:porti1e5:token4:\x1e\x1a\x46\xa6"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.method));
        EXPECT_EQ(c.arguments, c.expected_arguments);
        const auto q = BuildQuery(own, c.method, c.arguments, 0x1122334455667788ull);
        ASSERT_TRUE(q);
        EXPECT_EQ(*q, head + c.expected_arguments + "e1:q" + std::to_string(c.method.size()) + ":" +
                          std::string(c.method) + "1:t8:" + t + "1:y1:qe");
        // Each is valid bencode that a standard decoder reads back.
        auto parsed = ParseElement(*q);
        ASSERT_TRUE(parsed && parsed->IsDictionary());
        EXPECT_EQ(parsed->AsDictionary()->BytesOf("q"), c.method);
        EXPECT_EQ(parsed->AsDictionary()->BytesOf("t"), t);
    }
}

TEST(KadMessages, ResponsesAndTheErrorAreBuiltByteForByte) {
    const KadId own = IdOf('N');
    const std::string t = "ABCDEFGH";
    const std::string token(20, 'k');
    const std::string head = "d1:rd2:id20:" + own.Bytes();
    const std::string tail = "e1:t8:ABCDEFGH1:y1:re";

    EXPECT_EQ(*BuildResponse(own, "", t), head + tail);  // ping and a valid announce

    KadNode a(IdOf('a'), Ip("127.0.7.1"), 0x1AE1);
    KadNode b(IdOf('b'), Ip("127.0.7.2"), 6881);
    const std::string nodes = NodesBody({a, b}, token);
    EXPECT_EQ(nodes, "5:nodes52:" + a.id.Bytes() + "\x7f\x00\x07\x01\x1a\xe1"s + b.id.Bytes() +
                         "\x7f\x00\x07\x02\x1a\xe1"s + "5:token20:" + token);
    EXPECT_EQ(NodesBody({}, token), "5:nodes0:5:token20:" + token);
    // No more than 8 nodes are written.
    EXPECT_EQ(NodesBody(std::vector<KadNode>(10, a), token).substr(0, 11), "5:nodes208:");

    const std::string values = "6:valuesl6:\x7f\x00\x07\x01\x1a\xe1" "e"s;
    EXPECT_EQ(ValuesBody(values, token), values + "5:token20:" + token);  // values before token
    EXPECT_EQ(*BuildResponse(own, nodes, t), head + nodes + tail);

    EXPECT_EQ(BuildInvalidTokenError(t), "d1:e20:Invalid Write Token!1:t8:ABCDEFGH1:y1:ee");
}

// Error replies as python3-libtorrent 2.0.8 sent them on loopback, to a
// query of an unknown method and to a ping without its "id".
TEST(KadMessages, ErrorRepliesOfARealNodeAreRead) {
    const std::string unknown_method =
        "d1:eli203e15:unknown messagee"
        "2:ip6:\x7f\x00\x07\x51\x9e\xa9"
        "1:rd2:id20:\xfb\xac\xb7\x27\x7c\x0e\x7a\x0a\x7d\x12\x7c\xd5\xa8\x75\xac\x9d\x48\x86\xaa\x7e"
        "1:pi40617ee"
        "1:t8:ABCDEFGH1:v4:LT\x02\x08"
        "1:y1:ee"s;
    const std::string missing_id = "d1:eli203e16:missing 'id' keye1:t8:ABCDEFGH1:v4:LT\x02\x08" "1:y1:ee"s;
    struct Case {
        const std::string* bytes;
        const char* text;
    };
    for (const Case& c : {Case{&unknown_method, "unknown message"}, Case{&missing_id, "missing 'id' key"}}) {
        auto message = ParseElement(*c.bytes);
        ASSERT_TRUE(message && message->AsDictionary()) << c.text;
        EXPECT_EQ(message->GetEncodedLength(), int64_t(c.bytes->size()));
        EXPECT_EQ(message->AsDictionary()->BytesOf("y"), "e");
        EXPECT_EQ(message->AsDictionary()->BytesOf("t"), "ABCDEFGH");
        const std::optional<KadError> error = ReadKadError(*message->AsDictionary());
        ASSERT_TRUE(error) << c.text;
        EXPECT_EQ(error->code, 203);
        EXPECT_EQ(error->text, c.text);
    }
    // Ours (a string, not a list) and malformed ones carry no code.
    for (const char* text : {"d1:e20:Invalid Write Token!1:t8:ABCDEFGH1:y1:ee", "d1:ele1:y1:ee",
                             "d1:el4:texte1:y1:ee", "d1:y1:ee"}) {
        auto message = ParseElement(std::string_view(text));
        ASSERT_TRUE(message) << text;
        EXPECT_FALSE(ReadKadError(*message->AsDictionary())) << text;
    }
    auto no_text = ParseElement(std::string_view("d1:eli201ee1:y1:ee"));
    ASSERT_TRUE(no_text);
    EXPECT_EQ(ReadKadError(*no_text->AsDictionary())->code, 201);
}

TEST(KadMessages, ArgumentsPlusMethodReachingTheLimitAreNotBuilt) {
    const KadId own = IdOf('N');
    EXPECT_TRUE(BuildQuery(own, "ping", std::string(1196, 'x'), 1));
    EXPECT_FALSE(BuildQuery(own, "ping", std::string(1197, 'x'), 1));
    EXPECT_TRUE(BuildResponse(own, std::string(1200, 'x'), "12345678"));
    EXPECT_FALSE(BuildResponse(own, std::string(1201, 'x'), "12345678"));
}

TEST(KadTokens, ValidForTheirOwnEndpointAcrossOneRotationOnly) {
    KadTokenSecrets secrets;
    uint64_t now = 1000;
    secrets.Rotate(now, true, KadId::Fresh(now));
    const uint32_t address = Ip("127.0.7.9");
    const std::string token = secrets.Make(address, 6881);
    ASSERT_EQ(token.size(), 20u);
    EXPECT_TRUE(secrets.Check(token, address, 6881));
    EXPECT_FALSE(secrets.Check(token, address, 6882));  // another port of the same address
    EXPECT_FALSE(secrets.Check(token, Ip("127.0.7.10"), 6881));
    EXPECT_FALSE(secrets.Check(token.substr(0, 19), address, 6881));

    // Checks run at most every 180 s, and rotate a secret older than 300 s.
    EXPECT_FALSE(secrets.Rotate(now + 179, false, KadId::Fresh(now)));
    EXPECT_TRUE(secrets.Rotate(now + 180, false, KadId::Fresh(now)));
    EXPECT_EQ(secrets.Make(address, 6881), token);  // 180 s old: not rotated
    EXPECT_TRUE(secrets.Rotate(now + 360, false, KadId::Fresh(now)));
    EXPECT_NE(secrets.Make(address, 6881), token);  // rotated once
    EXPECT_TRUE(secrets.Check(token, address, 6881));
    EXPECT_TRUE(secrets.Rotate(now + 720, false, KadId::Fresh(now)));
    EXPECT_FALSE(secrets.Check(token, address, 6881));  // rotated twice
}

TEST(KadTokens, TheTokenIsTheHashOfSecretAddressPortAndOnes) {
    KadTokenSecrets secrets;
    const KadId secret = IdOf('s');
    secrets.Rotate(1, true, secret);
    std::string input = secret.Bytes() + "\x7f\x00\x07\x09"s + "\xe1\x1a"s + "11";  // port 6881 least significant first
    const Sha1Digest expected = Sha1Of(input.data(), input.size());
    EXPECT_EQ(secrets.Make(Ip("127.0.7.9"), 6881), std::string(expected.begin(), expected.end()));
}

TEST(KadTokens, ReceivedTokensLastFiveMinutesAndAZeroTokenForgets) {
    KadReceivedTokens tokens;
    const KadNode node(IdOf('a'), Ip("127.0.7.1"), 1);
    tokens.Remember(node, std::string(20, 'k'), 100);
    EXPECT_EQ(tokens.Get(node, 400), std::string(20, 'k'));
    EXPECT_EQ(tokens.Get(node, 401), "");
    EXPECT_EQ(tokens.Get(KadNode(IdOf('a'), Ip("127.0.7.2"), 1), 100), "");  // keyed by id and address
    tokens.Remember(node, std::string(20, '\0'), 100);
    EXPECT_EQ(tokens.Get(node, 100), "");
    // Other implementations' tokens have their own lengths (libtorrent's are 4 bytes).
    tokens.Remember(node, "\x1e\x1a\x46\xa6", 100);
    EXPECT_EQ(tokens.Get(node, 100), "\x1e\x1a\x46\xa6");
    tokens.Remember(node, "", 100);
    tokens.Remember(node, std::string(65, 'k'), 100);
    EXPECT_EQ(tokens.Get(node, 100), "\x1e\x1a\x46\xa6");
}

}  // namespace
}  // namespace zl
