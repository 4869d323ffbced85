// The tracker client: announce answers, HTTP replies and UDP datagrams as
// parsed, and the tracker peer against scripted trackers on loopback for the
// odd answers (short interval, non-2xx, no Content-Length, a passkey, short
// and wrong-transaction datagrams).
#include <gtest/gtest.h>

#include <cstring>

#include "engine/base/ref_object.h"
#include "engine/net/tracker_answer.h"
#include "engine/net/tracker_http.h"
#include "engine/net/tracker_peer.h"
#include "engine/net/tracker_udp.h"
#include "tracker_test_support.h"

namespace zl {
namespace {

using test::Compact;
using test::HttpReply;
using test::Ip4;
using test::ScriptedHttpTracker;
using test::TrackerTestTask;

std::string Int(const char* key, int64_t v) {
    return std::to_string(std::strlen(key)) + ":" + key + "i" + std::to_string(v) + "e";
}
std::string Str(const std::string& key, const std::string& v) {
    return std::to_string(key.size()) + ":" + key + std::to_string(v.size()) + ":" + v;
}

TEST(TrackerAnswer, IntervalsFiguresAndPeerLists) {
    struct Case {
        const char* name;
        std::string body;
        bool parsed;
        int32_t interval;
        size_t peers;
    } cases[] = {
        {"interval 30 becomes 600", "d" + Int("interval", 30) + Str("peers", "") + "e", true, 600, 0},
        {"interval 61 stays", "d" + Int("interval", 61) + "e", true, 61, 0},
        {"no interval", "d" + Str("peers", "") + "e", true, 600, 0},
        {"failure still read", "d" + Str("failure reason", "unregistered torrent") + Int("interval", 900) + "e", true,
         900, 0},
        {"20 compact bytes: three peers",
         "d" + Int("interval", 1800) + Str("peers", Compact({{"127.0.3.20", 6881}, {"127.0.3.21", 6882}, {"127.0.3.22", 1}}) + "xy") + "e",
         true, 1800, 3},
        {"unusable compact entries skipped",
         "d" + Str("peers", Compact({{"0.0.0.0", 6881}, {"127.0.3.21", 0}, {"127.0.3.22", 80}})) + "e", true, 600, 1},
        {"malformed bencode", "d8:intervali30e5:peers", false, 600, 0},
        {"not a dictionary", "l4:spame", false, 600, 0},
    };
    for (const Case& c : cases) {
        const TrackerAnswer a = ParseTrackerAnswer(c.body);
        EXPECT_EQ(a.parsed, c.parsed) << c.name;
        EXPECT_EQ(a.interval, c.interval) << c.name;
        EXPECT_EQ(a.peers.size(), c.peers) << c.name;
    }
    const TrackerAnswer failed = ParseTrackerAnswer("d" + Str("failure reason", "unregistered torrent") + "e");
    EXPECT_TRUE(failed.failure);
    EXPECT_EQ(failed.failure_reason, "unregistered torrent");
}

TEST(TrackerAnswer, CompactAndDictionaryPeerIds) {
    const std::string id20 = "-TR3000-abcdefghijkl";
    const std::string body = "d" + Int("done peers", 4) + Int("num completed", 9) + "5:peersl" +
                             "d" + Str("ip", "127.0.3.30") + Str("peer id", id20 + "zz") + Int("port", 51413) + "e" +
                             "d" + Str("ip", "127.0.3.31") + Int("port", 6881) + "e" +
                             "d" + Str("ip", "not-an-ip") + Int("port", 6881) + "e" +
                             "d" + Str("ip", "127.0.3.32") + Int("port", 70000) + "e" + "ee";
    const TrackerAnswer a = ParseTrackerAnswer(body);
    ASSERT_TRUE(a.parsed);
    EXPECT_EQ(a.done_peers, 4);
    EXPECT_EQ(a.num_completed, 9);
    ASSERT_EQ(a.peers.size(), 2u);
    EXPECT_EQ(a.peers[0].address, Ip4("127.0.3.30"));
    EXPECT_EQ(a.peers[0].port, 51413);
    EXPECT_EQ(std::string(a.peers[0].peer_id.begin(), a.peers[0].peer_id.end()), id20);
    // Without a usable id: 12 zero bytes, the address, the port little-endian in 4 bytes.
    PeerIdBytes expected{};
    const uint32_t addr = Ip4("127.0.3.31");
    std::memcpy(expected.data() + 12, &addr, 4);
    expected[16] = 6881 & 0xFF;
    expected[17] = 6881 >> 8;
    EXPECT_EQ(a.peers[1].peer_id, expected);

    std::vector<TrackerPeerEntry> compact;
    const std::string bytes = Compact({{"127.0.3.40", 6881}});
    AppendCompactPeers(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(), &compact);
    ASSERT_EQ(compact.size(), 1u);
    EXPECT_EQ(std::memcmp(compact[0].peer_id.data() + 14, bytes.data(), 6), 0);
    EXPECT_TRUE(std::all_of(compact[0].peer_id.begin(), compact[0].peer_id.begin() + 14, [](uint8_t b) { return b == 0; }));
}

TEST(TrackerHttp, RepliesByStatusAndLength) {
    struct Case {
        const char* name;
        std::string buffered;
        bool closed;
        TrackerReplyStatus status;
        std::string body;
    } cases[] = {
        {"length with blanks", "HTTP/1.0 200 OK\r\nContent-Length:     4\r\n\r\nd1:e", false, TrackerReplyStatus::kComplete, "d1:e"},
        {"length lower case, no blank", "HTTP/1.1 200 OK\r\ncontent-length:2\r\n\r\nlexyz", false, TrackerReplyStatus::kComplete, "le"},
        {"body not all there", "HTTP/1.0 200 OK\r\nContent-Length: 10\r\n\r\nd1:", false, TrackerReplyStatus::kNeedMore, ""},
        {"short body at the end", "HTTP/1.0 200 OK\r\nContent-Length: 10\r\n\r\nd1:", true, TrackerReplyStatus::kMalformed, ""},
        {"no length: waits for the close", "HTTP/1.0 200 OK\r\n\r\nd5:peers0:", false, TrackerReplyStatus::kNeedMore, ""},
        {"no length, closed", "HTTP/1.0 200 OK\r\n\r\nd5:peers0:e", true, TrackerReplyStatus::kComplete, "d5:peers0:e"},
        {"bare line feeds", "HTTP/1.0 200 OK\nContent-Length: 2\n\nle", false, TrackerReplyStatus::kComplete, "le"},
        {"404 is no answer", "HTTP/1.0 404 Not Found\r\nContent-Length: 2\r\n\r\nle", false, TrackerReplyStatus::kNotOk, ""},
        {"302 is no answer", "HTTP/1.0 302 Found\r\n\r\n", true, TrackerReplyStatus::kNotOk, ""},
        {"not http", "SSH-2.0-OpenSSH\r\n\r\n", false, TrackerReplyStatus::kMalformed, ""},
        {"bad length", "HTTP/1.0 200 OK\r\nContent-Length: -3\r\n\r\nle", false, TrackerReplyStatus::kMalformed, ""},
        {"chunked", "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n2\r\nle\r\n0\r\n\r\n", true, TrackerReplyStatus::kMalformed, ""},
        {"header without end", "HTTP/1.0 200 OK\r\nX: y", false, TrackerReplyStatus::kNeedMore, ""},
        {"endless header", "HTTP/1.0 200 OK\r\n" + std::string(kMaxTrackerHeader, 'h'), false, TrackerReplyStatus::kMalformed, ""},
        {"huge length", "HTTP/1.0 200 OK\r\nContent-Length: 99999999999\r\n\r\n", false, TrackerReplyStatus::kMalformed, ""},
    };
    for (const Case& c : cases) {
        const TrackerReply r = ReadTrackerReply(c.buffered, c.closed);
        EXPECT_EQ(r.status, c.status) << c.name;
        if (c.status == TrackerReplyStatus::kComplete) {
            EXPECT_EQ(r.body, c.body) << c.name;
        }
    }
}

TEST(TrackerHttp, AnnounceKeepsThePasskeyQueryAndNamesTheHost) {
    TrackerQueryFigures f;
    f.escaped_info_hash = "%12%34abc";
    f.peer_id = {0x00, 0x01, 'Z', 'l', 'A', '-', 0xFF};
    f.port = 6881;
    f.uploaded = 1;
    f.downloaded = 2;
    f.left = 3;
    const std::string target = BuildAnnounceTarget("/announce", "passkey=s3cr3t", f);
    EXPECT_EQ(target,
              "/announce?passkey=s3cr3t&info_hash=%12%34abc&peer_id=%00%01ZlA%2d%ff%00%00%00%00%00%00%00%00%00%00%00%00%00"
              "&port=6881&uploaded=1&downloaded=2&left=3&event=started&key=3800&compact=1&numwant=200");
    EXPECT_EQ(BuildAnnounceTarget("/a", "", f).rfind("/a?info_hash=", 0), 0u);
    EXPECT_EQ(BuildAnnounceRequest("/a?x", "tracker.test", 80),
              "GET /a?x HTTP/1.0\r\nUser-Agent: BitTorrent/4.1.2\r\nHost: tracker.test\r\nConnection: close\r\n\r\n");
    EXPECT_NE(BuildAnnounceRequest("/a?x", "tracker.test", 6969).find("Host: tracker.test:6969\r\n"), std::string::npos);
}

TEST(TrackerUdp, DatagramsAreCheckedForLengthActionAndTransaction) {
    const UdpTransaction connect_t = UdpTransactionOf(1000), announce_t = UdpTransactionOf(1001);
    auto make = [](uint32_t action, const UdpTransaction& t, size_t length) {
        std::vector<uint8_t> d(length, 0);
        for (int i = 0; i < 4 && i < int(length); ++i) d[i] = static_cast<uint8_t>(action >> (24 - 8 * i));
        if (length >= 8) std::memcpy(d.data() + 4, t.data(), 4);
        return d;
    };
    using Kind = UdpTrackerDatagram::Kind;
    struct Case {
        const char* name;
        std::vector<uint8_t> bytes;
        bool connecting, announcing;
        Kind kind;
    } cases[] = {
        {"connect answer", make(0, connect_t, 16), true, false, Kind::kConnected},
        {"short connect answer", make(0, connect_t, 15), true, false, Kind::kIgnored},
        {"connect answer, wrong transaction", make(0, announce_t, 16), true, false, Kind::kIgnored},
        {"connect answer when not connecting", make(0, connect_t, 16), false, true, Kind::kIgnored},
        {"announce answer", make(1, announce_t, 20 + 18 + 2), false, true, Kind::kAnnounced},
        {"short announce answer", make(1, announce_t, 19), false, true, Kind::kIgnored},
        {"announce answer, wrong transaction", make(1, connect_t, 32), false, true, Kind::kIgnored},
        {"error answer", make(3, announce_t, 30), false, true, Kind::kIgnored},
        {"tiny", make(0, connect_t, 5), true, true, Kind::kIgnored},
    };
    for (const Case& c : cases) {
        const UdpTrackerDatagram d =
            ReadUdpTrackerDatagram(c.bytes.data(), c.bytes.size(), c.connecting, connect_t, c.announcing, announce_t);
        EXPECT_EQ(d.kind, c.kind) << c.name;
    }

    UdpAnnounceFigures f;
    f.connection = {1, 2, 3, 4, 5, 6, 7, 8};
    f.transaction = announce_t;
    f.left = 0x0102030405;
    f.port = 6881;
    const auto a = BuildUdpAnnounce(f);
    EXPECT_EQ(a.size(), 104u);
    EXPECT_EQ(a[11], 1);   // action announce
    EXPECT_EQ(a[83], 2);   // event started
    EXPECT_EQ(a[95], 200); // num_want
    EXPECT_EQ(a[96] << 8 | a[97], 6881);
    EXPECT_EQ(a[67], 0x01);
    EXPECT_EQ(a[71], 0x05);
    const auto c = BuildUdpConnect(connect_t);
    EXPECT_EQ(std::vector<uint8_t>(c.begin(), c.begin() + 8), (std::vector<uint8_t>{0, 0, 4, 0x17, 0x27, 0x10, 0x19, 0x80}));
}

// --- the peer against scripted trackers -------------------------------------------

class TrackerPeerTest : public ::testing::Test {
protected:
    RefPtr<TTrackerPeer> NewPeer() {
        auto peer = RefPtr<TTrackerPeer>::Adopt(new TTrackerPeer(task, task, SocketEnv{}));
        peer->Reset();
        return peer;
    }
    RefPtr<TPeerId> Tracker(const std::string& url, uint32_t address, uint16_t port, bool tcp) {
        auto id = RefPtr<TPeerId>::Adopt(new TPeerId("tracker://" + url));
        id->kind = kKindTracker;
        id->address = address;
        id->port = port;
        id->tracker_over_tcp = tcp;
        id->parsed = true;
        const size_t scheme = url.find("://");
        const size_t slash = url.find('/', scheme + 3);
        const size_t q = url.find('?');
        id->Source().host = url.substr(scheme + 3, url.find_first_of(":/", scheme + 3) - scheme - 3);
        id->Source().path = url.substr(slash, q == std::string::npos ? std::string::npos : q - slash);
        if (q != std::string::npos) id->Source().query = url.substr(q + 1);
        return id;
    }
    // Runs passes until the peer fails or answers; true when it answered.
    bool Drive(TTrackerPeer& peer, int max_ms = 3000) {
        for (int i = 0; i < max_ms; ++i) {
            if (!peer.DownloadPass()) return peer.answered();
            usleep(1000);
        }
        return false;
    }
    TrackerTestTask task;
};

TEST_F(TrackerPeerTest, HttpAnswerBecomesCandidatesAndKeepsThePasskey) {
    const std::string body = "d" + Int("interval", 30) + Int("done peers", 2) +
                             Str("peers", Compact({{"127.0.3.20", 6881}, {"127.0.3.21", 51413}})) + "e";
    ScriptedHttpTracker tracker(HttpReply("200 OK", body));
    auto id = Tracker("http://tr.test:" + std::to_string(tracker.port()) + "/announce?passkey=k3y", Ip4("127.0.3.10"),
                      tracker.port(), true);
    auto peer = NewPeer();
    ASSERT_TRUE(peer->AttachIdentity(id.get()));
    EXPECT_TRUE(Drive(*peer));
    const std::string request = tracker.request();
    EXPECT_EQ(request.rfind("GET /announce?passkey=k3y&info_hash=%a0%a1&peer_id=%00%01Zl", 0), 0u) << request;
    EXPECT_NE(request.find("&port=6881&uploaded=5&downloaded=7&left=131072&event=started&key=3800&compact=1&numwant=200 HTTP/1.0\r\n"),
              std::string::npos);
    EXPECT_NE(request.find("\r\nHost: tr.test:" + std::to_string(tracker.port()) + "\r\n"), std::string::npos);
    EXPECT_EQ(request.find("Accept-Encoding"), std::string::npos);
    ASSERT_EQ(task.candidates.size(), 2u);
    EXPECT_EQ(task.candidates[0].kind, kKindNode);
    EXPECT_EQ(task.candidates[0].address, Ip4("127.0.3.20"));
    EXPECT_EQ(task.candidates[1].port, 51413);
    EXPECT_EQ(task.candidates[1].text, "btnode://127.0.3.21:51413");
    EXPECT_EQ(task.answers, 1);
    EXPECT_EQ(task.figures.interval, 600);
    EXPECT_EQ(task.figures.done_peers, 2);
}

TEST_F(TrackerPeerTest, AnswerWithoutContentLengthIsReadToTheEndOfTheConnection) {
    const std::string body = "d" + Int("interval", 1800) + Str("peers", Compact({{"127.0.3.22", 7000}})) + "e";
    ScriptedHttpTracker tracker(HttpReply("200 OK", body, false));
    auto id = Tracker("http://127.0.3.10:" + std::to_string(tracker.port()) + "/ann", Ip4("127.0.3.10"),
                      tracker.port(), true);
    auto peer = NewPeer();
    ASSERT_TRUE(peer->AttachIdentity(id.get()));
    EXPECT_TRUE(Drive(*peer));
    ASSERT_EQ(task.candidates.size(), 1u);
    EXPECT_EQ(task.figures.interval, 1800);
}

TEST_F(TrackerPeerTest, NonSuccessStatusIsNoAnswer) {
    const std::string body = "d" + Str("peers", Compact({{"127.0.3.23", 7000}})) + "e";
    ScriptedHttpTracker tracker(HttpReply("503 Service Unavailable", body));
    auto id = Tracker("http://127.0.3.10:" + std::to_string(tracker.port()) + "/ann", Ip4("127.0.3.10"),
                      tracker.port(), true);
    auto peer = NewPeer();
    ASSERT_TRUE(peer->AttachIdentity(id.get()));
    EXPECT_FALSE(Drive(*peer));
    EXPECT_TRUE(task.candidates.empty());
    EXPECT_EQ(task.answers, 0);
}

TEST_F(TrackerPeerTest, RefusedConnectionFailsThePass) {
    ScriptedHttpTracker probe(HttpReply("200 OK", "de"));
    const uint16_t port = probe.port();
    auto id = Tracker("http://127.0.3.11:" + std::to_string(port) + "/ann", Ip4("127.0.3.11"), port, true);
    auto peer = NewPeer();
    if (peer->AttachIdentity(id.get())) {
        EXPECT_FALSE(Drive(*peer));
    }
    EXPECT_EQ(task.answers, 0);
}

// A UDP tracker answered by the test: short and wrong-transaction datagrams
// are ignored, and an unanswered announce goes out again after 11 seconds.
TEST_F(TrackerPeerTest, UdpExchangeIgnoresShortAndForeignDatagrams) {
    UdpSocket tracker;
    ASSERT_TRUE(tracker.Open(0, Ip4("127.0.3.12")));
    auto id = Tracker("udp://127.0.3.12:" + std::to_string(tracker.bound_port()) + "/announce", Ip4("127.0.3.12"),
                      tracker.bound_port(), false);
    auto peer = NewPeer();
    ASSERT_TRUE(peer->AttachIdentity(id.get()));
    std::vector<uint8_t> buffer(8192);
    auto expect_request = [&](size_t size) {
        UdpSocket::ReadResult r;
        for (int i = 0; i < 2000; ++i) {
            r = tracker.Receive(buffer.data(), buffer.size());
            if (r.kind == UdpSocket::ReadKind::kDatagram) break;
            usleep(500);
        }
        EXPECT_EQ(r.kind, UdpSocket::ReadKind::kDatagram);
        EXPECT_EQ(r.length, size);
        return r;
    };
    auto pass_a_few = [&] {
        for (int i = 0; i < 20; ++i) {
            ASSERT_TRUE(peer->DownloadPass());
            usleep(500);
        }
    };
    const UdpSocket::ReadResult connect = expect_request(16);
    std::vector<uint8_t> reply(16, 0);
    std::memcpy(reply.data() + 4, buffer.data() + 12, 4);  // the transaction
    for (int i = 8; i < 16; ++i) reply[i] = static_cast<uint8_t>(0x10 + i);
    // 15 bytes: short of a connect answer.
    ASSERT_TRUE(tracker.SendTo(reply.data(), 15, connect.address, connect.port));
    pass_a_few();
    EXPECT_NE(peer->connection_state(), kConnHandshakeDone);
    ASSERT_TRUE(tracker.SendTo(reply.data(), 16, connect.address, connect.port));
    pass_a_few();
    EXPECT_EQ(peer->connection_state(), kConnHandshakeDone);

    expect_request(104);
    EXPECT_EQ(std::memcmp(buffer.data(), reply.data() + 8, 8), 0);                  // the connection id
    EXPECT_EQ(std::memcmp(buffer.data() + 16, task.facts.info_hash.data(), 20), 0);
    EXPECT_EQ(std::memcmp(buffer.data() + 36, task.facts.peer_id.data(), 20), 0);  // the handshake peer id
    uint8_t transaction[4];
    std::memcpy(transaction, buffer.data() + 12, 4);

    std::vector<uint8_t> answer(20, 0);
    answer[3] = 1;
    answer[10] = 0x07;  // interval 1800
    answer[11] = 0x08;
    const std::string peers = Compact({{"127.0.3.24", 6881}, {"127.0.3.25", 6882}});
    answer.insert(answer.end(), peers.begin(), peers.end());
    // Another transaction, then 19 bytes: both ignored.
    std::vector<uint8_t> foreign = answer;
    foreign[4] ^= 0xFF;
    ASSERT_TRUE(tracker.SendTo(foreign.data(), foreign.size(), connect.address, connect.port));
    ASSERT_TRUE(tracker.SendTo(answer.data(), 19, connect.address, connect.port));
    pass_a_few();
    EXPECT_FALSE(peer->answered());
    EXPECT_TRUE(task.candidates.empty());

    // Unanswered for 11 s: the announce is sent again with a new transaction.
    task.fake_clock.Advance(11'000);
    pass_a_few();
    expect_request(104);
    std::memcpy(answer.data() + 4, buffer.data() + 12, 4);
    EXPECT_EQ(peer->connection_state(), kConnHandshakeDone);
    ASSERT_TRUE(tracker.SendTo(answer.data(), answer.size(), connect.address, connect.port));
    EXPECT_TRUE(Drive(*peer));
    ASSERT_EQ(task.candidates.size(), 2u);
    EXPECT_EQ(task.candidates[1].address, Ip4("127.0.3.25"));
    EXPECT_EQ(task.figures.interval, 1800);
}

TEST_F(TrackerPeerTest, SilentTrackerIsAskedAgainThenGivenUp) {
    UdpSocket tracker;
    ASSERT_TRUE(tracker.Open(0, Ip4("127.0.3.13")));
    auto id = Tracker("udp://127.0.3.13:1/a", Ip4("127.0.3.13"), tracker.bound_port(), false);
    auto peer = NewPeer();
    ASSERT_TRUE(peer->AttachIdentity(id.get()));
    std::vector<uint8_t> buffer(64);
    int connects = 0;
    for (int second = 0; second < 70 && peer->DownloadPass() && !peer->IsTimedOut(); ++second) {
        usleep(200);
        while (tracker.Receive(buffer.data(), buffer.size()).kind == UdpSocket::ReadKind::kDatagram) ++connects;
        task.fake_clock.Advance(1000);
    }
    EXPECT_TRUE(peer->IsTimedOut());
    EXPECT_GE(connects, 5);  // every 11 s for a minute
    EXPECT_LE(connects, 7);
}

}  // namespace
}  // namespace zl
