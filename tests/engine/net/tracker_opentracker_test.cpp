// The tracker peer against a real opentracker on 127.0.3.50, announced to
// over HTTP and over UDP (skipped when opentracker is not installed). Each
// test starts its own tracker on free ports and stops it, also on failure.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "engine/net/tracker_http.h"
#include "engine/net/udp_socket.h"
#include "tracker_test_support.h"

namespace zl {
namespace {

using test::Ip4;
using test::TrackerTestTask;

constexpr const char* kTrackerAddress = "127.0.3.50";

uint16_t FreePort(int type) {
    const int fd = ::socket(AF_INET, type, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = Ip4(kTrackerAddress);
    ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    socklen_t size = sizeof a;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &size);
    ::close(fd);
    return ntohs(a.sin_port);
}

// One HTTP exchange with the tracker; the reply, or "" when it could not be had.
std::string HttpGet(uint16_t port, const std::string& target) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = Ip4(kTrackerAddress);
    std::string reply;
    if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) {
        const std::string request = "GET " + target + " HTTP/1.0\r\n\r\n";
        ::send(fd, request.data(), request.size(), MSG_NOSIGNAL);
        char buffer[4096];
        ssize_t n;
        while ((n = ::recv(fd, buffer, sizeof buffer, 0)) > 0) reply.append(buffer, static_cast<size_t>(n));
    }
    ::close(fd);
    return reply;
}

bool TcpReachable(uint16_t port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = Ip4(kTrackerAddress);
    const bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    ::close(fd);
    return ok;
}

class OpenTracker {
public:
    explicit OpenTracker(const std::string& whitelisted_hex) {
        char templ[] = "/tmp/zl-tr-opentracker-XXXXXX";
        dir_ = ::mkdtemp(templ);
        ::chmod(dir_.c_str(), 0755);  // the tracker reads its list as "nobody"
        std::ofstream(dir_ + "/whitelist.txt") << whitelisted_hex << "\n";
        tcp_port_ = FreePort(SOCK_STREAM);
        udp_port_ = FreePort(SOCK_DGRAM);
        pid_ = ::fork();
        if (pid_ == 0) {
            const int log = ::open((dir_ + "/../" + std::filesystem::path(dir_).filename().string() + ".log").c_str(),
                                   O_WRONLY | O_CREAT | O_TRUNC, 0644);
            if (log >= 0) {
                ::dup2(log, 1);
                ::dup2(log, 2);
            }
            const std::string tcp = std::to_string(tcp_port_), udp = std::to_string(udp_port_);
            ::execl("/usr/bin/opentracker", "opentracker", "-i", kTrackerAddress, "-p", tcp.c_str(), "-P", udp.c_str(),
                    "-d", dir_.c_str(), "-u", "nobody", "-w", "/whitelist.txt", static_cast<char*>(nullptr));
            ::_exit(127);
        }
        for (int i = 0; i < 300 && !TcpReachable(tcp_port_); ++i) usleep(10000);
        up_ = TcpReachable(tcp_port_);
    }
    // The whitelist is read in the background after start-up: wait until a
    // listed torrent is served, then take the probing peer away again.
    bool WaitListed(const std::string& escaped_hash) {
        const std::string target = "/announce?info_hash=" + escaped_hash +
                                   "&peer_id=-ZL0000-000000000000&port=1&uploaded=0&downloaded=0&left=0&event=";
        for (int i = 0; i < 300; ++i) {
            const std::string reply = HttpGet(tcp_port_, target + "started");
            if (reply.find("200 OK") != std::string::npos && reply.find("failure reason") == std::string::npos) {
                HttpGet(tcp_port_, target + "stopped");
                return true;
            }
            usleep(10000);
        }
        return false;
    }
    ~OpenTracker() {
        if (pid_ > 0) {
            ::kill(pid_, SIGTERM);
            ::waitpid(pid_, nullptr, 0);
        }
        std::error_code ec;
        std::filesystem::remove_all(dir_, ec);
        std::filesystem::remove(dir_ + ".log", ec);
    }
    bool up() const { return up_; }
    uint16_t tcp_port() const { return tcp_port_; }
    uint16_t udp_port() const { return udp_port_; }

private:
    std::string dir_;
    uint16_t tcp_port_ = 0, udp_port_ = 0;
    pid_t pid_ = -1;
    bool up_ = false;
};

