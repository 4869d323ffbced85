// Incoming connections through the whole engine on 127.0.11.x: two seeding
// tasks share the listener, each takes the connections whose handshake names
// its torrent, answers with its handshake, bitfield, interested and unchoke,
// and serves requested blocks; a disguised handshake gets the reply header
// first; the task shows its listening address, and "Service Disabled!" with
// the P2P switch off.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>

#include "engine/core/api/engine_api.h"
#include "engine/core/api/engine_api_listen.h"
#include "engine/core/api/engine_api_peers.h"
#include "engine/core/api/engine_context.h"
#include "engine/meta/sha1.h"
#include "tests/engine/core/support/task_test_support.h"
#include "tests/engine/core/support/torrent_fixture.h"
#include "tests/support/free_port.h"

namespace zl {
namespace {

constexpr int64_t kPiece = 32768;

uint32_t Ip(const char* text) { return inet_addr(text); }

std::string Content(size_t size, uint32_t seed) {
    std::string bytes(size, '\0');
    uint64_t x = seed * 0x9e3779b97f4a7c15ull + 1;
    for (char& c : bytes) {
        x = x * 6364136223846793005ull + 1442695040888963407ull;
        c = static_cast<char>(x >> 56);
    }
    return bytes;
}

std::string InfoHashOf(const std::string& torrent) {
    // The info dictionary runs from after "4:info" to the last byte but one.
    const size_t at = torrent.find("4:info") + 6;
    const std::string info = torrent.substr(at, torrent.size() - 1 - at);
    const Sha1Digest d = Sha1Of(info.data(), info.size());
    return std::string(reinterpret_cast<const char*>(d.data()), d.size());
}

std::string Handshake(const std::string& info_hash, const std::string& peer_id = "-TT0001-abcdefghijkl") {
    return std::string(1, char(19)) + "BitTorrent protocol" + std::string(8, '\0') + info_hash + peer_id;
}

std::string Message(uint8_t id, const std::string& payload = "") {
    const uint32_t n = htonl(static_cast<uint32_t>(payload.size() + 1));
    return std::string(reinterpret_cast<const char*>(&n), 4) + char(id) + payload;
}

std::string U32(uint32_t v) {
    v = htonl(v);
    return std::string(reinterpret_cast<const char*>(&v), 4);
}

// A BitTorrent client made of a blocking socket with time limits.
class RawPeer {
public:
    RawPeer(const char* from, int port) {
        fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in local{};
        local.sin_family = AF_INET;
        local.sin_addr.s_addr = Ip(from);
        ::bind(fd_, reinterpret_cast<sockaddr*>(&local), sizeof local);
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_addr.s_addr = Ip("127.0.11.2");
        sa.sin_port = htons(static_cast<uint16_t>(port));
        connected_ = ::connect(fd_, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0;
    }
    ~RawPeer() { ::close(fd_); }
    bool connected() const { return connected_; }
    void Send(const std::string& bytes) { ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL); }
    // Exactly n bytes, or what came within the time limit.
    std::string Read(size_t n, int ms = 5000) {
        std::string out;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        while (out.size() < n && std::chrono::steady_clock::now() < deadline) {
            pollfd p{fd_, POLLIN, 0};
            if (::poll(&p, 1, 50) <= 0) continue;
            char buffer[65536];
            const ssize_t got = ::recv(fd_, buffer, std::min(sizeof buffer, n - out.size()), 0);
            if (got <= 0) break;
            out.append(buffer, static_cast<size_t>(got));
        }
        return out;
    }
    // The next message (length prefix, id, payload); "" on a time-out.
    std::string ReadMessage() {
        const std::string length = Read(4);
        if (length.size() != 4) return {};
        uint32_t n = 0;
        std::memcpy(&n, length.data(), 4);
        return Read(ntohl(n));
    }

private:
    int fd_ = -1;
    bool connected_ = false;
};

class ListenerEngine : public ::testing::Test {
protected:
    void SetUp() override {
        port_ = test::FreeTcpPort("127.0.11.2");
        ASSERT_EQ(EngineStartup(engine_, dir_.path().c_str()), ENGINE_OK);
        EngineSetP2PSwitch(engine_, 1);
        EngineSetListenPort(engine_, port_);
        EngineSetBindAddress(engine_, Ip("127.0.11.2"));
        for (int i = 0; i < 2; ++i) {
            data_[i] = Content(5 * kPiece + 1000, 7 + i);
            const std::string name = i == 0 ? "a.bin" : "b.bin";
            torrent_[i] = test::SingleFileTorrent(name, data_[i], kPiece);
            std::filesystem::create_directories(dir_.path() + "/data");
            dir_.File("data/" + name, data_[i]);
            descriptor_[i] = test::Descriptor(kTaskFlagP2sp, "file://" + dir_.File(name + ".torrent", torrent_[i]), "",
                                              dir_.path() + "/data");
            ASSERT_EQ(TaskCreate(engine_, descriptor_[i].get()), ENGINE_OK);
            ASSERT_EQ(TaskSetServeOnly(engine_, descriptor_[i]->handle, 1), ENGINE_OK);
            ASSERT_EQ(TaskStart(engine_, descriptor_[i]->handle), ENGINE_OK);
        }
        ASSERT_TRUE(WaitFor([&] { return ListenText(0) == Listening() && ListenText(1) == Listening(); }));
    }
    void TearDown() override { EngineCleanup(engine_); }

