// The task's peer driver managing its server sources over simulated seconds:
// the retry back-off of failing servers, several connections to a server
// whose length is known, the server connection limit and rotation, and
// servers removed for bad pieces. The HTTP servers live in a scripted
// in-process transport and time is a fake clock, so nothing sleeps and no
// byte leaves the process.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "engine/base/errnum.h"
#include "engine/base/fake_clock.h"
#include "engine/core/driver/peer_driver.h"
#include "engine/core/sched/transfer_statistics.h"
#include "engine/net/address.h"
#include "engine/net/stream_transport.h"
#include "tests/engine/net/fake_resolver.h"

namespace zl {
namespace {

constexpr int64_t kPiece = 16384;
constexpr int32_t kPieces = 64;
constexpr int64_t kSize = kPiece * kPieces;

// The file's byte at `offset`; a bad server sends something else.
uint8_t FileByte(int64_t offset) { return static_cast<uint8_t>((offset * 131 + 7) % 251); }

enum class Server { kRefuse, kSilent, kServe, kBad, kNotFound };

// HTTP servers inside a transport: each endpoint refuses, accepts and says
// nothing, or answers ranged GETs with the file (or corrupted bytes), at most
// `rate` bytes per second of the fake clock on each connection.
class ScriptedTransport final : public IStreamTransport {
public:
    explicit ScriptedTransport(FakeClock& clock) : clock_(clock) {}

    void SetServer(uint32_t address, uint16_t port, Server kind, int64_t rate = 1 << 30) {
        servers_[{address, port}] = {kind, rate};
    }
    int Dials(uint32_t address, uint16_t port) const {
        auto it = dials_.find({address, port});
        return it == dials_.end() ? 0 : it->second;
    }
    int Open(uint32_t address, uint16_t port) const {
        int open = 0;
        for (const auto& [h, c] : connections_) open += c.remote == Key{address, port} ? 1 : 0;
        return open;
    }

    int Open(int32_t*) override {
        connections_[next_] = Connection{};
        return next_++;
    }
    int Bind(int, const StreamEndpoint&, int32_t*) override { return 0; }
    int Listen(int, int, int32_t* error) override { return Fail(error, err::kNotSocket); }
    int Connect(int handle, const StreamEndpoint& remote, int32_t* error) override {
        Connection* c = Find(handle);
        if (!c) return Fail(error, err::kNotSocket);
        c->remote = {remote.address, remote.port};
        ++dials_[c->remote];
        return Fail(error, err::kWouldBlock);  // finished at the first wait
    }
    int Accept(int, StreamEndpoint*, int32_t* error) override { return Fail(error, err::kWouldBlock); }
    int64_t Send(int handle, const uint8_t* data, size_t length, int32_t* error) override {
        Connection* c = Find(handle);
        if (!c) return Fail(error, err::kNotSocket);
        c->request.append(reinterpret_cast<const char*>(data), length);
        const size_t end = c->request.find("\r\n\r\n");
        if (end != std::string::npos && c->head.empty()) Answer(*c, c->request.substr(0, end));
        return static_cast<int64_t>(length);
    }
    int64_t Recv(int handle, uint8_t* data, size_t length, int32_t* error) override {
        Connection* c = Find(handle);
        if (!c) return Fail(error, err::kNotSocket);
        size_t n = 0;
        while (n < length && c->head_sent < c->head.size()) data[n++] = uint8_t(c->head[c->head_sent++]);
        const uint64_t second = clock_.TickMs() / 1000;
        if (second != c->second) {
            c->second = second;
            c->sent_this_second = 0;
        }
        const Behaviour& b = servers_[c->remote];
        while (n < length && c->at < c->end && c->sent_this_second < b.rate) {
            const uint8_t byte = FileByte(c->at++);
            data[n++] = b.kind == Server::kBad ? uint8_t(byte ^ 0x5A) : byte;
            ++c->sent_this_second;
        }
        if (n == 0) return Fail(error, err::kWouldBlock);
        return static_cast<int64_t>(n);
    }
    int Wait(int handle, bool writable, int, int32_t*) override {
        Connection* c = Find(handle);
        if (!c) return -1;
        if (writable) return 1;
        return c->head_sent < c->head.size() || (c->at < c->end && c->sent_this_second < servers_[c->remote].rate) ? 1
                                                                                                                   : 0;
    }
    int32_t PendingError(int handle) override {
        Connection* c = Find(handle);
        if (!c) return err::kNotSocket;
        return servers_[c->remote].kind == Server::kRefuse ? err::kConnRefused : err::kNone;
    }
    int LocalEndpoint(int, StreamEndpoint* local, int32_t*) override {
        *local = StreamEndpoint{};
        return 0;
    }
    int SetReceiveBuffer(int, int, int32_t*) override { return 0; }
    void Close(int handle) override { connections_.erase(handle); }

private:
    using Key = std::pair<uint32_t, uint16_t>;
    struct Behaviour {
        Server kind = Server::kRefuse;
        int64_t rate = 0;
    };
    struct Connection {
        Key remote{};
        std::string request, head;
        size_t head_sent = 0;
        int64_t at = 0, end = 0;
        uint64_t second = 0;
        int64_t sent_this_second = 0;
    };

