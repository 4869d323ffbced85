#include "engine/net/socket.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "engine/base/errnum.h"
#include "engine/base/fake_clock.h"
#include "engine/meta/buffer_pool.h"
#include "engine/net/address.h"
#include "engine/net/resolver.h"
#include "tests/engine/net/fake_resolver.h"

namespace zl {
namespace {

uint32_t Loopback() { return htonl(INADDR_LOOPBACK); }

// A port that nothing listens on right now.
int32_t FreePort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = Loopback();
    ::bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
    socklen_t len = sizeof sa;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len);
    ::close(fd);
    return ntohs(sa.sin_port);
}

// TCP whose connects stay "in progress" until the test opens the gate, and
// which can pretend that a socket polls writable.
class GatedTcp : public IStreamTransport {
public:
    std::atomic<bool> open{true};
    std::atomic<int32_t> forced_pending_error{0};
    StreamEndpoint last_connect;
    int last_backlog = 0;
    IStreamTransport& tcp = TcpTransport();
    int Open(int32_t* e) override { return tcp.Open(e); }
    int Bind(int h, const StreamEndpoint& l, int32_t* e) override { return tcp.Bind(h, l, e); }
    int Listen(int h, int b, int32_t* e) override {
        last_backlog = b;
        return tcp.Listen(h, b, e);
    }
    int Connect(int h, const StreamEndpoint& r, int32_t* e) override {
        last_connect = r;
        const int rc = tcp.Connect(h, r, e);
        if (rc == 0 && !open) {
            *e = err::kWouldBlock;
            return -1;
        }
        return rc;
    }
    int Accept(int h, StreamEndpoint* r, int32_t* e) override { return tcp.Accept(h, r, e); }
    int64_t Send(int h, const uint8_t* d, size_t n, int32_t* e) override { return tcp.Send(h, d, n, e); }
    int64_t Recv(int h, uint8_t* d, size_t n, int32_t* e) override { return tcp.Recv(h, d, n, e); }
    int Wait(int h, bool w, int t, int32_t* e) override {
        if (w && !open) return 0;
        return tcp.Wait(h, w, t, e);
    }
    int32_t PendingError(int h) override {
        const int32_t forced = forced_pending_error;
        return forced ? forced : tcp.PendingError(h);
    }
    int LocalEndpoint(int h, StreamEndpoint* l, int32_t* e) override { return tcp.LocalEndpoint(h, l, e); }
    int SetReceiveBuffer(int h, int b, int32_t* e) override { return tcp.SetReceiveBuffer(h, b, e); }
    void Close(int h) override { tcp.Close(h); }
};

class SocketTest : public ::testing::Test {
protected:
    void SetUp() override {
        env_.clock = &clock_;
        env_.pool = &pool_;
        listener_ = std::make_unique<TSocket>(env_);
        for (int attempt = 0; attempt < 20 && !listener_->listening(); ++attempt)
            listener_->Listen(FreePort(), Loopback());
        ASSERT_TRUE(listener_->listening());
    }
    // Accepts the next connection, waiting up to a second.
    std::unique_ptr<TSocket> AcceptOne() {
        for (int i = 0; i < 100; ++i) {
            if (auto s = listener_->Accept()) return s;
            listener_->WaitReadable(1);
        }
        return nullptr;
    }
    // Reads until `bytes` are buffered or the connection fails.
    std::string ReadExactly(TSocket& s, size_t bytes) {
        while (static_cast<size_t>(s.received_length()) < bytes) {
            if (!s.WaitReadable(5)) break;
            if (s.Receive(0, 1 << 20) < 0) break;
        }
        return std::string(reinterpret_cast<const char*>(s.received()), static_cast<size_t>(s.received_length()));
    }

    FakeClock clock_;
    BufferPool pool_;
    SocketEnv env_;
    std::unique_ptr<TSocket> listener_;
};

