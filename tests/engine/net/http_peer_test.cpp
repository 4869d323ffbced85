// The HTTP source peer driven pass by pass against a real nginx on loopback
// (a good mirror, one that ignores Range, error statuses and redirects) and
// a scripted server that dies in the middle of a body.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "engine/net/http_peer.h"
#include "tests/engine/net/server_peer_test_support.h"

namespace zl {
namespace {

using test::kNginx;
constexpr int64_t kPiece = 32768;
constexpr int64_t kSize = 300000;  // ten pieces, the last one short

class HttpPeerNginx : public ::testing::Test {
protected:
    void SetUp() override {
        if (!test::HaveProgram(kNginx)) GTEST_SKIP() << "nginx is not installed";
        content_ = test::TestContent(kSize);
        test::WriteFile(folder_ / "www/files/a.bin", content_);
        test::WriteFile(folder_ / "www/files/small.txt", "small resource\n");
        address_ = test::TestAddress();
        port_ = test::FreePort(address_);
        server_ = test::StartNginx(
            folder_, address_, port_,
            "    location /norange/ { max_ranges 0; alias " + folder_ / "www/files/" + "; }\n"
            "    location = /moved { return 302 /files/a.bin; }\n"
            "    location = /secure { return 302 https://secure.test/a.bin; }\n"
            "    location ~ ^/hop/(.*)$ { return 302 /hop/$1x; }\n"
            "    location = /busy { return 503; }\n");
        ASSERT_TRUE(server_) << "nginx did not start; see " << folder_ / "error.log";
    }

    std::string Url(const std::string& path) const {
        return "http://" + address_ + ":" + std::to_string(port_) + path;
    }

    test::ServedDir folder_;
    std::string address_;
    uint16_t port_ = 0;
    std::string content_;
    std::optional<test::TestServer> server_;
};

RefPtr<THttpPeer> MakePeer(test::RecordingTask& task) {
    return RefPtr<THttpPeer>::Adopt(new THttpPeer(task, test::PeerEnv()));
}

TEST_F(HttpPeerNginx, GoodMirrorDeliversEveryBlockOnce) {
    struct Case {
        const char* path;
        int32_t pieces_held;   // pieces the task already has
        bool length_known;     // the source's length is known before the first request
        int expected_status;
    };
    const Case cases[] = {
        {"/files/a.bin", 0, false, 200},   // from byte 0: no Range, the answer tells the length
        {"/files/a.bin", 4, true, 206},    // from piece 4: "Range: bytes=131072-"
        {"/norange/a.bin", 0, false, 200}, // Range ignored, but none is needed from byte 0
        {"/norange/a.bin", 2, true, 200},  // ignored Range: 64 KiB are skipped, never delivered
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.path) + " from piece " + std::to_string(c.pieces_held));
        test::RecordingTask task(kSize, kPiece);
        if (c.pieces_held > 0) task.HavePieces(0, c.pieces_held - 1);
        auto identity = test::ParsedIdentity(Url(c.path));
        if (c.length_known) identity->Source().content_length = kSize;
        auto peer = MakePeer(task);
        ASSERT_TRUE(peer->AttachIdentity(identity.get()));
        EXPECT_EQ(peer->request_start(), c.pieces_held * kPiece);

        bool failed = false;
        test::RunPasses(*peer, &failed);
        EXPECT_TRUE(failed) << "a server peer ends when nothing is left";
        EXPECT_EQ(peer->activity(), kActivityFinished);
        EXPECT_TRUE(task.IsComplete());
        const int64_t from = c.pieces_held * kPiece;
        EXPECT_TRUE(task.EveryBlockOnce(from));
        EXPECT_TRUE(task.image.substr(from) == content_.substr(from));
        EXPECT_EQ(peer->response_header().status, c.expected_status);
        EXPECT_EQ(identity->Source().content_length, kSize);
        EXPECT_EQ(identity->Source().file_name, "a.bin");
        EXPECT_EQ(identity->order_key, kOrderKeyRedirect);  // a 2xx answer moves 29 to 28
        EXPECT_TRUE(task.penalties.empty());
        EXPECT_EQ(identity->reconnects, 0);
        peer->Reset();
    }
}