    static int Fail(int32_t* error, int32_t code) {
        if (error) *error = code;
        return -1;
    }
    Connection* Find(int handle) {
        auto it = connections_.find(handle);
        return it == connections_.end() ? nullptr : &it->second;
    }
    void Answer(Connection& c, const std::string& request) {
        if (servers_[c.remote].kind == Server::kSilent) {
            c.head = "\r";  // never a whole header
            c.head_sent = 1;
            return;
        }
        if (servers_[c.remote].kind == Server::kNotFound) {
            c.head = "HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\n\r\n";
            return;
        }
        int64_t from = 0;
        if (const size_t r = request.find("Range: bytes="); r != std::string::npos)
            from = std::strtoll(request.c_str() + r + 13, nullptr, 10);
        from = std::clamp<int64_t>(from, 0, kSize);
        c.at = from;
        c.end = kSize;
        char head[256];
        std::snprintf(head, sizeof head,
                      "HTTP/1.1 206 Partial Content\r\nContent-Range: bytes %lld-%lld/%lld\r\n"
                      "Content-Length: %lld\r\n\r\n",
                      static_cast<long long>(from), static_cast<long long>(kSize - 1),
                      static_cast<long long>(kSize), static_cast<long long>(kSize - from));
        c.head = head;
    }

    FakeClock& clock_;
    std::map<Key, Behaviour> servers_;
    std::map<Key, int> dials_;
    std::map<int, Connection> connections_;
    int next_ = 100;
};

// A piece map of kPieces pieces that checks every block against the file's
// bytes: a piece with a bad block fails its hash check and is wanted again.
class FakePieceMap final : public TaskPieceView {
public:
    FakePieceMap(FakeClock& clock, IStreamTransport& transport)
        : clock_(clock), transport_(transport), pieces_(kPieces) {}

    Clock& ViewClock() override { return clock_; }
    uint64_t ViewSeconds() override { return clock_.TickMs() / 1000; }
    int32_t ViewMaxServerConnections() override { return server_limit; }
    BufferPool* ViewSocketPool() override { return nullptr; }
    IStreamTransport* ViewStreamTransport() override { return &transport_; }
    int32_t ViewConnectionsPerServer() override { return per_server; }
    ServerListView ViewServerList() override { return servers; }
    void ViewHostUnresolved() override { ++unresolved; }

    bool MapReady() override { return true; }
    BlockInfo MapGeometry() override { return BlockInfo(kSize, kPiece); }
    bool MapPieceNeeded(int32_t piece) override { return !pieces_[piece].done; }
    bool MapBlockPresent(int32_t piece, int64_t) override { return pieces_[piece].done || pieces_[piece].received; }
    BlockWriteResult ReceiveBlock(int32_t piece, int64_t offset, int32_t length, const uint8_t* data) override {
        if (piece < 0 || piece >= kPieces || offset != 0 || length != kPiece) return {BlockWrite::kRefused, 0};
        Piece& p = pieces_[piece];
        if (p.done) return {BlockWrite::kNotNeeded, 0};
        for (int64_t i = 0; i < length; ++i) {
            if (data[i] != FileByte(piece * kPiece + i)) {
                ++hash_failures;
                return {BlockWrite::kHashFailed, length};
            }
        }
        p.done = true;
        return {BlockWrite::kPieceVerified, length};
    }

    void Clear() { pieces_.assign(kPieces, Piece{}); }
    int32_t DonePieces() const {
        return int32_t(std::count_if(pieces_.begin(), pieces_.end(), [](const Piece& p) { return p.done; }));
    }