TEST_F(SocketTest, SendsQueuedWhileConnectingGoOutFirst) {
    GatedTcp gated;
    gated.open = false;
    SocketEnv env = env_;
    env.tcp = &gated;
    TSocket client(env);
    ASSERT_TRUE(client.Connect(Loopback(), listener_->local_port(), false));
    EXPECT_FALSE(client.IsConnected());
    EXPECT_EQ(client.Send("hello ", 6), 0);
    EXPECT_EQ(client.Send("queued ", 7), 0);
    EXPECT_EQ(client.queued_length(), 13);
    EXPECT_EQ(client.Receive(0, 100), 0);  // not connected yet: nothing to read

    gated.open = true;
    EXPECT_EQ(client.Send("world", 5), 5);  // budget 5: five queued bytes go first
    EXPECT_EQ(client.Flush(), 13);
    EXPECT_EQ(client.queued_length(), 0);
    EXPECT_TRUE(client.connected());
    EXPECT_EQ(client.local_address(), Loopback());
    EXPECT_NE(client.local_port(), 0);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(client.connection_tag().data()) + 8, 3), "UDP");

    auto server = AcceptOne();
    ASSERT_TRUE(server);
    EXPECT_EQ(server->host_text(), "127.0.0.1");
    EXPECT_EQ(server->remote_port(), client.local_port());
    EXPECT_EQ(ReadExactly(*server, 18), "hello queued world");
    EXPECT_EQ(client.bytes_sent(), 18u);
}

TEST_F(SocketTest, RefusedConnectIsReportedNotConnected) {
    TSocket client(env_);
    const int32_t port = FreePort();
    if (client.Connect(Loopback(), port, false)) {
        for (int i = 0; i < 100 && client.IsOpen() && !client.IsConnected(); ++i) client.WaitWritable(1);
        EXPECT_FALSE(client.IsConnected());
    }
    EXPECT_FALSE(client.IsOpen());
    EXPECT_EQ(client.last_error(), err::kConnRefused);
    EXPECT_EQ(client.Receive(0, 100), -1);

    // A refused connect that polls writable is not taken for a connection.
    GatedTcp gated;
    gated.open = false;
    SocketEnv env = env_;
    env.tcp = &gated;
    TSocket pending(env);
    ASSERT_TRUE(pending.Connect(Loopback(), listener_->local_port(), false));
    EXPECT_EQ(pending.Send("abc", 3), 0);
    gated.forced_pending_error = err::kConnRefused;
    gated.open = true;
    EXPECT_FALSE(pending.IsConnected());
    EXPECT_FALSE(pending.IsOpen());
    EXPECT_EQ(pending.last_error(), err::kConnRefused);
    EXPECT_EQ(pending.queued_length(), 3);  // Drop keeps the send queue
    EXPECT_EQ(pending.Send("d", 1), 0);
}

TEST_F(SocketTest, RemoteCloseMakesReceiveFailAndClose) {
    TSocket client(env_);
    ASSERT_TRUE(client.Connect(Loopback(), listener_->local_port(), true));
    auto server = AcceptOne();
    ASSERT_TRUE(server);
    EXPECT_EQ(server->Send("0123456789", 10), 10);
    EXPECT_EQ(ReadExactly(client, 10), "0123456789");
    EXPECT_EQ(client.received_length(), 10);
    EXPECT_EQ(server->Send("abcdefghijklmnopqrst", 20), 20);
    ASSERT_TRUE(client.WaitReadable(5));
    EXPECT_EQ(client.Receive(0, 1000), 30);  // the total held, not the bytes just read
    EXPECT_EQ(client.received()[30], 0);     // always terminated
    client.Consume(5);
    EXPECT_EQ(client.received_length(), 25);
    EXPECT_EQ(client.received()[0], '5');
    server->Close();
    ASSERT_TRUE(client.WaitReadable(5));
    EXPECT_EQ(client.Receive(0, 1000), -1);
    EXPECT_FALSE(client.IsOpen());
    EXPECT_FALSE(client.IsConnected());
    EXPECT_EQ(client.last_error(), err::kNone);
    EXPECT_EQ(client.received_length(), 0);
}

TEST_F(SocketTest, ReceiveNeverHoldsMoreThanTheCallersLimit) {
    TSocket client(env_);
    ASSERT_TRUE(client.Connect(Loopback(), listener_->local_port(), true));
    auto server = AcceptOne();
    ASSERT_TRUE(server);
    const std::string data(300, 'x');
    EXPECT_EQ(server->Send(data.data(), 300), 300);
    ASSERT_TRUE(client.WaitReadable(5));
    EXPECT_EQ(client.Receive(0, 100), 100);
    EXPECT_LE(client.receive_capacity(), 100 + TSocket::kReceiveGrowth);
    EXPECT_EQ(client.Receive(0, 100), -1);
    EXPECT_EQ(client.last_error(), err::kNoBuffers);
    EXPECT_FALSE(client.IsOpen());
}

