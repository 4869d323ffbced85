// Incoming BitTorrent connections as the task's peer driver admits them, on
// real loopback sockets (127.0.105.x): a remote that opens connection after
// connection and never finishes its handshake must not grow the task's
// active list without bound, while honest connections are still taken; and
// a peer heard again on the local network makes no room a second time.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "engine/base/fake_clock.h"
#include "engine/core/driver/peer_driver.h"
#include "engine/core/sched/transfer_statistics.h"
#include "engine/net/address.h"
#include "engine/net/socket.h"
#include "tests/support/free_port.h"

namespace zl {
namespace {

constexpr int64_t kPiece = 16384;
constexpr int32_t kPieces = 8;

std::array<uint8_t, 68> OurHandshake() {
    std::array<uint8_t, 68> h{};
    h[0] = 19;
    std::memcpy(h.data() + 1, "BitTorrent protocol", 19);
    std::memset(h.data() + 28, 0xA5, 20);  // the info hash
    std::memset(h.data() + 48, 0x11, 20);  // our peer id
    return h;
}

// A BitTorrent task with the metainfo loaded and nothing downloaded yet.
class BtView final : public TaskPieceView {
public:
    explicit BtView(FakeClock& clock) : clock_(clock) {}
    Clock& ViewClock() override { return clock_; }
    uint64_t ViewSeconds() override { return clock_.TickMs() / 1000; }
    int32_t ViewMaxServerConnections() override { return 49; }
    BufferPool* ViewSocketPool() override { return nullptr; }
    bool MapReady() override { return true; }
    BlockInfo MapGeometry() override { return BlockInfo(kPiece * kPieces, kPiece); }
    bool MapPieceNeeded(int32_t) override { return true; }
    bool MapBlockPresent(int32_t, int64_t) override { return false; }
    BlockWriteResult ReceiveBlock(int32_t, int64_t, int32_t, const uint8_t*) override {
        return {BlockWrite::kRefused, 0};
    }
    bool ViewP2P() override { return true; }
    bool ViewAcceptsPeers() override { return true; }
    std::array<uint8_t, 68> ViewHandshake() override { return OurHandshake(); }
    int32_t ViewHalfOpenLimit() override { return half_open_limit; }

    int32_t half_open_limit = 32;

private:
    FakeClock& clock_;
};

class IncomingAdmission : public ::testing::Test {
protected:
    IncomingAdmission() : view_(clock_), statistics_(clock_), driver_(view_, statistics_) {
        statistics_.Start(0, 0);
        SocketEnv env;
        env.clock = &clock_;
        listener_ = std::make_unique<TSocket>(env);
    }
    ~IncomingAdmission() override {
        driver_.CloseAll();
        for (int fd : remotes_) ::close(fd);
    }

    void SetUp() override {
        ASSERT_TRUE(listener_->Listen(test::FreeTcpPort("127.0.105.1"), InetAddr("127.0.105.1")));
    }

    // A remote connects from `from` and sends `bytes`; the accepted socket
    // holds them, as the shared listener hands it over.
    std::unique_ptr<TSocket> Arrive(const char* from, const std::string& bytes) {
        const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
        remotes_.push_back(fd);
        sockaddr_in local{};
        local.sin_family = AF_INET;
        local.sin_addr.s_addr = InetAddr(from);
        ::bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local);
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_addr.s_addr = InetAddr("127.0.105.1");
        to.sin_port = htons(listener_->local_port());
        if (::connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0) return nullptr;
        ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
        std::unique_ptr<TSocket> s;
        for (int i = 0; i < 1000 && !s; ++i) {
            s = listener_->Accept();
            if (!s) ::usleep(1000);
        }
        if (!s) return nullptr;
        for (int i = 0; i < 1000 && s->received_length() < static_cast<int64_t>(bytes.size()); ++i) {
            if (s->Receive(0, 4096) < 0) return nullptr;
            if (s->received_length() < static_cast<int64_t>(bytes.size())) ::usleep(1000);
        }
        return s;
    }

    FakeClock clock_{FakeClock::Mode::Manual};
    BtView view_;
    TransferStatistics statistics_;
    TaskPeerDriver driver_;
    std::unique_ptr<TSocket> listener_;
    std::vector<int> remotes_;
};

// The first 48 bytes of a handshake naming our torrent (the listener hands a
// connection over once the info hash is there), and never the peer id.
std::string HalfHandshake() {
    const std::array<uint8_t, 68> h = OurHandshake();
    return std::string(reinterpret_cast<const char*>(h.data()), 48);
}

TEST_F(IncomingAdmission, HalfHandshakesCannotGrowTheActiveListWithoutBound) {
    const int32_t budget = view_.ViewConnectionBudget();
    int accepted = 0;
    for (int i = 0; i < 3 * budget; ++i) {
        std::unique_ptr<TSocket> s = Arrive("127.0.105.2", HalfHandshake());
        ASSERT_NE(s, nullptr);
        if (driver_.AcceptIncoming(std::move(s))) ++accepted;
    }
    // Connections waiting for their handshake count against the budget.
    EXPECT_LE(static_cast<int32_t>(driver_.ActiveCount()), budget + 4);
    EXPECT_LE(accepted, budget + 4);

    // Once they are gone (their handshake time ran out), connections are taken again.
    driver_.CloseAll();
    std::unique_ptr<TSocket> s = Arrive("127.0.105.3", HalfHandshake());
    ASSERT_NE(s, nullptr);
    EXPECT_TRUE(driver_.AcceptIncoming(std::move(s)));
}

// A new LAN peer, when no further connection may be started, pushes two
// BitTorrent peers out to make room for itself; the same peer heard again
// (engines announce twice, then reply, and any host may repeat itself) is
// known already and pushes nobody out.
TEST_F(IncomingAdmission, AKnownLanPeerMakesNoRoomAgain) {
    view_.half_open_limit = 1;  // one connection being set up fills the room
    for (int i = 0; i < 6; ++i) {
        std::unique_ptr<TSocket> s = Arrive("127.0.105.4", HalfHandshake());
        ASSERT_NE(s, nullptr);
        ASSERT_TRUE(driver_.AcceptIncoming(std::move(s)));
    }
    std::array<uint8_t, 20> lan_id{};
    lan_id.fill(0x42);
    driver_.AddLanPeer(InetAddr("127.0.105.5"), 6881, lan_id);
    EXPECT_EQ(driver_.ActiveCount(), 4u) << "a new LAN peer makes room";
    for (int i = 0; i < 3; ++i) driver_.AddLanPeer(InetAddr("127.0.105.5"), 6881, lan_id);
    EXPECT_EQ(driver_.ActiveCount(), 4u) << "the known one does not";
}

}  // namespace
}  // namespace zl