    int32_t server_limit = 49;
    int32_t per_server = 1;
    ServerListView servers;
    int unresolved = 0;
    int hash_failures = 0;

private:
    struct Piece {
        bool done = false;
        bool received = false;
    };
    FakeClock& clock_;
    IStreamTransport& transport_;
    std::vector<Piece> pieces_;
};

uint32_t Ip(const char* dotted) { return InetAddr(dotted); }

std::string Url(const char* address, uint16_t port) {
    return "http://" + std::string(address) + ":" + std::to_string(port) + "/pkg.bin";
}

// The driver as the task's loop runs it: passes within each simulated second,
// the rate snapshot and candidate clean-up every 4 seconds.
class DriverRun : public ::testing::Test {
protected:
    DriverRun() : transport(clock), view(clock, transport), statistics(clock) { statistics.Start(0, 0); }

    TaskPeerDriver& Driver() {
        if (!driver) driver = std::make_unique<TaskPeerDriver>(view, statistics, names);
        return *driver;
    }
    // One simulated second: a few passes, then the clock moves on.
    void Second() {
        for (int i = 0; i < 4; ++i) Driver().Pass();
        if (++seconds % 4 == 0) {
            Driver().RateSnapshot(4000);
            Driver().CandidateCleanUp();
        }
        clock.Advance(1000);
    }
    TPeerId* CandidateFor(const std::string& url) {
        const CandidateList& list = Driver().Candidates();
        for (size_t i = 0; i < list.size(); ++i)
            if (list.at(i)->text == url) return list.at(i);
        return nullptr;
    }

