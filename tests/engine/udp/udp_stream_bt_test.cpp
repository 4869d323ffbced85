// BitTorrent peers over the UDP stream, unchanged: a downloading peer whose
// task wants relayed peers connects through the rendezvous server by the
// identity in the remote's peer id (a real one, or the placeholder of a peer
// id synthesized from an address), and a seeding peer serves it from a socket
// accepted on a UDP-stream listener; every piece arrives intact.
#include <random>

#include "engine/net/bt_peer.h"
#include "engine/net/socket.h"
#include "engine/udp/udp_stream_socket.h"
#include "tests/engine/net/fake_bt_task.h"
#include "tests/engine/udp/udp_stream_test_support.h"

namespace zl::test {
namespace {

constexpr int64_t kPiece = 2 * 16384;
constexpr size_t kSize = 6 * kPiece + 20000;

std::string Content(size_t size) {
    std::string s(size, '\0');
    std::mt19937 g(5);
    for (char& c : s) c = char(g());
    return s;
}

class RelayedTask : public FakeBtTask {
public:
    using FakeBtTask::FakeBtTask;
    bool WantsRelayedPeers() override { return wants_relayed; }
    bool wants_relayed = true;
};

struct Side {
    explicit Side(const std::string& content) : task(content, kPiece) {}
    SocketEnv Env(IStreamTransport* udp) {
        SocketEnv env;
        env.clock = &task.fake_clock;
        env.seconds = [this] { return task.EngineSeconds(); };
        env.udp = udp;
        return env;
    }
    RelayedTask task;
};

void DownloadOverTheUdpStream(bool synthesized_id) {
    SimWorld world;
    SimEngine& a = world.AddEngine("127.0.8.2", 7001, 0xA1);
    SimEngine& b = world.AddEngine("127.0.8.3", 7002, 0xB1);
    UdpStreamSocketTransport udp_a(a.t()), udp_b(b.t());
    const std::string content = Content(kSize);
    Side leecher(content), seeder(content);
    seeder.task.HaveAll();
    seeder.task.handshake = MakeHandshake(0xAB, 0x22);

    TSocket listener(seeder.Env(&udp_b));
    ASSERT_TRUE(listener.Listen(7002, Ip("127.0.8.3"), &b.id));
    world.net().Run(5);

    auto identity = RefPtr<TPeerId>::Adopt(new TPeerId("btnode://127.0.8.3:7002"));
    identity->kind = kKindNode;
    identity->address = Ip("127.0.8.3");
    identity->port = 7002;
    identity->parsed = true;
    if (synthesized_id) {
        identity->peer_id = TPeerId::NodePeerId(identity->address, 7002);
    } else {
        identity->peer_id.fill(0x22);
        std::copy(b.id.begin(), b.id.end(), identity->peer_id.begin() + 8);  // another engine's peer id
    }
    auto peer = RefPtr<TBTPeer>::Adopt(new TBTPeer(leecher.task, leecher.task, leecher.Env(&udp_a)));
    ASSERT_TRUE(peer->AttachIdentity(identity.get()));
    ASSERT_TRUE(peer->socket() && peer->socket()->udp_mode());

    RefPtr<TBTPeer> server;
    bool ok = true;
    for (int i = 0; i < 20000 && ok && !leecher.task.ReceivedAll(); ++i) {
        world.net().Run(1);
        leecher.task.fake_clock.Advance(1);
        seeder.task.fake_clock.Advance(1);
        if (!server) {
            if (std::unique_ptr<TSocket> s = listener.Accept()) {
                server = RefPtr<TBTPeer>::Adopt(new TBTPeer(seeder.task, seeder.task, seeder.Env(&udp_b)));
                ASSERT_TRUE(server->AttachSocket(std::move(s)));
            }
        }
        ok = peer->DownloadPass() && peer->UploadPass();
        if (server) ok = ok && server->DownloadPass() && server->UploadPass();
    }
    EXPECT_TRUE(ok);
    EXPECT_TRUE(leecher.task.ReceivedAll());
    EXPECT_EQ(seeder.task.uploaded, int64_t(kSize));
    EXPECT_FALSE(peer->disguised());  // never the HTTP-looking preamble over the UDP stream
    EXPECT_EQ(peer->remote_peer_id()[0], 0x22);
    peer->Reset();
    if (server) server->Reset();
}

TEST(UdpStreamBtPeer, DownloadsFromAnotherEngineNamedByItsPeerId) { DownloadOverTheUdpStream(false); }

TEST(UdpStreamBtPeer, DownloadsFromAnAddressOnlyPeerThroughItsPlaceholder) { DownloadOverTheUdpStream(true); }

TEST(UdpStreamBtPeer, TcpUnlessTheTaskWantsRelayedPeersOnEveryThirdAttempt) {
    SimWorld world;
    SimEngine& a = world.AddEngine("127.0.8.2", 7001, 0xA1);
    UdpStreamSocketTransport udp_a(a.t());
    Side leecher(Content(kSize));
    struct Case {
        bool wants;
        int32_t attempts;
        int32_t order_key;
        bool udp;
    } cases[] = {{false, 0, 20, false}, {true, 0, 20, true}, {true, 1, 20, false}, {true, 3, 34, true},
                 {true, 0, 35, false}};
    for (const Case& c : cases) {
        leecher.task.wants_relayed = c.wants;
        auto identity = RefPtr<TPeerId>::Adopt(new TPeerId("btnode://127.0.8.9:6881"));
        identity->kind = kKindNode;
        identity->address = Ip("127.0.8.9");
        identity->port = 6881;
        identity->parsed = true;
        identity->attempts = c.attempts;
        identity->order_key = c.order_key;
        auto peer = RefPtr<TBTPeer>::Adopt(new TBTPeer(leecher.task, leecher.task, leecher.Env(&udp_a)));
        peer->AttachIdentity(identity.get());
        ASSERT_TRUE(peer->socket());
        EXPECT_EQ(peer->socket()->udp_mode(), c.udp) << c.attempts << " " << c.order_key;
        peer->Reset();
    }
}

}  // namespace
}  // namespace zl::test
