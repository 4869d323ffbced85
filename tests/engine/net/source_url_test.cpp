#include "engine/net/source_url.h"

#include <gtest/gtest.h>

#include <memory>

#include "engine/net/resolver.h"
#include "tests/engine/net/fake_resolver.h"

namespace zl {
namespace {

using test::Ip;

struct UrlCase {
    const char* text;
    bool ok;
    int32_t kind;
    const char* host;
    int32_t port;
    const char* path;  // HTTP path for kind 2, path otherwise
    const char* file;
    const char* user;
    const char* password;
    const char* query;
};

class SourceUrl : public ::testing::Test {
protected:
    void SetUp() override {
        table_ = std::make_shared<test::TableResolver>();
        table_->names["example.com"] = {Ip("192.0.2.10")};
        table_->names["h"] = {Ip("192.0.2.20")};
        table_->names["t.example"] = {Ip("192.0.2.30")};
        table_->names["multi"] = {Ip("192.0.2.1"), Ip("192.0.2.2"), Ip("192.0.2.3")};
        resolver_ = std::make_unique<TResolver>(table_);
    }
    RefPtr<TPeerId> Parse(const std::string& text, bool* ok) {
        auto id = RefPtr<TPeerId>::Adopt(new TPeerId(text));
        *ok = ParseSourceUrl(*id, *resolver_);
        return id;
    }
    std::shared_ptr<test::TableResolver> table_;
    std::unique_ptr<TResolver> resolver_;
};

TEST_F(SourceUrl, TableOfTexts) {
    const UrlCase cases[] = {
        // HTTP: default and explicit ports, paths, file names, escaping.
        {"http://example.com/dir/file.zip", true, 2, "example.com", 80, "/dir/file.zip", "file.zip", "", "", ""},
        {"HTTP://example.com:8080", true, 2, "example.com", 8080, "/", "", "", "", ""},
        {"http://example.com:65535/", true, 2, "example.com", 65535, "/", "", "", "", ""},
        {"http://example.com\\pub\\a.bin", true, 2, "example.com", 80, "/pub/a.bin", "a.bin", "", "", ""},
        {"http://example.com/a b/\xc3\xbc.bin", true, 2, "example.com", 80, "/a%20b/%c3%bc.bin", "\xc3\xbc.bin", "", "", ""},
        {"http://10.1.2.3/x.bin", true, 2, "10.1.2.3", 80, "/x.bin", "x.bin", "", "", ""},
        // FTP: credentials, anonymous, ports, an "@" in the path.
        {"ftp://u:p@h:2121/a/b.zip", true, 4, "h", 2121, "/a/b.zip", "b.zip", "u", "p", ""},
        {"ftp://h/a/b.zip", true, 4, "h", 21, "/a/b.zip", "b.zip", "anonymous", kAnonymousFtpPassword, ""},
        {"ftp://u@h/f", true, 4, "h", 21, "/f", "f", "u", "", ""},
        {"ftp://h/mail@x/f.bin", true, 4, "h", 21, "/mail@x/f.bin", "f.bin", "anonymous", kAnonymousFtpPassword, ""},
        {"ftp://me%40mail.com:pw@h/f", true, 4, "h", 21, "/f", "f", "me@mail.com", "pw", ""},
        {"FTP://h", true, 4, "h", 21, "/", "", "anonymous", kAnonymousFtpPassword, ""},
        // Trackers: the inner scheme only has to begin with http, tcp or udp.
        {"tracker://https://t.example/announce?key=1&x=2", true, 8, "t.example", 80, "/announce", "", "", "", "key=1&x=2"},
        {"tracker://udp://t.example:6969/announce", true, 8, "t.example", 6969, "/announce", "", "", "", ""},
        {"tracker://tcp://t.example:7000", true, 8, "t.example", 7000, "/", "", "", "", ""},
        {"tracker://wss://t.example/announce", false, 0, "", 0, "", "", "", "", ""},
        {"tracker://t.example/announce", false, 0, "", 0, "", "", "", "", ""},
        // BitTorrent nodes: dotted components spill over, 0 is no address.
        {"btnode://10.0.0.2:6881", true, 1, "10.0.0.2", 6881, "", "", "", "", ""},
        {"btnode://0.0.0.0:6881", false, 0, "", 0, "", "", "", "", ""},
        {"btnode://host:6881", false, 0, "", 0, "", "", "", "", ""},
        {"btnode://10.0.0.2", false, 0, "", 0, "", "", "", "", ""},
        // Bad ports, empty hosts, unknown schemes.
        {"http://example.com:0/", false, 0, "", 0, "", "", "", "", ""},
        {"http://example.com:65536/", false, 0, "", 0, "", "", "", "", ""},
        {"http://example.com:8o/", false, 0, "", 0, "", "", "", "", ""},
        {"http://example.com:/", false, 0, "", 0, "", "", "", "", ""},
        {"ftp://h:-21/", false, 0, "", 0, "", "", "", "", ""},
        {"http:///path", false, 0, "", 0, "", "", "", "", ""},
        {"ftp://u:p@/x", false, 0, "", 0, "", "", "", "", ""},
        {"gopher://example.com/", false, 0, "", 0, "", "", "", "", ""},
        {"https://example.com/", false, 0, "", 0, "", "", "", "", ""},
        {"", false, 0, "", 0, "", "", "", "", ""},
    };
    for (const UrlCase& c : cases) {
        SCOPED_TRACE(c.text);
        bool ok = false;
        auto id = Parse(c.text, &ok);
        EXPECT_EQ(ok, c.ok);
        EXPECT_EQ(id->parsed, c.ok);
        if (!ok) continue;
        const TSourceAddress& src = id->Source();
        EXPECT_EQ(id->kind, c.kind);
        EXPECT_EQ(src.host, c.host);
        EXPECT_EQ(id->port, c.port);
        EXPECT_EQ(c.kind == 2 ? src.http_path : src.path, c.path);
        EXPECT_EQ(src.file_name, c.file);
        EXPECT_EQ(src.user, c.user);
        EXPECT_EQ(src.password, c.password);
        EXPECT_EQ(src.query, c.query);
        EXPECT_TRUE(id->IsUsable());
    }
}

TEST_F(SourceUrl, TrackerTransportAndAddresses) {
    bool ok = false;
    auto https = Parse("tracker://https://t.example/a", &ok);
    ASSERT_TRUE(ok);
    EXPECT_TRUE(https->tracker_over_tcp);
    EXPECT_EQ(https->Source().scheme, "https");
    EXPECT_EQ(https->address, Ip("192.0.2.30"));
    auto udp = Parse("tracker://UDP://t.example:80/a", &ok);
    ASSERT_TRUE(ok);
    EXPECT_FALSE(udp->tracker_over_tcp);

    auto node = Parse("btnode://1.2.3.300:1", &ok);  // 300 spills into the third byte
    ASSERT_TRUE(ok);
    EXPECT_EQ(node->address, Ip("1.2.4.44"));
    EXPECT_EQ(table_->lookups.load(), 2);  // nodes are never looked up
}

// An announce URL goes on a request line as it is written: its escapes are the
// tracker's (a passkey "a%2Bb%26c" is one value, not "a+b" and a stray "c"),
// and bytes that cannot stand on a request line are escaped, never sent raw.
TEST_F(SourceUrl, TrackerUrlKeepsItsEscapes) {
    struct Case {
        const char* text;
        const char* path;
        const char* query;
    };
    const Case cases[] = {
        {"tracker://http://t.example/announce?passkey=a%2Bb%26c", "/announce", "passkey=a%2Bb%26c"},
        {"tracker://http://t.example/an%20n?k=x%0D%0AHost:%20evil", "/an%20n", "k=x%0D%0AHost:%20evil"},
        {"tracker://http://t.example/a b?k=\r\n", "/a%20b", "k=%0d%0a"},
        {"tracker://http://t.example/a?k=%00z", "/a", "k=%00z"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        bool ok = false;
        auto id = Parse(c.text, &ok);
        ASSERT_TRUE(ok);
        EXPECT_EQ(id->Source().host, "t.example");
        EXPECT_EQ(id->Source().path, c.path);
        EXPECT_EQ(id->Source().query, c.query);
    }
}

TEST_F(SourceUrl, UnresolvedHostAndZeroAddress) {
    bool ok = true;
    auto id = Parse("http://nowhere.invalid/f", &ok);
    EXPECT_FALSE(ok);
    EXPECT_TRUE(id->resolve_failed);
    EXPECT_EQ(id->address, kNoAddress);

    auto zero = Parse("http://0.0.0.0/f", &ok);  // parses, but names no address
    EXPECT_TRUE(ok);
    EXPECT_EQ(zero->address, kNoAddress);
    EXPECT_FALSE(zero->IsUsable());
}

TEST_F(SourceUrl, RepeatedParsesRotateThroughAddresses) {
    auto id = RefPtr<TPeerId>::Adopt(new TPeerId("http://multi/f"));
    std::vector<uint32_t> seen;
    for (int i = 0; i < 4; ++i) {
        ASSERT_TRUE(ParseSourceUrl(*id, *resolver_));
        seen.push_back(id->address);
    }
    EXPECT_EQ(seen, (std::vector<uint32_t>{Ip("192.0.2.1"), Ip("192.0.2.2"), Ip("192.0.2.3"), Ip("192.0.2.1")}));
    EXPECT_EQ(id->Source().addresses.size(), 3u);
}

TEST_F(SourceUrl, OverlongTextFailsWithoutLookup) {
    bool ok = true;
    Parse("http://example.com/" + std::string(kMaxSourceTextBytes, 'a'), &ok);
    EXPECT_FALSE(ok);
    EXPECT_EQ(table_->lookups.load(), 0);
}

TEST(PeerIdRules, NodeIdsAndOwnClientPrefix) {
    const PeerIdBytes id = TPeerId::NodePeerId(Ip("10.1.2.3"), 6881);
    for (int i = 0; i < 14; ++i) EXPECT_EQ(id[i], 0);
    EXPECT_EQ(id[14], 10);
    EXPECT_EQ(id[17], 3);
    EXPECT_EQ(id[18], 0x1A);
    EXPECT_EQ(id[19], 0xE1);
    EXPECT_FALSE(TPeerId::IsOwnClientPeerId(id));
    PeerIdBytes ours{};
    ours[16] = 'U';
    ours[17] = 'D';
    ours[18] = 'P';
    EXPECT_TRUE(TPeerId::IsOwnClientPeerId(ours));
    TPeerId::SetOwnClientPrefix(&ours);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(ours.data()), 4), std::string("\x00\x01Zl", 4));
}

TEST(PeerIdRules, ReleaseAtOneDeletesAndCopiesAreDeep) {
    auto* id = new TPeerId("http://h/f");
    id->Source().host = "h";
    id->kind = kKindHttp;
    id->open_connections = 3;
    TPeerId* copy = TPeerId::CopyOf(*id);
    EXPECT_EQ(id->Release(), 0);
    EXPECT_EQ(copy->Source().host, "h");
    EXPECT_EQ(copy->kind, kKindHttp);
    EXPECT_EQ(copy->open_connections, 0);
    EXPECT_EQ(copy->RefCount(), 1);
    EXPECT_EQ(TRefObject::Release(nullptr), 0);
    copy->Release();
}

}  // namespace
}  // namespace zl