TEST_F(HttpPeerNginx, BodyIsReceivedInPlaceWhereTheTaskOffersMemory) {
    for (int32_t offer_every : {1, 2}) {
        SCOPED_TRACE(offer_every);
        test::InPlaceTask task(kSize, kPiece, offer_every);
        auto identity = test::ParsedIdentity(Url("/files/a.bin"));
        identity->Source().content_length = kSize;
        auto peer = RefPtr<THttpPeer>::Adopt(new THttpPeer(task, test::PeerEnv()));
        ASSERT_TRUE(peer->AttachIdentity(identity.get()));
        bool failed = false;
        test::RunPasses(*peer, &failed);
        test::ExpectFilledInPlace(task, content_, offer_every);
        EXPECT_TRUE(task.penalties.empty());
    }
}

TEST_F(HttpPeerNginx, JumpOfTheTasksReaderRestartsWithANewRange) {
    test::RecordingTask task(kSize, kPiece);
    auto identity = test::ParsedIdentity(Url("/files/a.bin"));
    identity->Source().content_length = kSize;
    auto peer = MakePeer(task);
    ASSERT_TRUE(peer->AttachIdentity(identity.get()));
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (task.deliveries.empty() && std::chrono::steady_clock::now() < deadline) ASSERT_TRUE(peer->DownloadPass());
    ASSERT_LE(task.deliveries.size(), 6u);
    task.position = 8;  // the reader now wants piece 8 onwards, far ahead of the stream
    bool failed = false;
    test::RunPasses(*peer, &failed);
    EXPECT_TRUE(task.IsComplete());
    EXPECT_TRUE(task.EveryBlockOnce());
    EXPECT_TRUE(task.image == content_);
    EXPECT_GE(identity->reconnects, 1) << "a new request at the reader's position, not 200 KiB of skipping";
    EXPECT_TRUE(task.penalties.empty());
}

TEST_F(HttpPeerNginx, SecondConnectionDoesNotRereadTheLength) {
    test::RecordingTask task(kSize, kPiece);
    auto identity = test::ParsedIdentity(Url("/files/a.bin"));
    identity->open_connections = 2;
    auto peer = MakePeer(task);
    ASSERT_TRUE(peer->AttachIdentity(identity.get()));
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!peer->header_received() && std::chrono::steady_clock::now() < deadline)
        ASSERT_TRUE(peer->DownloadPass());
    ASSERT_TRUE(peer->header_received());
    EXPECT_EQ(identity->Source().content_length, -1);
    EXPECT_EQ(identity->Source().file_name, "a.bin");  // from the URL, not replaced
}

TEST_F(HttpPeerNginx, ServerIgnoringRangeFarAheadIsRemovedNotAskedForever) {
    test::RecordingTask task(kSize, kPiece);
    task.HavePieces(0, 4);  // the wanted block is 160 KiB in: too far to skip
    auto identity = test::ParsedIdentity(Url("/norange/a.bin"));
    identity->Source().content_length = kSize;
    auto peer = MakePeer(task);
    ASSERT_TRUE(peer->AttachIdentity(identity.get()));
    bool failed = false;
    test::RunPasses(*peer, &failed);
    EXPECT_TRUE(failed);
    EXPECT_TRUE(task.deliveries.empty()) << "bytes from offset 0 must never be taken for the wanted block";
    ASSERT_EQ(task.penalties.size(), 1u);
    EXPECT_FALSE(task.penalties[0].keep) << "the source is removed";
    EXPECT_EQ(identity->reconnects, THttpPeer::kMaxIgnoredRanges - 1);
}

