// Two transports on real loopback sockets, each fed by its own socket thread,
// with the rendezvous server on a third: 32 MiB through one stream with the
// sender and the receiver on threads of their own, then smaller transfers with
// loss (a drop hook on the receiving socket) and through a relay that delays,
// reorders and duplicates.
#include <openssl/sha.h>

#include <chrono>
#include <random>
#include <thread>

#include "engine/base/clock.h"
#include "engine/udp/rendezvous_messages.h"
#include "tests/engine/udp/loopback_rendezvous.h"
#include "tests/engine/udp/loopback_udp_host.h"
#include "tests/engine/udp/transfer_support.h"
#include "tests/engine/udp/udp_stream_test_support.h"

namespace zl::test {
namespace {

struct Engine {
    std::unique_ptr<LoopbackUdpHost> host;
    std::unique_ptr<UdpStreamTransport> transport;
    NodeId id{};
    ~Engine() {
        if (host) host->Stop();  // the loop stops before the transport goes
    }
};

std::unique_ptr<Engine> MakeEngine(const char* address, uint8_t id_byte, uint32_t rendezvous_address,
                                   uint16_t rendezvous_port) {
    auto e = std::make_unique<Engine>();
    e->host = std::make_unique<LoopbackUdpHost>(Ip(address), 0);
    if (!e->host->ok()) return nullptr;
    e->id = NodeId{id_byte, 0x21, 0x22, 0x23, 0x24, 0x25, 0x26, id_byte};
    UdpStreamConfig c;
    c.node_id = e->id;
    c.local_address = Ip(address);
    c.local_port = e->host->port();
    c.rendezvous_address = rendezvous_address;
    c.rendezvous_port = rendezvous_port;
    e->transport = std::make_unique<UdpStreamTransport>(*e->host, c);
    e->host->Start(e->transport.get());
    return e;
}

int Listen(Engine& b) { return ListenOn(*b.transport, b.host->port()); }

std::vector<uint8_t> Transfer(Engine& a, int ha, Engine& b, int hb, const std::vector<uint8_t>& data, int seconds) {
    return zl::test::Transfer(*a.transport, ha, *b.transport, hb, data, seconds);
}

std::pair<int, int> WaitConnected(Engine& a, int h, Engine& b, int listener, int seconds) {
    return zl::test::WaitConnected(*a.transport, h, *b.transport, listener, seconds);
}

class LoopbackTest : public ::testing::Test {
protected:
    void SetUp() override {
        rendezvous_ = std::make_unique<LoopbackRendezvous>(Ip("127.0.8.1"));
        if (!rendezvous_->ok()) GTEST_SKIP() << "cannot bind 127.0.8.1";
        a_ = MakeEngine("127.0.8.2", 0xA1, rendezvous_->address(), rendezvous_->port());
        b_ = MakeEngine("127.0.8.3", 0xB1, rendezvous_->address(), rendezvous_->port());
        ASSERT_TRUE(a_ && b_);
    }
    void TearDown() override {
        a_.reset();
        b_.reset();
        rendezvous_.reset();
    }
    std::pair<int, int> ConnectThroughServer(bool by_placeholder) {
        const int listener = Listen(*b_);
        // Let both register before A asks for B.
        for (int i = 0; i < 100 && rendezvous_->log().size() < 2; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
        int32_t e = 0;
        const int h = a_->transport->Open(&e);
        StreamEndpoint remote{b_->host->address(), b_->host->port(),
                              by_placeholder ? PlaceholderId(b_->host->address(), b_->host->port()) : b_->id};
        EXPECT_EQ(a_->transport->Connect(h, remote, &e), -1);
        return WaitConnected(*a_, h, *b_, listener, 10);
    }

    std::unique_ptr<LoopbackRendezvous> rendezvous_;
    std::unique_ptr<Engine> a_, b_;
};

TEST_F(LoopbackTest, ThirtyTwoMebibytesBetweenTwoThreadsArriveIntact) {
    auto [ha, hb] = ConnectThroughServer(false);
    ASSERT_GT(ha, 0);
    const std::vector<uint8_t> data = RandomBytes(size_t(32) << 20, 5);
    const auto start = std::chrono::steady_clock::now();
    const std::vector<uint8_t> got = Transfer(*a_, ha, *b_, hb, data, 60);
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    ASSERT_EQ(got.size(), data.size());
    EXPECT_EQ(Sha256(got), Sha256(data));
    std::printf("32 MiB over loopback in %.2f s (%.1f MiB/s)\n", seconds, 32.0 / seconds);
    const auto sa = a_->transport->Inspect(ha);
    const auto ca = a_->transport->Counters();
    const auto cb = b_->transport->Counters();
    std::printf("loss %u%% limit %d sends %u resends %u; A data %llu resent %llu acks %llu in %llu; B acks %llu in %llu dropped %llu\n",
                sa.loss_percent, sa.window_limit, sa.send_count, sa.resend_count, (unsigned long long)ca.data_sent,
                (unsigned long long)ca.data_resent, (unsigned long long)ca.acks_sent, (unsigned long long)ca.packets_in,
                (unsigned long long)cb.acks_sent, (unsigned long long)cb.packets_in, (unsigned long long)cb.packets_dropped);
}

TEST_F(LoopbackTest, ByPlaceholderWithLossBothWays) {
    auto [ha, hb] = ConnectThroughServer(true);
    ASSERT_GT(ha, 0);
    EXPECT_EQ(a_->transport->Inspect(ha).remote_id, b_->id);
    a_->host->SetIncomingLoss(0.05, 3);
    b_->host->SetIncomingLoss(0.05, 4);
    const std::vector<uint8_t> data = RandomBytes(size_t(4) << 20, 6);
    const std::vector<uint8_t> got = Transfer(*a_, ha, *b_, hb, data, 60);
    ASSERT_EQ(got.size(), data.size());
    EXPECT_EQ(Sha256(got), Sha256(data));
    EXPECT_GT(a_->transport->Counters().data_resent, 0u);
}

TEST_F(LoopbackTest, ThroughARelayThatDelaysReordersAndDuplicates) {
    UdpRelay relay(Ip("127.0.8.4"), UdpRelay::Conditions{0.02, 0.05, 0.10, 2, 3});
    ASSERT_TRUE(relay.ok());
    relay.Connect(a_->host->address(), a_->host->port(), b_->host->address(), b_->host->port());
    const int listener = Listen(*b_);
    int32_t e = 0;
    const int h = a_->transport->Open(&e);
    // A reaches B at the relay; the answer the rendezvous server would give is
    // handed to A directly, naming the relay's port.
    a_->transport->SetRendezvousServer(Ip("127.0.8.9"), 7000);
    ASSERT_EQ(a_->transport->Connect(h, StreamEndpoint{Ip("127.0.8.4"), b_->host->port(), b_->id}, &e), -1);
    rendezvous::ConnectReply reply;
    reply.tag = a_->transport->local_tag();
    reply.request = uint32_t(a_->transport->Inspect(h).request_number);
    reply.entries.push_back({Ip("127.0.8.4"), relay.port_for_a(), b_->id});
    const auto m = rendezvous::BuildConnectReply(reply);
    a_->transport->OnStreamDatagram(m.data(), m.size(), Ip("127.0.8.9"), 7000);
    auto [ha, hb] = WaitConnected(*a_, h, *b_, listener, 10);
    ASSERT_GT(ha, 0);
    const std::vector<uint8_t> data = RandomBytes(size_t(4) << 20, 7);
    const std::vector<uint8_t> got = Transfer(*a_, ha, *b_, hb, data, 60);
    ASSERT_EQ(got.size(), data.size());
    EXPECT_EQ(Sha256(got), Sha256(data));
    EXPECT_GT(relay.forwarded(), data.size() / udpstream::kSegmentSize);
}

}  // namespace
}  // namespace zl::test