TEST_F(SocketTest, SlowReaderGrowsTheQueueAndItDrainsWithoutLoss) {
    TSocket client(env_);
    ASSERT_TRUE(client.Connect(Loopback(), listener_->local_port(), false));
    auto server = AcceptOne();
    ASSERT_TRUE(server);
    server->SetReceiveBufferSize(16384);
    for (int i = 0; i < 100 && !client.IsConnected(); ++i) client.WaitWritable(1);
    ASSERT_TRUE(client.IsConnected());

    constexpr int64_t kTotal = 6 << 20;
    constexpr int64_t kChunk = 65536;
    auto pattern = [](int64_t at) { return static_cast<uint8_t>((at * 7 + at / 65536) % 251); };
    std::vector<uint8_t> chunk(kChunk);
    int64_t offered = 0;
    int64_t peak = 0;
    while (offered < kTotal) {  // the reader reads nothing meanwhile
        for (int64_t i = 0; i < kChunk; ++i) chunk[i] = pattern(offered + i);
        ASSERT_GE(client.Send(chunk.data(), kChunk), 0);
        offered += kChunk;
        peak = std::max(peak, client.queued_length());
    }
    EXPECT_GT(peak, 1 << 20);
    EXPECT_EQ(client.bytes_sent() + static_cast<uint64_t>(client.queued_length()), static_cast<uint64_t>(kTotal));

    int64_t checked = 0;
    std::vector<uint8_t> expected;
    while (checked < kTotal) {
        ASSERT_GE(client.Flush(), 0);
        if (!server->WaitReadable(client.queued_length() > 0 ? 0 : 5)) {
            if (client.queued_length() == 0) break;
            continue;
        }
        ASSERT_GE(server->Receive(0, 1 << 20), 0);
        const int64_t n = server->received_length();
        expected.resize(static_cast<size_t>(n));
        for (int64_t i = 0; i < n; ++i) expected[i] = pattern(checked + i);
        ASSERT_EQ(0, std::memcmp(server->received(), expected.data(), static_cast<size_t>(n))) << "near " << checked;
        checked += n;
        server->Consume(-1);
    }
    EXPECT_EQ(checked, kTotal);
    EXPECT_EQ(client.queued_length(), 0);
    EXPECT_EQ(client.send_queue_capacity(), 0);  // an empty queue goes back to the pool
    EXPECT_EQ(client.bytes_sent(), static_cast<uint64_t>(kTotal));
}

TEST_F(SocketTest, InvalidTargetsFailWithoutASocket) {
    TSocket s(env_);
    EXPECT_FALSE(s.Connect(Loopback(), 0, false));
    EXPECT_FALSE(s.Connect(kNoAddress, 80, false));
    EXPECT_FALSE(s.Connect(0, 80, false));
    EXPECT_FALSE(s.Connect(Loopback(), 65536, false));
    EXPECT_FALSE(s.IsOpen());
    EXPECT_EQ(s.Send("x", 1), 0);
    EXPECT_EQ(s.Receive(0, 10), -1);
    EXPECT_FALSE(s.Listen(0, Loopback()));
    TSocket::Identity id{};
    EXPECT_FALSE(s.Connect(Loopback(), 80, false, 0, &id));  // no UDP stream in this engine
}