    FakeClock clock{FakeClock::Mode::Manual};
    ScriptedTransport transport;
    FakePieceMap view;
    TransferStatistics statistics;
    // No name resolves: only dotted addresses parse.
    std::shared_ptr<test::TableResolver> names = std::make_shared<test::TableResolver>();
    std::unique_ptr<TaskPeerDriver> driver;
    int seconds = 0;
};

// A refused server is dialled again as the retry back-off allows, counted in
// connector seconds; one credited with more than 15 finished pieces is
// dialled again at once. (No payload arrives, so the task's speed is 0 and
// delays of up to 10 seconds are waived.)
TEST_F(DriverRun, FailingServerIsRedialledOnTheBackOffSchedule) {
    struct Row {
        const char* what;
        int32_t finished;
        std::vector<int> dial_seconds;  // within the first 12
    } rows[] = {
        {"no finished pieces: the gaps grow", 0, {1, 2, 3, 4, 5, 7, 9, 11}},
        {"16 finished pieces: every second", 16, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12}},
    };
    for (const Row& row : rows) {
        driver.reset();
        seconds = 0;
        const uint16_t port = uint16_t(8000 + row.finished);
        transport.SetServer(Ip("127.1.0.1"), port, Server::kRefuse);
        Driver().AddSources({Url("127.1.0.1", port)});
        TPeerId* candidate = CandidateFor(Url("127.1.0.1", port));
        ASSERT_NE(candidate, nullptr) << row.what;
        candidate->finished_pieces = row.finished;
        std::vector<int> dialled;
        for (int s = 1; s <= 12; ++s) {
            const int before = transport.Dials(Ip("127.1.0.1"), port);
            Second();
            if (transport.Dials(Ip("127.1.0.1"), port) > before) dialled.push_back(s);
        }
        EXPECT_EQ(dialled, row.dial_seconds) << row.what;
        EXPECT_EQ(Driver().ActiveCount(), 0u) << row.what;
        // One peer object serves every dial; each connection had its own serial.
        EXPECT_EQ(Driver().PooledPeers(), 1u) << row.what;
        EXPECT_EQ(Driver().LastSerial(), uint64_t(transport.Dials(Ip("127.1.0.1"), port))) << row.what;
    }
}

// With several connections per server allowed, the first connection learns
// the length and the server's share is cut into sub-ranges; the next
// connector second opens the others, and the file arrives complete.
TEST_F(DriverRun, ServerWithKnownLengthGetsSeveralConnections) {
    view.per_server = 4;
    transport.SetServer(Ip("127.2.0.1"), 80, Server::kServe, 2 * kPiece);
    Driver().AddSources({Url("127.2.0.1", 80)});
    Second();
    EXPECT_EQ(transport.Open(Ip("127.2.0.1"), 80), 1) << "the length is not known yet";
    Second();
    EXPECT_EQ(transport.Dials(Ip("127.2.0.1"), 80), 4);
    EXPECT_EQ(transport.Open(Ip("127.2.0.1"), 80), 4);
    EXPECT_EQ(CandidateFor(Url("127.2.0.1", 80))->max_connections, 4);
    for (int s = 0; s < 30 && view.DonePieces() < kPieces; ++s) Second();
    EXPECT_EQ(view.DonePieces(), kPieces);
    // Four connections at 2 pieces a second each (one for the first second).
    EXPECT_LE(seconds, 10);
    EXPECT_EQ(Driver().ActiveCount(), 0u) << "a complete task keeps no server connection";
}

// The server connection limit holds at every second. With the server list
// in server mode, a full set of connections is rotated every 31 seconds, so
// every listed server gets its turn; plain sources are not rotated.
TEST_F(DriverRun, ServerLimitAndRotation) {
    struct Row {
        const char* what;
        bool server_mode;
        size_t servers_dialled;  // within 80 seconds (rotations at 31 and 62)
        int dials;
    } rows[] = {
        {"server mode: one connection rotated every 31 seconds", true, 5, 5},
        {"server mode off: the first three keep their connections", false, 3, 3},
    };
    uint16_t port = 9000;
    for (const Row& row : rows) {
        driver.reset();
        view.Clear();
        seconds = 0;
        view.server_limit = 3;
        std::vector<std::string> urls;
        std::vector<uint16_t> ports;
        for (int i = 0; i < 5; ++i) {
            ports.push_back(++port);
            // A slow drip: the task stays incomplete and no connection times out.
            transport.SetServer(Ip("127.3.0.1"), port, Server::kServe, 2048);
            urls.push_back(Url("127.3.0.1", port));
        }
        // The same servers are the task's sources and (in server mode) its
        // server list, so the random picks of the list add nothing new and the
        // rotation alone decides who gets a connection.
        view.servers = ServerListView{};
        view.servers.server_mode = row.server_mode;
        if (row.server_mode) view.servers.urls = urls;
        Driver().AddSources(urls);
        int most_open = 0;
        for (int s = 0; s < 80; ++s) {
            Second();
            int open = 0;
            for (uint16_t p : ports) open += transport.Open(Ip("127.3.0.1"), p);
            most_open = std::max(most_open, open);
            EXPECT_EQ(open, Driver().OpenServerConnections()) << row.what << " at " << s;
        }
        size_t dialled = 0;
        int dials = 0;
        for (uint16_t p : ports) {
            dialled += transport.Dials(Ip("127.3.0.1"), p) > 0 ? 1 : 0;
            dials += transport.Dials(Ip("127.3.0.1"), p);
        }
        EXPECT_EQ(dials, row.dials) << row.what;
        EXPECT_EQ(most_open, 3) << row.what;
        EXPECT_EQ(dialled, row.servers_dialled) << row.what;
    }
}

// A server answering 404 removes its source for the run: the idle refresh
// ten seconds later (and every later one) does not bring it back.
TEST_F(DriverRun, RemovedSourceStaysOutThroughTheIdleRefresh) {
    transport.SetServer(Ip("127.7.0.1"), 80, Server::kNotFound);
    Driver().AddSources({Url("127.7.0.1", 80)});
    std::vector<int> dialled;
    for (int s = 1; s <= 25; ++s) {
        const int before = transport.Dials(Ip("127.7.0.1"), 80);
        Second();
        if (transport.Dials(Ip("127.7.0.1"), 80) > before) dialled.push_back(s);
        if (s == 2) {
            EXPECT_EQ(CandidateFor(Url("127.7.0.1", 80)), nullptr) << "removed after the 404";
        }
    }
    EXPECT_EQ(dialled, (std::vector<int>{1}));
}

// A peer named in the drop set leaves at the next connector second and its
// source is penalised (one more attempt, 3 passes of delay, waived here as
// nothing arrives), and the new connection gets a new serial number.
TEST_F(DriverRun, DropSetPeerLeavesAndItsSourceIsPenalised) {
    transport.SetServer(Ip("127.6.0.1"), 80, Server::kSilent);
    Driver().AddSources({Url("127.6.0.1", 80)});
    Second();
    ASSERT_EQ(Driver().ActiveCount(), 1u);
    TPeerId* candidate = CandidateFor(Url("127.6.0.1", 80));
    EXPECT_EQ(candidate->attempts, 0);
    Driver().RequestDrop(Driver().LastSerial());
    Second();
    EXPECT_EQ(candidate->attempts, 1);
    EXPECT_EQ(transport.Dials(Ip("127.6.0.1"), 80), 2);
    EXPECT_EQ(transport.Open(Ip("127.6.0.1"), 80), 1);
    EXPECT_EQ(Driver().LastSerial(), 2u);
}

// A mirror that sends bad data has its failed pieces counted; the 4-second
// clean-up drops its connection and removes it for good (a later source
// refresh does not bring it back), and a good mirror then completes the file.
TEST_F(DriverRun, ServerSendingBadPiecesIsRemoved) {
    const std::string bad = Url("127.4.0.1", 80), good = Url("127.4.0.2", 80);
    transport.SetServer(Ip("127.4.0.1"), 80, Server::kBad, 64 * kPiece);
    transport.SetServer(Ip("127.4.0.2"), 80, Server::kServe, 8 * kPiece);
    Driver().AddSources({bad});
    RefPtr<TPeerId> bad_candidate = RefPtr<TPeerId>::Share(CandidateFor(bad));
    ASSERT_TRUE(bad_candidate);
    for (int s = 0; s < 300 && CandidateFor(bad); ++s) Second();
    EXPECT_EQ(CandidateFor(bad), nullptr);
    EXPECT_GE(bad_candidate->failed_pieces, 32);
    EXPECT_EQ(bad_candidate->finished_pieces, 0);
    EXPECT_EQ(view.hash_failures, bad_candidate->failed_pieces);
    EXPECT_EQ(transport.Open(Ip("127.4.0.1"), 80), 0);
    const int dials = transport.Dials(Ip("127.4.0.1"), 80);
    Driver().AddSources({bad, good});
    for (int s = 0; s < 60 && view.DonePieces() < kPieces; ++s) Second();
    EXPECT_EQ(CandidateFor(bad), nullptr) << "refreshed sources do not bring it back";
    EXPECT_EQ(transport.Dials(Ip("127.4.0.1"), 80), dials);
    EXPECT_EQ(view.DonePieces(), kPieces);
}

// Candidates keep their admission rules: the same URL in another case is one
// candidate, a redirect target joins the list once. A host name that does
// not resolve shows in the status only when no other source is left.
TEST_F(DriverRun, SourcesBecomeCandidatesOnce) {
    Driver().AddSources({"http://mirror.example/a.bin"});
    EXPECT_EQ(Driver().Candidates().size(), 0u);
    EXPECT_EQ(view.unresolved, 1);
    Driver().AddSources({"http://127.5.0.1/a.bin", "HTTP://127.5.0.1/a.bin", "ftp://127.5.0.2/a.bin",
                         "btnode://127.5.0.3:6881"});
    // Two servers and the known BitTorrent peer.
    EXPECT_EQ(Driver().Candidates().size(), 3u);
    EXPECT_EQ(view.unresolved, 1) << "two usable sources: the unresolved one is no failure of the task";
    RefPtr<TPeerId> redirect = RefPtr<TPeerId>::Adopt(new TPeerId("http://127.5.0.4/b.bin"));
    redirect->kind = kKindHttp;
    redirect->address = Ip("127.5.0.4");
    redirect->port = 80;
    redirect->parsed = true;
    redirect->order_key = kOrderKeyRedirect;
    Driver().AddCandidate(redirect.get());
    Driver().AddCandidate(redirect.get());
    EXPECT_EQ(Driver().Candidates().size(), 4u);
}

}  // namespace
}  // namespace zl