std::string Hex(const std::array<uint8_t, 20>& bytes) {
    static const char kHex[] = "0123456789abcdef";
    std::string out;
    for (uint8_t b : bytes) {
        out.push_back(kHex[b >> 4]);
        out.push_back(kHex[b & 15]);
    }
    return out;
}

class OpenTrackerTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (::access("/usr/bin/opentracker", X_OK) != 0) GTEST_SKIP() << "opentracker is not installed";
        task.facts.escaped_info_hash =
            EscapeQueryBytes(std::string_view(reinterpret_cast<const char*>(task.facts.info_hash.data()), 20));
    }
    RefPtr<TPeerId> Tracker(uint16_t port, bool tcp) {
        auto id = RefPtr<TPeerId>::Adopt(new TPeerId(std::string("tracker://") + (tcp ? "http" : "udp") + "://" +
                                                     kTrackerAddress + ":" + std::to_string(port) + "/announce"));
        id->kind = kKindTracker;
        id->address = Ip4(kTrackerAddress);
        id->port = port;
        id->tracker_over_tcp = tcp;
        id->parsed = true;
        id->Source().host = kTrackerAddress;
        id->Source().path = "/announce";
        return id;
    }
    bool Announce(TrackerTestTask& t, uint16_t port, bool tcp, int max_ms = 3000) {
        auto id = Tracker(port, tcp);
        auto peer = RefPtr<TTrackerPeer>::Adopt(new TTrackerPeer(t, t, SocketEnv{}));
        peer->Reset();
        if (!peer->AttachIdentity(id.get())) return false;
        for (int i = 0; i < max_ms; ++i) {
            if (!peer->DownloadPass()) break;
            usleep(1000);
        }
        return peer->answered();
    }
    TrackerTestTask task;
};

// Two announces, one over each protocol: the second learns of the first.
TEST_F(OpenTrackerTest, HttpAndUdpAnnouncesFindEachOther) {
    OpenTracker tracker(Hex(task.facts.info_hash));
    ASSERT_TRUE(tracker.up());
    ASSERT_TRUE(tracker.WaitListed(task.facts.escaped_info_hash));

    TrackerTestTask first;
    first.facts = task.facts;
    first.facts.listen_port = 46881;
    ASSERT_TRUE(Announce(first, tracker.tcp_port(), true));
    EXPECT_EQ(first.answers, 1);
    EXPECT_GE(first.figures.interval, 61);

    task.facts.listen_port = 46882;
    ASSERT_TRUE(Announce(task, tracker.udp_port(), false));
    bool found = false;
    for (const auto& c : task.candidates) found = found || (c.port == 46881 && c.kind == kKindNode);
    EXPECT_TRUE(found) << task.candidates.size() << " candidates";

    // And back over HTTP: the UDP announcer is listed too, in a dictionary or compact list.
    TrackerTestTask third;
    third.facts = task.facts;
    third.facts.listen_port = 46883;
    ASSERT_TRUE(Announce(third, tracker.tcp_port(), true));
    found = false;
    for (const auto& c : third.candidates) found = found || c.port == 46882;
    EXPECT_TRUE(found);
}

// A torrent the tracker does not carry: the failure dictionary is an answer
// without peers over HTTP; over UDP the error is ignored and the exchange
// waits (the task gives up on it later).
TEST_F(OpenTrackerTest, AnUnlistedTorrentGetsNoPeers) {
    std::array<uint8_t, 20> other{};
    other.fill(0x42);
    OpenTracker tracker(Hex(other));
    ASSERT_TRUE(tracker.up());
    ASSERT_TRUE(tracker.WaitListed(EscapeQueryBytes(std::string_view(reinterpret_cast<const char*>(other.data()), 20))));
    // The torrent announced is not the listed one.
    EXPECT_TRUE(Announce(task, tracker.tcp_port(), true));
    EXPECT_TRUE(task.candidates.empty());
    EXPECT_EQ(task.figures.interval, 600);
    EXPECT_FALSE(Announce(task, tracker.udp_port(), false, 300));  // its short refusal is no answer
}

}  // namespace
}  // namespace zl