TEST_F(HttpPeerNginx, StatusesRedirectsAndErrors) {
    struct Case {
        const char* path;
        int penalties;
        bool keep;
        int32_t passes;
        const char* candidate;  // the new source a redirect hands to the task, "" none
    };
    const std::string moved_to = Url("/files/a.bin");
    const Case cases[] = {
        {"/files/missing.bin", 1, false, 0, ""},            // 4xx: the source is removed
        {"/busy", 1, true, THttpPeer::kServerPenalty, ""},  // 5xx: rested 60 passes
        {"/moved", 0, false, 0, moved_to.c_str()},          // a new identity, not followed here
        {"/secure", 0, false, 0, ""},                       // https: no source is made
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        test::RecordingTask task(kSize, kPiece);
        auto identity = test::ParsedIdentity(Url(c.path));
        auto peer = MakePeer(task);
        ASSERT_TRUE(peer->AttachIdentity(identity.get()));
        bool failed = false;
        test::RunPasses(*peer, &failed);
        EXPECT_TRUE(failed);
        EXPECT_TRUE(task.deliveries.empty());
        ASSERT_EQ(static_cast<int>(task.penalties.size()), c.penalties);
        if (c.penalties) {
            EXPECT_EQ(task.penalties[0].keep, c.keep);
            EXPECT_EQ(task.penalties[0].passes, c.passes);
        }
        if (*c.candidate) {
            ASSERT_EQ(task.candidates.size(), 1u);
            TPeerId& next = *task.candidates[0];
            EXPECT_EQ(next.text, c.candidate);
            EXPECT_TRUE(next.parsed);
            EXPECT_EQ(next.kind, kKindHttp);
            EXPECT_EQ(next.order_key, kOrderKeyRedirect);
            EXPECT_EQ(next.port, port_);
            EXPECT_EQ(next.Source().referer, c.candidate);
            EXPECT_TRUE(identity->Source().redirected);
            EXPECT_EQ(peer->activity(), kActivityFinished);
        } else {
            EXPECT_TRUE(task.candidates.empty());
        }
    }
}

TEST_F(HttpPeerNginx, SameRedirectOverAndOverRemovesTheSource) {
    test::RecordingTask task(kSize, kPiece);
    auto identity = test::ParsedIdentity(Url("/moved"));
    for (int round = 0; round < 3; ++round) {
        auto peer = MakePeer(task);
        ASSERT_TRUE(peer->AttachIdentity(identity.get()));
        bool failed = false;
        test::RunPasses(*peer, &failed);
        peer->Reset();
    }
    EXPECT_EQ(identity->Source().redirect_count, 3);
    ASSERT_EQ(task.penalties.size(), 1u);
    EXPECT_FALSE(task.penalties[0].keep);
    EXPECT_EQ(task.candidates.size(), 2u);
}

// Each redirect names a new location: the chain is followed only so far,
// and the source at its end is removed instead of making sources for ever.
TEST_F(HttpPeerNginx, EndlessChainOfRedirectsEnds) {
    test::RecordingTask task(kSize, kPiece);
    RefPtr<TPeerId> source = test::ParsedIdentity(Url("/hop/a"));
    int hops = 0;
    for (; hops < 40; ++hops) {
        const size_t before = task.candidates.size();
        auto peer = MakePeer(task);
        ASSERT_TRUE(peer->AttachIdentity(source.get()));
        bool failed = false;
        test::RunPasses(*peer, &failed);
        peer->Reset();
        if (task.candidates.size() == before) break;
        source = task.candidates.back();
        source->open_connections = 1;
    }
    EXPECT_EQ(hops, THttpPeer::kMaxRedirectHops);
    ASSERT_EQ(task.penalties.size(), 1u);
    EXPECT_FALSE(task.penalties[0].keep) << "the end of the chain is removed";
    EXPECT_TRUE(task.deliveries.empty());
}

TEST_F(HttpPeerNginx, WholeContentCollectsTheBody) {
    test::RecordingTask task(kSize, kPiece);
    auto identity = test::ParsedIdentity(Url("/files/small.txt"));
    identity->Source().whole_content = true;
    identity->metainfo_source = true;
    auto peer = MakePeer(task);
    ASSERT_TRUE(peer->AttachIdentity(identity.get()));
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!identity->Source().content_complete && std::chrono::steady_clock::now() < deadline)
        ASSERT_TRUE(peer->DownloadPass());
    EXPECT_TRUE(identity->Source().content_complete);
    EXPECT_EQ(identity->Source().content, "small resource\n");
    EXPECT_TRUE(task.deliveries.empty());
}

// Sends a 200 header for the whole file and the first 100000 bytes, then dies.
constexpr const char* kDyingMirrorServe = R"PY(
import os, socket, sys, threading
here = os.path.dirname(os.path.abspath(__file__))
data = open(os.path.join(here, 'a.bin'), 'rb').read()
def serve(c):
    request = b''
    while b'\r\n\r\n' not in request:
        part = c.recv(4096)
        if not part:
            c.close()
            return
        request += part
    c.sendall(b'HTTP/1.1 200 OK\r\nContent-Length: %d\r\n\r\n' % len(data) + data[:100000])
    c.close()
)PY";
const std::string kDyingMirror = std::string(kDyingMirrorServe) + test::kThreadedServeLoop;