namespace zl {
namespace {

// In server mode the rotation drops the connection at the end of the peer
// order, which puts first what each connection read since the last rate
// snapshot and only then the rates of that snapshot. A server that was the
// fastest at the snapshot but has sent nothing since is the one to go, not a
// slower one that keeps sending.
TEST_F(DriverRun, RotationDropsTheServerThatStalledSinceTheSnapshot) {
    view.server_limit = 2;
    const uint16_t fast = 9201, slow = 9202;
    transport.SetServer(Ip("127.8.0.1"), fast, Server::kServe, kPiece / 2);
    transport.SetServer(Ip("127.8.0.1"), slow, Server::kServe, kPiece / 8);
    const std::vector<std::string> urls = {Url("127.8.0.1", fast), Url("127.8.0.1", slow)};
    view.servers.server_mode = true;
    view.servers.urls = urls;
    Driver().AddSources(urls);
    // The first connector second rotates (nothing open yet), the next
    // rotation comes 31 seconds later, in second 32; the last snapshot before
    // it ends second 28.
    for (int s = 1; s <= 28; ++s) Second();
    ASSERT_EQ(transport.Open(Ip("127.8.0.1"), fast), 1);
    ASSERT_EQ(transport.Open(Ip("127.8.0.1"), slow), 1);
    transport.SetServer(Ip("127.8.0.1"), fast, Server::kServe, 0);  // stalls from now on
    for (int s = 29; s <= 32; ++s) Second();
    EXPECT_EQ(transport.Open(Ip("127.8.0.1"), fast), 0) << "the stalled server went";
    EXPECT_EQ(transport.Open(Ip("127.8.0.1"), slow), 1) << "the one still sending stayed";
    EXPECT_LT(view.DonePieces(), kPieces) << "the file was still downloading";
}

}  // namespace
}  // namespace zl
