// The UDP server's demultiplexer, loop and timers with stub consumers, on a
// real loopback socket and a test clock (the passes are driven by the test;
// one test runs the thread itself).
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "engine/base/errnum.h"
#include "engine/base/fake_clock.h"
#include "engine/net/udp_socket.h"
#include "engine/udp/udp_demux.h"
#include "engine/udp/udp_server.h"
#include "tests/support/wait_for.h"

namespace zl {
namespace {

uint32_t Ip(const char* dotted) { return inet_addr(dotted); }

struct Seen {
    std::string bytes;
    bool nul_after = false;
    uint32_t address = 0;
    uint16_t port = 0;
};

class StubDht : public IUdpDhtConsumer {
public:
    void OnDhtDatagram(const uint8_t* data, size_t length, uint32_t address, uint16_t port) override {
        std::lock_guard lock(mutex);
        seen.push_back({std::string(reinterpret_cast<const char*>(data), length), data[length] == 0, address, port});
    }
    size_t Count() {
        std::lock_guard lock(mutex);
        return seen.size();
    }
    std::mutex mutex;
    std::vector<Seen> seen;
};

class StubStream : public IUdpStreamConsumer {
public:
    explicit StubStream(IUdpSender* sender = nullptr) : sender_(sender) {}
    void OnStreamDatagram(const uint8_t* data, size_t length, uint32_t address, uint16_t port) override {
        std::lock_guard lock(mutex);
        seen.push_back({std::string(reinterpret_cast<const char*>(data), length), data[length] == 0, address, port});
    }
    void RetransmitTick() override { ++retransmits; }
    void AcknowledgeTick() override { ++acknowledges; }
    void MaintenanceTick() override { ++maintenance; }
    void Register() override {
        ++registrations;
        // The transport sends from inside the loop: the server lock is the
        // thread's own, so this must not deadlock.
        if (sender_) {
            const uint8_t hello[12] = {'r', 'e', 'g'};
            sender_->Send(hello, sizeof hello, Ip("127.0.3.9"), 9);
        }
    }
    void KeepAlive() override { ++keep_alives; }
    bool HasPendingConnectBatch() override { return pending_batch.load(); }
    void FlushConnectBatch() override {
        pending_batch = false;
        ++flushes;
    }
    void ResetTransport() override { ++resets; }
    size_t Count() {
        std::lock_guard lock(mutex);
        return seen.size();
    }

    std::mutex mutex;
    std::vector<Seen> seen;
    std::atomic<int> retransmits{0}, acknowledges{0}, maintenance{0}, registrations{0}, keep_alives{0}, flushes{0},
        resets{0};
    std::atomic<bool> pending_batch{false};

private:
    IUdpSender* sender_;
};

class FailingNames : public IResolverBackend {
public:
    int32_t Lookup(const std::string&, std::vector<uint32_t>*) override {
        ++lookups;
        return err::kHostNotFound;
    }
    std::atomic<int> lookups{0};
};

UdpServerConfig TestConfig(const char* rendezvous = "127.0.3.9") {
    UdpServerConfig config;
    config.SetRendezvousHost(rendezvous);
    config.rendezvous_port = 82;
    config.keep_alive_interval = 52;
    config.connect_timeout = 30;
    config.local_port = 0;
    config.local_address = Ip("127.0.3.2");
    config.node_id = {7, 0, 0, 0, 0, 0, 0, 9};
    return config;
}

// A server on 127.0.3.2 (any port) driven pass by pass, and a sender on 127.0.3.1.
class UdpServerLoop : public ::testing::Test {
protected:
    void SetUp() override { Make(std::make_shared<FailingNames>()); }

    void Make(std::shared_ptr<IResolverBackend> names, const UdpServerConfig& config = TestConfig()) {
        server = std::make_unique<UdpServer>(clock, std::move(names));
        server->SetBindAddress(Ip("127.0.3.2"));
        ASSERT_TRUE(server->Configure(config));
        server->SetDhtConsumer(&dht);
        server->SetStreamConsumer(&stream);
        ASSERT_TRUE(server->OpenSocket(true));
        ASSERT_TRUE(sender.Open(0, Ip("127.0.3.1")));
    }