TEST(HttpPeer, MirrorDyingMidTransferFailsCleanlyAndReleasesTheRange) {
    test::ServedDir folder;
    const std::string content = test::TestContent(kSize);
    test::WriteFile(folder / "a.bin", content);
    test::ScriptedServer server(folder, "dying", kDyingMirror);
    ASSERT_TRUE(server.listening);

    test::RecordingTask task(kSize, kPiece);
    auto identity = test::ParsedIdentity("http://" + server.address + ":" + std::to_string(server.port) + "/a.bin");
    auto peer = MakePeer(task);
    ASSERT_TRUE(peer->AttachIdentity(identity.get()));
    bool failed = false;
    test::RunPasses(*peer, &failed);
    ASSERT_TRUE(failed);
    // Six whole blocks arrived before the end; the partial seventh is not delivered.
    EXPECT_EQ(task.deliveries.size(), 6u);
    for (auto& [offset, count] : task.deliveries) EXPECT_EQ(count, 1);
    EXPECT_TRUE(task.image.substr(0, 6 * kBlockSize) == content.substr(0, 6 * kBlockSize));
    EXPECT_TRUE(task.penalties.empty()) << "the task decides what a failed pass costs";

    TPieceRange* range = peer->range();
    ASSERT_NE(range, nullptr);
    peer->Reset();  // what the task does with a failed peer
    EXPECT_EQ(range->owner, nullptr);
    EXPECT_EQ(peer->range(), nullptr);
    EXPECT_GT(task.returned, 0u);
    EXPECT_EQ(identity->open_connections, 0);
    EXPECT_FALSE(peer->IsConnected());
}

// Answers every request with the bytes of response.bin and closes; the
// requests are appended to requests.log.
constexpr const char* kCannedServerServe = R"PY(
import os, socket, sys, threading
here = os.path.dirname(os.path.abspath(__file__))
def serve(c):
    request = b''
    while b'\r\n\r\n' not in request:
        part = c.recv(4096)
        if not part:
            c.close()
            return
        request += part
    with open(os.path.join(here, 'requests.log'), 'ab') as log:
        log.write(request)
    c.sendall(open(os.path.join(here, 'response.bin'), 'rb').read())
    c.close()
)PY";
const std::string kCannedServer = std::string(kCannedServerServe) + test::kThreadedServeLoop;

