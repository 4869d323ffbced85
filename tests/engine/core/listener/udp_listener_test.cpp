// The shared listener's second endpoint, on the UDP stream: two engines' UDP
// servers on loopback (127.0.81.x) meet through a rendezvous server; streams
// that one opens to the other's listening port wait in the same pending list
// as TCP connections, are sniffed the same way and go only to the task their
// handshake names. A handshake for a torrent no task has is dropped, and the
// UDP-stream listener closes once the UDP stream is switched off.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "engine/base/fake_clock.h"
#include "engine/core/listener/incoming_sniff.h"
#include "engine/core/listener/shared_listener.h"
#include "tests/engine/udp/loopback_rendezvous.h"
#include "tests/engine/udp/server_engine.h"
#include "tests/support/free_port.h"

namespace zl {
namespace {

using test::LoopbackRendezvous;
using test::ServerEngine;

uint32_t Ip(const char* text) { return inet_addr(text); }

InfoHashBytes Hash(uint8_t fill) {
    InfoHashBytes h;
    h.fill(fill);
    return h;
}

std::string Handshake(const InfoHashBytes& hash) {
    std::string h;
    h += char(19);
    h += "BitTorrent protocol";
    h += std::string(8, '\0');
    h.append(reinterpret_cast<const char*>(hash.data()), hash.size());
    h += std::string(20, 'q');
    return h;
}

bool Eventually(const std::function<bool()>& done, int ms = 5000) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (std::chrono::steady_clock::now() < deadline) {
        if (done()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return done();
}

// Engine B: its UDP server with the stream transport, and the shared listener
// on 127.0.81.3. Engine A: another UDP server that connects to B.
class UdpListenerTest : public ::testing::Test {
protected:
    void SetUp() override {
        rendezvous_ = std::make_unique<LoopbackRendezvous>(Ip("127.0.81.1"));
        if (!rendezvous_->ok()) GTEST_SKIP() << "cannot bind 127.0.81.1";
        a_ = test::StartServerEngine("127.0.81.2", NodeId{0xA8, 1, 2, 3, 4, 5, 6, 7}, rendezvous_->port(), {},
                                     "127.0.81.1");
        b_ = test::StartServerEngine("127.0.81.3", NodeId{0xB8, 1, 2, 3, 4, 5, 6, 7}, rendezvous_->port(), {},
                                     "127.0.81.1");
        ASSERT_TRUE(a_ && b_);
        ASSERT_TRUE(Eventually([&] { return a_->t().ServerAnswered() && b_->t().ServerAnswered(); }));

        switches_.p2p = true;
        switches_.udp_stream_off = false;
        switches_.bind_address = Ip("127.0.81.3");
        switches_.listen_port = test::FreeTcpPort("127.0.81.3");
        ListenerEnv env;
        env.data_lock = &lock_;
        env.switches = &switches_;
        env.tick_ms = [this] { return clock_.TickMs(); };
        env.seconds = [] { return uint64_t(5000); };
        env.socket_env = [this] {
            SocketEnv s;
            s.clock = &clock_;
            s.udp = &b_->service->stream_calls();
            return s;
        };
        env.host_address = [] { return Ip("127.0.81.3"); };
        env.udp_identity = [this] { return b_->id; };
        listener_ = std::make_unique<SharedListener>(std::move(env));
    }

    SharedListener::ServiceResult Step(const void* task, const InfoHashBytes* hash) {
        SharedListener::ServiceRequest r;
        r.task = task;
        r.info_hash = hash;
        r.blocked = [this](uint32_t a) { return a == blocked_; };
        return listener_->ServiceIncoming(r);
    }

    // A's stream to B's listening port, by B's node id, opened with `bytes`.
    std::unique_ptr<TSocket> ConnectFromA(const std::string& bytes) {
        SocketEnv env;
        env.clock = &clock_;
        env.udp = &a_->service->stream_calls();
        auto s = std::make_unique<TSocket>(env);
        const TSocket::Identity id = b_->id;
        if (!s->Connect(Ip("127.0.81.3"), switches_.listen_port.load(), false, 0, &id)) return nullptr;
        if (!Eventually([&] { return s->IsConnected(); })) return nullptr;
        if (!bytes.empty() && s->Send(bytes.data(), int64_t(bytes.size())) < 0) return nullptr;
        return s;
    }

    std::unique_ptr<LoopbackRendezvous> rendezvous_;
    std::unique_ptr<ServerEngine> a_, b_;
    QTMutex lock_;
    EngineSwitches switches_;
    FakeClock clock_{FakeClock::Mode::Manual};
    uint32_t blocked_ = 0;
    std::unique_ptr<SharedListener> listener_;
};

TEST_F(UdpListenerTest, AStreamIsSniffedLikeTcpAndHandedOnlyToTheTaskItNames) {
    const InfoHashBytes x = Hash(0x11), y = Hash(0x22);
    const int task_x = 0, task_y = 0;
    Step(&task_x, &x);
    Step(&task_y, &y);
    ASSERT_TRUE(listener_->Listening());
    ASSERT_TRUE(listener_->UdpListening());

    std::unique_ptr<TSocket> from_a = ConnectFromA(Handshake(y));
    ASSERT_TRUE(from_a);
    // The waiting stream makes the next service step due at once.
    ASSERT_TRUE(Eventually([&] { return listener_->HasWork(); }));
    // Task X's steps accept the stream but leave it waiting for Y.
    ASSERT_TRUE(Eventually([&] {
        EXPECT_TRUE(Step(&task_x, &x).accepted.empty());
        return listener_->PendingCount() == 1;
    }));
    SharedListener::ServiceResult r;
    ASSERT_TRUE(Eventually([&] {
        EXPECT_TRUE(Step(&task_x, &x).accepted.empty());
        r = Step(&task_y, &y);
        return !r.accepted.empty();
    }));
    ASSERT_EQ(r.accepted.size(), 1u);
    TSocket& got = *r.accepted[0];
    EXPECT_TRUE(got.udp_mode());
    EXPECT_EQ(got.remote_address(), Ip("127.0.81.2"));
    EXPECT_EQ(got.received_length(), 68);
    EXPECT_EQ(std::memcmp(got.received() + 28, y.data(), 20), 0);
    EXPECT_EQ(listener_->PendingCount(), 0u);
    // A stream reached over the UDP stream does not make us directly reachable.
    EXPECT_FALSE(switches_.directly_reachable.load());

    // The accepted stream carries the task's answer back to A.
    const std::string answer = Handshake(y);
    ASSERT_GE(got.Send(answer.data(), int64_t(answer.size())), 0);
    ASSERT_TRUE(Eventually([&] { return from_a->Receive(0, 1 << 20) >= 68; }));
    EXPECT_EQ(std::memcmp(from_a->received() + 28, y.data(), 20), 0);
}

TEST_F(UdpListenerTest, UnknownTorrentsAndBlockedAddressesAreDropped) {
    const InfoHashBytes x = Hash(0x11);
    const int task_x = 0;
    Step(&task_x, &x);
    ASSERT_TRUE(listener_->UdpListening());

    std::unique_ptr<TSocket> unknown = ConnectFromA(Handshake(Hash(0x77)));
    ASSERT_TRUE(unknown);
    // Dropped as soon as its whole handshake is in, without waiting out its time;
    // A sees its stream closed.
    ASSERT_TRUE(Eventually([&] {
        EXPECT_TRUE(Step(&task_x, &x).accepted.empty());
        return listener_->PendingCount() == 0 && unknown->Receive(0, 1 << 20) < 0;
    }));

    blocked_ = Ip("127.0.81.2");
    std::unique_ptr<TSocket> blocked = ConnectFromA(Handshake(x));
    ASSERT_TRUE(blocked);
    ASSERT_TRUE(Eventually([&] {
        EXPECT_TRUE(Step(&task_x, &x).accepted.empty());
        EXPECT_EQ(listener_->PendingCount(), 0u);
        return blocked->Receive(0, 1 << 20) < 0;
    }));
}

TEST_F(UdpListenerTest, TheUdpStreamSwitchedOffClosesItsListenerAndP2POffClosesBoth) {
    const InfoHashBytes x = Hash(0x11);
    const int task_x = 0;
    Step(&task_x, &x);
    ASSERT_TRUE(listener_->UdpListening());
    switches_.udp_stream_off = true;  // a peer reached us over TCP from outside
    Step(&task_x, &x);
    EXPECT_FALSE(listener_->UdpListening());
    EXPECT_TRUE(listener_->Listening());
    // A stream to the closed port is refused at the transport.
    SocketEnv env;
    env.clock = &clock_;
    env.udp = &a_->service->stream_calls();
    TSocket s(env);
    const TSocket::Identity id = b_->id;
    ASSERT_TRUE(s.Connect(Ip("127.0.81.3"), switches_.listen_port.load(), false, 0, &id));
    EXPECT_FALSE(Eventually([&] { return s.IsConnected(); }, 1500));

    switches_.udp_stream_off = false;
    Step(&task_x, &x);
    EXPECT_TRUE(listener_->UdpListening());
    switches_.p2p = false;
    Step(&task_x, &x);
    EXPECT_FALSE(listener_->Listening());
    EXPECT_FALSE(listener_->UdpListening());
}

}  // namespace
}  // namespace zl