    template <class Fn>
    bool WaitFor(Fn&& done, int ms = 10000) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        while (!done()) {
            if (std::chrono::steady_clock::now() > deadline) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return true;
    }
    std::string ListenText(int task) {
        TaskServeInfo info;
        TaskGetServeInfo(engine_, descriptor_[task]->handle, &info);
        return info.listen_address;
    }
    std::string Listening() const { return "127.0.11.2 : " + std::to_string(port_); }

    // The handshake, the full bitfield, then interested and unchoke.
    void ExpectGreeting(RawPeer& peer, int task) {
        const std::string hs = peer.Read(68);
        ASSERT_EQ(hs.size(), 68u);
        EXPECT_EQ(hs.substr(28, 20), InfoHashOf(torrent_[task]));
        EXPECT_EQ(hs.substr(48, 4), std::string("\x00\x01Zl", 4));
        const std::string bitfield = peer.ReadMessage();
        ASSERT_EQ(bitfield.size(), 2u);
        EXPECT_EQ(bitfield[0], 5);
        EXPECT_EQ(static_cast<uint8_t>(bitfield[1]), 0xFC);  // six pieces
        EXPECT_EQ(peer.ReadMessage(), std::string(1, 2));
        EXPECT_EQ(peer.ReadMessage(), std::string(1, 1));
    }

    EngineContext engine_;
    test::ScratchDir dir_;
    int port_ = 0;
    std::string data_[2], torrent_[2];
    std::unique_ptr<TaskDescriptor> descriptor_[2];
};

TEST_F(ListenerEngine, EachTaskTakesItsOwnConnectionsAndServesBlocks) {
    for (int task : {1, 0}) {
        SCOPED_TRACE(task);
        RawPeer peer("127.0.11.5", port_);
        ASSERT_TRUE(peer.connected());
        peer.Send(Handshake(InfoHashOf(torrent_[task])));
        ExpectGreeting(peer, task);
        peer.Send(Message(2));  // interested
        peer.Send(Message(6, U32(5) + U32(0) + U32(1000)));  // the last piece's 1000 bytes
        const std::string piece = peer.ReadMessage();
        ASSERT_EQ(piece.size(), 9u + 1000);
        EXPECT_EQ(piece[0], 7);
        EXPECT_EQ(piece.substr(9), data_[task].substr(5 * kPiece));
    }
    TaskPeerInfo info;
    ASSERT_TRUE(WaitFor([&] {
        TaskGetPeerInfo(engine_, descriptor_[0]->handle, &info);
        return info.uploaded == 1000;
    }));
}

TEST_F(ListenerEngine, ADisguisedHandshakeGetsTheReplyHeaderFirst) {
    RawPeer peer("127.0.11.6", port_);
    peer.Send("GET / HTTP/1.0\r\nHost: 2130706434:1\r\n\r\n" + Handshake(InfoHashOf(torrent_[0])));
    const std::string reply = peer.Read(17);
    EXPECT_EQ(reply, "HTTP/1.0 200 OK\r\n");
    std::string header = reply;
    while (header.size() < 200 && header.find("\r\n\r\n") == std::string::npos) header += peer.Read(1);
    EXPECT_NE(header.find("Connection: "), std::string::npos) << header;
    ExpectGreeting(peer, 0);
}

TEST_F(ListenerEngine, AnUnknownTorrentAndOurOwnPeerIdAreTurnedAway) {
    RawPeer stranger("127.0.11.7", port_);
    stranger.Send(Handshake(std::string(20, 'Z')));
    EXPECT_EQ(stranger.Read(1, 2000), "");  // closed, nothing sent
    // A peer presenting our own peer id is this engine dialling itself.
    RawPeer first("127.0.11.8", port_);
    first.Send(Handshake(InfoHashOf(torrent_[0])));
    const std::string ours = first.Read(68);
    ASSERT_EQ(ours.size(), 68u);
    RawPeer mirror("127.0.11.9", port_);
    mirror.Send(Handshake(InfoHashOf(torrent_[0]), ours.substr(48, 20)));
    EXPECT_EQ(mirror.Read(1, 2000), "");
}

TEST_F(ListenerEngine, P2POffClosesTheListenerAndShowsServiceDisabled) {
    EngineSetP2PSwitch(engine_, 0);
    ASSERT_TRUE(WaitFor([&] { return ListenText(0) == "Service Disabled!" && ListenText(1) == "Service Disabled!"; }));
    RawPeer refused("127.0.11.5", port_);
    EXPECT_FALSE(refused.connected());
    EngineSetP2PSwitch(engine_, 1);
    ASSERT_TRUE(WaitFor([&] { return ListenText(0) == Listening(); }));
}

}  // namespace
}  // namespace zl