TEST(HttpPeer, OddAnswersFromAScriptedServer) {
    const std::string content = test::TestContent(kSize);
    const std::string chunked = "Transfer-Encoding: chunked\r\n\r\n5\r\nhello\r\n6\r\n world\r\n0\r\n\r\n";
    struct Case {
        const char* name;
        std::string response;
        bool whole_content;
        int32_t pieces_held;
        int penalty;          // passes of the one penalty expected, -1 none
        const char* body;     // whole-content result, "" none
        bool blocks;          // the file arrives from the first wanted block on
        int unresolved;
    };
    const Case cases[] = {
        {"chunked blocks", "HTTP/1.1 200 OK\r\n" + chunked, false, 0, THttpPeer::kServerPenalty, "", false, 0},
        {"chunked whole", "HTTP/1.1 200 OK\r\nContent-Disposition: attachment; filename=\"pkg.bin\"; size=11\r\n" + chunked,
         true, 0, -1, "hello world", false, 0},
        {"header too large", "HTTP/1.1 200 OK\r\nX-Pad: " + std::string(20000, 'a') + "\r\n\r\n", false, 0, -1, "",
         false, 0},
        {"redirect to an unknown host", "HTTP/1.1 302 Found\r\nLocation: http://no.such.host/a.bin\r\n\r\n", false, 0,
         -1, "", false, 1},
        // Asked from 128 KiB, answered from byte 0 with a 206: the start comes from Content-Range.
        {"206 from an earlier start",
         "HTTP/1.1 206 Partial Content\r\nContent-Range: bytes 0-299999/300000\r\nContent-Length: 300000\r\n\r\n" +
             content,
         false, 4, -1, "", true, 0},
        // Every ranged request answered with the same early range: asking
        // again brings the same answer, so the source goes as one that ignores Range.
        {"206 never holding the asked start",
         "HTTP/1.1 206 Partial Content\r\nContent-Range: bytes 0-99/300000\r\nContent-Length: 100\r\n\r\n" +
             content.substr(0, 100),
         false, 4, 0, "", false, 0},
        // The tail of the file: the header, its whole body and the close come
        // at once, so the blocks are in the buffer before the close is seen.
        {"206 tail with the close",
         "HTTP/1.1 206 Partial Content\r\nContent-Range: bytes 262144-299999/300000\r\nContent-Length: 37856\r\n"
         "Connection: close\r\n\r\n" +
             content.substr(262144),
         false, 8, -1, "", true, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        test::ServedDir folder;
        test::WriteFile(folder / "response.bin", c.response);
        test::ScriptedServer server(folder, "canned", kCannedServer);
        ASSERT_TRUE(server.listening);
        const std::string base = "http://" + server.address + ":" + std::to_string(server.port);
        test::RecordingTask task(kSize, kPiece);
        if (c.pieces_held > 0) task.HavePieces(0, c.pieces_held - 1);
        auto identity = test::ParsedIdentity(base + "/a.bin");
        identity->Source().whole_content = c.whole_content;
        if (c.pieces_held > 0) identity->Source().content_length = kSize;
        auto peer = MakePeer(task);
        ASSERT_TRUE(peer->AttachIdentity(identity.get()));
        bool failed = false;
        test::RunPasses(*peer, &failed);
        EXPECT_TRUE(failed);
        if (c.penalty < 0) {
            EXPECT_TRUE(task.penalties.empty());
        } else {
            ASSERT_EQ(task.penalties.size(), 1u);
            EXPECT_EQ(task.penalties[0].passes, c.penalty);
        }
        if (*c.body) {
            EXPECT_TRUE(identity->Source().content_complete);
            EXPECT_EQ(identity->Source().content, c.body);
            EXPECT_EQ(identity->Source().file_name, "pkg.bin");
        }
        if (c.blocks) {
            const int64_t from = c.pieces_held * kPiece;
            EXPECT_TRUE(task.EveryBlockOnce(from));
            EXPECT_TRUE(task.image.substr(from) == content.substr(from));
            std::ifstream log(folder / "requests.log", std::ios::binary);
            std::stringstream request;
            request << log.rdbuf();
            EXPECT_EQ(request.str(), "GET /a.bin HTTP/1.1\r\nHost:" + server.address +
                                         "\r\nAccept:*/*\r\nReferer: " + base +
                                         "\r\nUser-Agent:Mozilla/4.0 (compatible; MSIE 5.00; Windows 98) "
                                         "Zephyrloader/1.0.0\r\nConnection:Keep-Alive\r\nRange: bytes=" +
                                         std::to_string(from) + "-\r\n"
                                         "Pragma: no-cache\r\nCache-Control: no-cache\r\n\r\n");
        } else {
            EXPECT_TRUE(task.deliveries.empty());
        }
        EXPECT_EQ(task.unresolved, c.unresolved);
        EXPECT_TRUE(task.candidates.empty());
    }
}

// Answers each ranged request on a kept-alive connection with at most
// `cap` bytes (the number in the file cap) from the asked start.
constexpr const char* kCappedRangeServerServe = R"PY(
import os, re, socket, sys, threading
here = os.path.dirname(os.path.abspath(__file__))
data = open(os.path.join(here, 'a.bin'), 'rb').read()
cap = int(open(os.path.join(here, 'cap')).read())
def serve(c):
    pending = b''
    while True:
        while b'\r\n\r\n' not in pending:
            part = c.recv(4096)
            if not part:
                c.close()
                return
            pending += part
        request, pending = pending.split(b'\r\n\r\n', 1)
        m = re.search(rb'Range: bytes=(\d+)-', request)
        start = int(m.group(1)) if m else 0
        end = min(len(data), start + cap)
        c.sendall(b'HTTP/1.1 206 Partial Content\r\nContent-Range: bytes %d-%d/%d\r\nContent-Length: %d\r\n\r\n'
                  % (start, end - 1, len(data), end - start) + data[start:end])
)PY";
const std::string kCappedRangeServer = std::string(kCappedRangeServerServe) + test::kThreadedServeLoop;