TEST_F(SocketTest, UdpIdentitySelectsTheStreamTransport) {
    GatedTcp stream;  // stands in for the UDP stream
    SocketEnv env = env_;
    env.udp = &stream;
    const TSocket::Identity id = {1, 2, 3, 4, 5, 6, 7, 8};
    TSocket client(env);
    ASSERT_TRUE(client.Connect(Loopback(), listener_->local_port(), true, 0, &id));
    EXPECT_TRUE(client.udp_mode());
    EXPECT_EQ(stream.last_connect.tag, id);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(client.connection_tag().data()), 11),
              std::string("\x01\x02\x03\x04\x05\x06\x07\x08UDP", 11));
    EXPECT_FALSE(client.SetReceiveBufferSize(65536));  // TCP only
    auto server = AcceptOne();
    ASSERT_TRUE(server);
    EXPECT_EQ(client.Send("via stream", 10), 10);
    EXPECT_EQ(ReadExactly(*server, 10), "via stream");

    TSocket listener(env);
    int32_t port = 0;
    for (int attempt = 0; attempt < 20 && !listener.listening(); ++attempt)
        listener.Listen(port = FreePort(), Loopback(), &id);
    ASSERT_TRUE(listener.listening());
    EXPECT_TRUE(listener.udp_mode());
    EXPECT_EQ(stream.last_backlog, TSocket::kUdpBacklog);
    EXPECT_EQ(listener.local_port(), port);
}

TEST_F(SocketTest, ConnectHostKeepsTheNameAsHostText) {
    auto table = std::make_shared<test::TableResolver>();
    table->names["peer.test"] = {Loopback()};
    TResolver resolver(table);
    SocketEnv env = env_;
    env.resolver = &resolver;
    env.seconds = [] { return uint64_t{1'790'000'123}; };  // the engine clock
    TSocket client(env);
    ASSERT_TRUE(client.ConnectHost("peer.test", listener_->local_port(), true));
    EXPECT_EQ(client.host_text(), "peer.test");
    EXPECT_EQ(client.connect_time(), 1'790'000'123u);
    EXPECT_TRUE(client.IsConnected());
    EXPECT_FALSE(client.ConnectHost("missing.test", listener_->local_port(), true));
    EXPECT_FALSE(client.IsOpen());
    EXPECT_EQ(client.host_text(), "");
}

TEST_F(SocketTest, RatesAverageSinceConnect) {
    TSocket client(env_);
    EXPECT_EQ(client.SendRate(), 0u);
    ASSERT_TRUE(client.Connect(Loopback(), listener_->local_port(), true));
    auto server = AcceptOne();
    ASSERT_TRUE(server);
    const uint64_t t0 = client.connect_time();
    EXPECT_EQ(client.SendRate(), 0u);  // nothing moved yet
    std::string data(4000, 'r');
    EXPECT_EQ(client.Send(data.data(), 4000), 4000);
    EXPECT_EQ(client.SendRate(t0), 4000u);  // the interval is at least one second
    clock_.Advance(4000);
    EXPECT_EQ(client.SendRate(), 1000u);
    EXPECT_EQ(ReadExactly(*server, 4000).size(), 4000u);
    EXPECT_EQ(server->ReceiveRate(t0 + 8), 500u);
    EXPECT_EQ(client.last_activity(), t0);
}

TEST(SocketBuffer, GrowthAndCompactionRules) {
    BufferPool pool;
    SocketBuffer b(&pool);
    ASSERT_TRUE(b.Reserve(100, 2048));
    EXPECT_EQ(b.capacity(), 2148);
    std::vector<uint8_t> bytes(30000, 7);
    ASSERT_TRUE(b.Append(bytes.data(), 30000, 1024));
    EXPECT_EQ(b.capacity(), 30000 + 2148 + 1024);
    b.Consume(29000, false);  // capacity / length >= 6: shrink to length + 1024
    EXPECT_EQ(b.length(), 1000);
    EXPECT_EQ(b.capacity(), 2024);
    EXPECT_EQ(b.data()[1000], 0);
    b.Consume(10, true);  // keep: only move down
    EXPECT_EQ(b.capacity(), 2024);
    EXPECT_EQ(b.length(), 990);
    b.Consume(-1, false);
    EXPECT_EQ(b.capacity(), 0);

    std::vector<uint8_t> big(6 << 20, 1);
    ASSERT_TRUE(b.Append(big.data(), static_cast<int64_t>(big.size()), 1024));
    b.Consume((6 << 20) - (3 << 20), false);  // spare above 2101248 bytes: shrink to length * 1.1
    EXPECT_EQ(b.length(), 3 << 20);
    EXPECT_EQ(b.capacity(), (3 << 20) + (3 << 20) / 10);
}

}  // namespace
}  // namespace zl