    void SendRaw(const std::string& bytes) {
        ASSERT_TRUE(sender.SendTo(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(), Ip("127.0.3.2"),
                                  server->BoundPort()));
    }
    // Runs passes until `done` holds (loopback delivery is immediate, but give it time).
    template <class Done>
    void PassUntil(Done done) {
        for (int i = 0; i < 5000 && !done(); ++i) {
            if (server->RunPass() > 0) usleep(200);
        }
        ASSERT_TRUE(done());
    }

    FakeClock clock{FakeClock::Mode::Manual};
    StubDht dht;
    StubStream stream;
    std::unique_ptr<UdpServer> server;
    UdpSocket sender;
};

TEST(UdpDemux, RoutesByLengthAndFirstByte) {
    struct Case {
        std::string bytes;
        UdpRoute route;
    } cases[] = {
        {"d1:ad1:xe", UdpRoute::kDht},       // 9 bytes starting with 'd'
        {"d1:ai0ee", UdpRoute::kStream},     // 8 bytes: too short for a KRPC message
        {"x123456789", UdpRoute::kStream},
        {std::string(1, 'd'), UdpRoute::kStream},
    };
    for (const Case& c : cases)
        EXPECT_EQ(RouteDatagram(reinterpret_cast<const uint8_t*>(c.bytes.data()), c.bytes.size()), c.route)
            << c.bytes;
}

TEST_F(UdpServerLoop, HandsEachDatagramToItsConsumerFollowedByANul) {
    SendRaw("d1:ad1:xe");  // DHT
    SendRaw("d1:ai0ee");   // 8 bytes: the transport
    SendRaw("\x01\x02\x03");
    PassUntil([&] { return dht.Count() + stream.Count() == 3; });
    ASSERT_EQ(dht.seen.size(), 1u);
    EXPECT_EQ(dht.seen[0].bytes, "d1:ad1:xe");
    EXPECT_TRUE(dht.seen[0].nul_after);
    EXPECT_EQ(dht.seen[0].address, Ip("127.0.3.1"));
    EXPECT_EQ(dht.seen[0].port, sender.bound_port());
    ASSERT_EQ(stream.seen.size(), 2u);
    EXPECT_EQ(stream.seen[0].bytes, "d1:ai0ee");
    EXPECT_EQ(stream.seen[1].bytes, "\x01\x02\x03");
    EXPECT_TRUE(stream.seen[1].nul_after);
}

TEST_F(UdpServerLoop, ReadsTheLargestDatagramWholeAndSkipsEmptyOnesWithoutClosing) {
    const std::string largest(kMaxUdpDatagram, 'z');
    SendRaw(largest);
    // An empty datagram used to read as an error and close the socket.
    const int raw = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(server->BoundPort());
    to.sin_addr.s_addr = Ip("127.0.3.2");
    ASSERT_EQ(::sendto(raw, "", 0, 0, reinterpret_cast<sockaddr*>(&to), sizeof to), 0);
    const std::string oversized(kMaxUdpDatagram + 1, 'o');
    ASSERT_EQ(::sendto(raw, oversized.data(), oversized.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to),
              static_cast<ssize_t>(oversized.size()));
    ::close(raw);
    SendRaw("after");
    const uint16_t port = server->BoundPort();
    PassUntil([&] { return stream.Count() == 2; });
    EXPECT_EQ(stream.seen[0].bytes, largest);
    EXPECT_TRUE(stream.seen[0].nul_after);
    EXPECT_EQ(stream.seen[1].bytes, "after");
    EXPECT_EQ(server->GetCounters().skipped, 2u);
    EXPECT_EQ(server->BoundPort(), port);  // never re-opened
}

// A run of equal datagrams sent in one segmented send reaches the server as
// one coalesced read: it is cut back into its datagrams, in order, a KRPC one
// among them still followed by a NUL, and each counts toward the burst.
TEST_F(UdpServerLoop, ACoalescedReadIsCutIntoItsDatagrams) {
    std::vector<std::string> run;
    for (int i = 0; i < 6; ++i) run.push_back(std::string(1, char('0' + i)) + std::string(99, char('a' + i)));
    run[2] = "d" + std::string(98, 'k') + "e";  // for the DHT
    run.push_back("short tail");                 // a shorter last one ends the run
    std::vector<UdpSocket::Outgoing> out;
    for (const std::string& d : run)
        out.push_back({reinterpret_cast<const uint8_t*>(d.data()), d.size(), Ip("127.0.3.2"), server->BoundPort()});
    ASSERT_EQ(sender.SendMany(out.data(), out.size()), out.size());
    PassUntil([&] { return dht.Count() + stream.Count() == run.size(); });
    ASSERT_EQ(dht.seen.size(), 1u);
    EXPECT_EQ(dht.seen[0].bytes, run[2]);
    EXPECT_TRUE(dht.seen[0].nul_after);
    ASSERT_EQ(stream.seen.size(), run.size() - 1);
    for (size_t i = 0, k = 0; i < run.size(); ++i) {
        if (i == 2) continue;
        EXPECT_EQ(stream.seen[k].bytes, run[i]) << i;
        EXPECT_EQ(stream.seen[k].port, sender.bound_port());
        ++k;
    }
    EXPECT_EQ(server->GetCounters().dispatched, run.size());
}

// A flood of short datagrams counts toward the burst: the timers still run
// after every 18 reads (they used to be skipped for as long as the flood lasted).
TEST_F(UdpServerLoop, AFloodOfShortDatagramsStillLetsTheTimersRun) {
    server->RunPass();  // starts the timers
    const uint64_t before = server->GetCounters().timer_passes;
    for (int i = 0; i < 54; ++i) SendRaw("abc");
    usleep(20000);
    for (int pass = 0; pass < 54; ++pass) server->RunPass();
    EXPECT_EQ(stream.Count(), 54u);
    EXPECT_GE(server->GetCounters().timer_passes - before, 2u);
}

TEST_F(UdpServerLoop, TransportSuspendedDropsStreamTrafficButTheDhtStillHears) {
    std::atomic<bool> suspended{true};
    server->SetTransportSuspendedProbe([&] { return suspended.load(); });
    server->SetDhtRunningProbe([] { return true; });
    SendRaw("d1:ad1:xe");
    SendRaw("stream-bytes");
    PassUntil([&] { return dht.Count() == 1 && server->GetCounters().unclaimed == 1; });
    EXPECT_EQ(stream.Count(), 0u);
    clock.Advance(100);
    server->RunPass();
    EXPECT_EQ(stream.retransmits.load(), 0);  // no timers while suspended
}

TEST_F(UdpServerLoop, SuspendedWithoutTheDhtClosesTheSocketAndRegistersAgainAfter) {
    std::atomic<bool> suspended{false};
    server->SetTransportSuspendedProbe([&] { return suspended.load(); });
    server->RunPass();
    EXPECT_EQ(stream.registrations.load(), 1);
    suspended = true;
    EXPECT_EQ(server->RunPass(), UdpServer::kSuspendedPollMs);
    EXPECT_EQ(server->BoundPort(), 0);
    suspended = false;
    server->RunPass();
    EXPECT_NE(server->BoundPort(), 0);
    EXPECT_EQ(stream.registrations.load(), 2);
}

TEST_F(UdpServerLoop, TimersFollowTheClock) {
    server->RunPass();
    EXPECT_EQ(stream.registrations.load(), 1);  // the first timer pass registers
    EXPECT_EQ(stream.retransmits.load(), 0);
    clock.Advance(20);
    server->RunPass();
    EXPECT_EQ(stream.acknowledges.load(), 1);
    clock.Advance(20);
    server->RunPass();
    EXPECT_EQ(stream.retransmits.load(), 1);
    EXPECT_EQ(stream.acknowledges.load(), 1);
    clock.Advance(1960);
    server->RunPass();
    EXPECT_EQ(stream.maintenance.load(), 0);  // more than 2 s, not 2 s
    clock.Advance(1);
    server->RunPass();
    EXPECT_EQ(stream.maintenance.load(), 1);
    stream.pending_batch = true;
    server->RunPass();
    EXPECT_EQ(stream.flushes.load(), 1);

    // Not behind NAT: no keep-alive, and an unanswered registration is sent
    // again once a keep-alive interval has passed.
    clock.Advance(52'000);
    server->RunPass();
    EXPECT_EQ(stream.keep_alives.load(), 0);
    server->RunPass();
    EXPECT_EQ(stream.registrations.load(), 2);

    // Behind NAT with answers: keep-alives every interval, registration every 300 s.
    server->SetExternalEndpoint(Ip("198.18.0.7"), 4000);
    EXPECT_TRUE(server->BehindNat());
    server->NoteRendezvousAnswer();
    clock.Advance(52'000);
    server->RunPass();
    EXPECT_EQ(stream.keep_alives.load(), 1);
    EXPECT_EQ(stream.registrations.load(), 2);
    clock.Advance(300'000);
    server->RunPass();
    EXPECT_EQ(stream.registrations.load(), 3);
}

// While the rendezvous host does not resolve, datagrams are still read; the
// name is tried again every 30 s and registration waits for it.
TEST_F(UdpServerLoop, AnUnresolvableRendezvousHostDoesNotStopReading) {
    auto names = std::make_shared<FailingNames>();
    Make(names, TestConfig("rendezvous.invalid"));
    SendRaw("d1:ad1:xe");
    PassUntil([&] { return dht.Count() == 1; });
    server->RunPass();
    EXPECT_EQ(stream.registrations.load(), 0);
    const int lookups = names->lookups.load();
    EXPECT_GE(lookups, 1);
    clock.Advance(10'000);
    server->RunPass();
    EXPECT_EQ(names->lookups.load(), lookups);
    clock.Advance(20'000);
    server->RunPass();
    EXPECT_EQ(names->lookups.load(), lookups + 1);
    EXPECT_EQ(server->RendezvousState().address, 0u);
}

TEST_F(UdpServerLoop, ANewLocalPortIsBoundAtTheNextPass) {
    UdpSocket probe;
    ASSERT_TRUE(probe.Open(0, Ip("127.0.3.2")));
    const uint16_t free_port = probe.bound_port();
    probe.Close();
    server->SetLocalEndpoint(Ip("127.0.3.2"), free_port);
    server->RunPass();
    EXPECT_EQ(server->BoundPort(), free_port);
    SendRaw("d1:ad1:xe");
    PassUntil([&] { return dht.Count() == 1; });
}

TEST_F(UdpServerLoop, SendRefusesBadDatagramsAndDeliversGoodOnes) {
    UdpSocket peer;
    ASSERT_TRUE(peer.Open(0, Ip("127.0.3.3")));
    const std::string big(kMaxUdpDatagram + 1, 'x');
    const uint8_t one = 1;
    EXPECT_FALSE(server->Send(reinterpret_cast<const uint8_t*>(big.data()), big.size(), Ip("127.0.3.3"),
                              peer.bound_port()));
    EXPECT_FALSE(server->Send(&one, 0, Ip("127.0.3.3"), peer.bound_port()));
    EXPECT_FALSE(server->Send(&one, 1, 0, peer.bound_port()));
    EXPECT_FALSE(server->Send(&one, 1, Ip("127.0.3.3"), 0));
    EXPECT_TRUE(server->Send(&one, 1, Ip("127.0.3.3"), peer.bound_port()));
    std::vector<uint8_t> buffer(16);
    UdpSocket::ReadResult r;
    for (int i = 0; i < 1000 && (r = peer.Receive(buffer.data(), buffer.size())).kind ==
                                    UdpSocket::ReadKind::kNothing; ++i)
        usleep(500);
    EXPECT_EQ(r.kind, UdpSocket::ReadKind::kDatagram);
    EXPECT_EQ(r.port, server->BoundPort());
}

TEST(UdpServerStart, ChecksTheRecordAndKeepsTheFirstConfiguration) {
    FakeClock clock{FakeClock::Mode::Manual};
    UdpServer server(clock, std::make_shared<FailingNames>());
    server.SetBindAddress(Ip("127.0.3.4"));
    UdpServerConfig bad = TestConfig();
    bad.rendezvous_port = 0;
    EXPECT_EQ(server.StartServer(bad), -1);
    bad = TestConfig();
    bad.connect_timeout = 0;
    EXPECT_EQ(server.StartServer(bad), -1);
    bad = TestConfig("");
    EXPECT_EQ(server.StartServer(bad), -1);

    UdpServerConfig first = TestConfig();
    first.keep_alive_interval = 5;
    ASSERT_EQ(server.StartServer(first), 0);
    EXPECT_EQ(server.RendezvousState().keep_alive_interval, 10);
    UdpServerConfig second = TestConfig();
    second.rendezvous_port = 99;
    EXPECT_EQ(server.StartServer(second), 0);
    EXPECT_EQ(server.RendezvousState().port, 82);
    const EndpointTag tag = server.Tag();
    EXPECT_EQ(tag[0], 7);
    EXPECT_EQ(tag[1], 2);  // a zero second byte becomes 2
    EXPECT_EQ(std::string(tag.begin() + 8, tag.end()), "UDP0");
    server.StopServer();
    EXPECT_FALSE(server.IsRunning());
}

// Starts the server's thread bound to `address`; its port once the socket is
// bound, 0 when it did not start or bind within a second.
uint16_t StartServerOn(UdpServer& server, const char* address) {
    server.SetBindAddress(Ip(address));
    if (server.StartServer(TestConfig()) != 0) return 0;
    uint16_t port = 0;
    return test::WaitFor([&] { return (port = server.BoundPort()) != 0; }, std::chrono::seconds(1)) ? port : 0;
}

// The thread itself: datagrams reach the consumers while other threads send
// through the server, and a stop returns promptly.
TEST(UdpServerThread, ReadsAndSendsConcurrentlyAndStops) {
    UdpServer server(SystemClock(), std::make_shared<FailingNames>());
    StubDht dht;
    StubStream stream(&server);
    server.SetDhtConsumer(&dht);
    server.SetStreamConsumer(&stream);
    const uint16_t port = StartServerOn(server, "127.0.3.5");
    ASSERT_NE(port, 0);

    UdpSocket peer;
    ASSERT_TRUE(peer.Open(0, Ip("127.0.3.6")));
    std::thread sender([&] {
        const uint8_t ping[4] = {'p', 'i', 'n', 'g'};
        for (int i = 0; i < 200; ++i) server.Send(ping, sizeof ping, Ip("127.0.3.6"), peer.bound_port());
    });
    for (int i = 0; i < 100; ++i) {
        const std::string krpc = "d1:ti" + std::to_string(100 + i) + "ee";
        ASSERT_TRUE(peer.SendTo(reinterpret_cast<const uint8_t*>(krpc.data()), krpc.size(), Ip("127.0.3.5"), port));
        if (i % 20 == 0) usleep(1000);  // stays within the socket's buffer
    }
    sender.join();
    EXPECT_TRUE(test::WaitFor([&] { return dht.Count() >= 100; }, std::chrono::seconds(2)));
    EXPECT_EQ(dht.Count(), 100u);
    EXPECT_GE(stream.registrations.load(), 1);
    server.StopServer();
    EXPECT_FALSE(server.IsRunning());
    EXPECT_GE(stream.resets.load(), 1);
}

TEST(UdpSpinBudget, AfterEightFruitlessSpinsOnlyEverySixteenthChanceSpinsUntilOneFindsData) {
    UdpSpinBudget budget;
    for (int i = 0; i < 8; ++i) {
        ASSERT_TRUE(budget.Allows());
        budget.Record(false);
    }
    int allowed = 0;
    for (int i = 0; i < 64; ++i) {
        if (!budget.Allows()) continue;
        ++allowed;
        budget.Record(false);
    }
    EXPECT_EQ(allowed, 4);
    while (!budget.Allows()) {
    }
    budget.Record(true);  // the probe found data: every chance spins again
    for (int i = 0; i < 7; ++i) {
        EXPECT_TRUE(budget.Allows());
        budget.Record(false);
    }
    EXPECT_TRUE(budget.Allows());
}

TEST(UdpServerThread, AReadIsFollowedByASpinAndTheLoopGoesOnReading) {
    UdpServer server(SystemClock(), std::make_shared<FailingNames>());
    StubDht dht;
    server.SetDhtConsumer(&dht);
    const uint16_t port = StartServerOn(server, "127.0.96.1");
    ASSERT_NE(port, 0);
    UdpSocket peer;
    ASSERT_TRUE(peer.Open(0, Ip("127.0.96.2")));
    const std::string krpc = "d1:ti100ee";
    ASSERT_TRUE(peer.SendTo(reinterpret_cast<const uint8_t*>(krpc.data()), krpc.size(), Ip("127.0.96.1"), port));
    EXPECT_TRUE(test::WaitFor([&] { return server.GetCounters().spins >= 1; }, std::chrono::seconds(2)));
    ASSERT_TRUE(peer.SendTo(reinterpret_cast<const uint8_t*>(krpc.data()), krpc.size(), Ip("127.0.96.1"), port));
    EXPECT_TRUE(test::WaitFor([&] { return dht.Count() == 2; }, std::chrono::seconds(2)));
    server.StopServer();
}

}  // namespace
}  // namespace zl