// A server that caps every range at a size that is not a whole number of
// blocks: the block cut by the end of an answer is asked for again at once,
// not after the 30 s silence. A cap below one block brings no block at all:
// such a server is removed as one that ignores Range, not asked for ever.
TEST(HttpPeer, RangesCutInsideABlockAreAskedAgainAtOnce) {
    const std::string content = test::TestContent(kSize);
    struct Case {
        int64_t cap;
        bool completes;
    };
    for (const Case c : {Case{100000, true}, Case{kBlockSize + 5, true}, Case{1000, false}}) {
        SCOPED_TRACE(c.cap);
        test::ServedDir folder;
        test::WriteFile(folder / "a.bin", content);
        test::WriteFile(folder / "cap", std::to_string(c.cap));
        test::ScriptedServer server(folder, "capped", kCappedRangeServer);
        ASSERT_TRUE(server.listening);
        test::RecordingTask task(kSize, kPiece);
        auto identity = test::ParsedIdentity("http://" + server.address + ":" + std::to_string(server.port) + "/a.bin");
        identity->Source().content_length = kSize;
        auto peer = MakePeer(task);
        ASSERT_TRUE(peer->AttachIdentity(identity.get()));
        bool failed = false;
        test::RunPasses(*peer, &failed);  // the task's clock stands still: no timeout can end a wait
        EXPECT_TRUE(failed);
        if (c.completes) {
            EXPECT_TRUE(task.IsComplete());
            EXPECT_TRUE(task.EveryBlockOnce());
            EXPECT_TRUE(task.image == content);
            EXPECT_TRUE(task.penalties.empty());
        } else {
            EXPECT_TRUE(task.deliveries.empty());
            ASSERT_EQ(task.penalties.size(), 1u);
            EXPECT_FALSE(task.penalties[0].keep);
        }
    }
}

// A small file from a server that ignores Range and closes: the whole body
// is buffered with the header, and the bytes before the wanted block are
// skipped from the buffer before the close is seen, not lost with it.
TEST(HttpPeer, BufferedBodyBeforeTheCloseIsReadFromTheSkip) {
    constexpr int64_t kSmall = 40000;  // two pieces, the first already held
    const std::string content = test::TestContent(kSmall);
    test::ServedDir folder;
    test::WriteFile(folder / "response.bin", "HTTP/1.1 200 OK\r\nContent-Length: 40000\r\nConnection: close\r\n\r\n" +
                                                 content);
    test::ScriptedServer server(folder, "canned", kCannedServer);
    ASSERT_TRUE(server.listening);
    test::RecordingTask task(kSmall, kPiece);
    task.HavePieces(0, 0);
    auto identity = test::ParsedIdentity("http://" + server.address + ":" + std::to_string(server.port) + "/a.bin");
    identity->Source().content_length = kSmall;
    auto peer = MakePeer(task);
    ASSERT_TRUE(peer->AttachIdentity(identity.get()));
    bool failed = false;
    test::RunPasses(*peer, &failed);
    EXPECT_TRUE(task.EveryBlockOnce(kPiece));
    EXPECT_TRUE(task.image.substr(kPiece) == content.substr(kPiece));
}

// A timeout is measured on the task's clock, not the wall clock.
TEST(HttpPeer, SilentServerTimesOutOnTheTaskClock) {
    test::ServedDir folder;
    test::ScriptedServer server(folder, "silent", test::kSilentServerScript);
    ASSERT_TRUE(server.listening);
    test::RecordingTask task(kSize, kPiece);
    auto identity = test::ParsedIdentity("http://" + server.address + ":" + std::to_string(server.port) + "/a.bin");
    auto peer = MakePeer(task);
    ASSERT_TRUE(peer->AttachIdentity(identity.get()));
    for (int i = 0; i < 5; ++i) ASSERT_TRUE(peer->DownloadPass());
    task.fake_clock.Advance(15000);
    EXPECT_TRUE(peer->DownloadPass()) << "15 s is the limit, not yet past it";
    task.fake_clock.Advance(1000);
    EXPECT_FALSE(peer->DownloadPass());
    EXPECT_EQ(peer->activity(), kActivityTimedOut);
    ASSERT_EQ(task.penalties.size(), 1u);
    EXPECT_TRUE(task.penalties[0].keep);
    EXPECT_EQ(task.penalties[0].passes, THttpPeer::kTimeoutPenalty);
}

}  // namespace
}  // namespace zl
