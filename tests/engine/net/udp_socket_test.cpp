// The datagram socket on loopback: whole datagrams up to the largest size,
// longer and empty ones skipped without closing the socket, refused sends.
#include <arpa/inet.h>
#include <unistd.h>
#include <gtest/gtest.h>

#include <iterator>
#include <vector>

#include "engine/net/udp_socket.h"
#include "tests/support/wait_for.h"

namespace zl {
namespace {

uint32_t Ip(const char* dotted) { return inet_addr(dotted); }

struct Pair {
    UdpSocket a, b;
    Pair() {
        EXPECT_TRUE(a.Open(0, Ip("127.0.3.1")));
        EXPECT_TRUE(b.Open(0, Ip("127.0.3.2")));
    }
    bool SendAtoB(const std::vector<uint8_t>& bytes) {
        return a.SendTo(bytes.data(), bytes.size(), Ip("127.0.3.2"), b.bound_port());
    }
};

TEST(UdpSocket, BindsAnEphemeralPortAndReadsTheSender) {
    Pair p;
    ASSERT_NE(p.b.bound_port(), 0);
    ASSERT_TRUE(p.SendAtoB({1, 2, 3}));
    std::vector<uint8_t> buffer(UdpSocket::kMaxDatagram + 1);
    UdpSocket::ReadResult r;
    (void)test::WaitFor(
        [&] { return (r = p.b.Receive(buffer.data(), UdpSocket::kMaxDatagram)).kind != UdpSocket::ReadKind::kNothing; },
        std::chrono::seconds(1));
    ASSERT_EQ(r.kind, UdpSocket::ReadKind::kDatagram);
    EXPECT_EQ(r.length, 3u);
    EXPECT_EQ(r.address, Ip("127.0.3.1"));
    EXPECT_EQ(r.port, p.a.bound_port());
    EXPECT_EQ(p.b.Receive(buffer.data(), UdpSocket::kMaxDatagram).kind, UdpSocket::ReadKind::kNothing);
}

// An empty datagram and one longer than the buffer are skipped; the socket
// stays open and the datagram queued behind them is read whole.
TEST(UdpSocket, SkipsEmptyAndOversizedDatagramsAndKeepsTheSocket) {
    Pair p;
    const std::vector<uint8_t> whole(UdpSocket::kMaxDatagram, 'w');
    ASSERT_TRUE(p.SendAtoB(whole));
    // The socket refuses to send more than the largest datagram, so the
    // oversized one comes from a plain socket.
    const int raw = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(p.b.bound_port());
    to.sin_addr.s_addr = Ip("127.0.3.2");
    const std::vector<uint8_t> big(UdpSocket::kMaxDatagram + 1, 'b');
    ASSERT_EQ(::sendto(raw, big.data(), big.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to),
              static_cast<ssize_t>(big.size()));
    ASSERT_EQ(::sendto(raw, "", 0, 0, reinterpret_cast<sockaddr*>(&to), sizeof to), 0);
    ::close(raw);
    ASSERT_TRUE(p.SendAtoB({'t', 'a', 'i', 'l'}));

    std::vector<uint8_t> buffer(UdpSocket::kMaxDatagram + 1);
    std::vector<UdpSocket::ReadResult> seen;
    (void)test::WaitFor(
        [&] {
            const UdpSocket::ReadResult r = p.b.Receive(buffer.data(), UdpSocket::kMaxDatagram);
            if (r.kind != UdpSocket::ReadKind::kNothing) seen.push_back(r);
            return seen.size() >= 4;
        },
        std::chrono::seconds(1), std::chrono::microseconds(500));
    ASSERT_EQ(seen.size(), 4u);
    EXPECT_EQ(seen[0].kind, UdpSocket::ReadKind::kDatagram);
    EXPECT_EQ(seen[0].length, UdpSocket::kMaxDatagram);
    EXPECT_EQ(seen[1].kind, UdpSocket::ReadKind::kSkipped);
    EXPECT_EQ(seen[2].kind, UdpSocket::ReadKind::kSkipped);
    EXPECT_EQ(seen[3].kind, UdpSocket::ReadKind::kDatagram);
    EXPECT_EQ(seen[3].length, 4u);
    EXPECT_TRUE(p.b.IsOpen());
    EXPECT_EQ(p.b.dropped(), 1u);
}

TEST(UdpSocket, RefusesBadSendsWithoutTouchingTheSocket) {
    Pair p;
    const std::vector<uint8_t> big(UdpSocket::kMaxDatagram + 1, 'x');
    const uint8_t one = 1;
    struct Case {
        const uint8_t* data;
        size_t length;
        uint32_t address;
        uint16_t port;
    } cases[] = {
        {big.data(), big.size(), Ip("127.0.3.2"), p.b.bound_port()},
        {&one, 0, Ip("127.0.3.2"), p.b.bound_port()},
        {nullptr, 1, Ip("127.0.3.2"), p.b.bound_port()},
        {&one, 1, 0, p.b.bound_port()},
        {&one, 1, 0xFFFFFFFFu, p.b.bound_port()},  // broadcast is off
        {&one, 1, Ip("127.0.3.2"), 0},
    };
    for (const Case& c : cases) {
        EXPECT_FALSE(p.a.SendTo(c.data, c.length, c.address, c.port));
        EXPECT_TRUE(p.a.IsOpen());
    }
}

// A batch mixes what the kernel may carry as one send (equal datagrams to
// one place, a shorter one last) with the rest; each arrives as the datagram
// it was, in order, and a batched read takes them back one by one.
TEST(UdpSocket, ABatchArrivesAsItsOwnDatagramsInOrder) {
    UdpSocket a, b, c;
    ASSERT_TRUE(a.Open(0, Ip("127.0.93.1")));
    ASSERT_TRUE(b.Open(0, Ip("127.0.93.2")));
    ASSERT_TRUE(c.Open(0, Ip("127.0.93.3")));
    std::vector<std::vector<uint8_t>> bodies;
    std::vector<UdpSocket::Outgoing> out;
    const size_t lengths[] = {1384, 1384, 1384, 700, 1384, 1384, 64, 64, 1384};
    const uint8_t one = 1;
    for (size_t i = 0; i < std::size(lengths); ++i) bodies.emplace_back(lengths[i], uint8_t(i + 1));
    for (size_t i = 0; i < bodies.size(); ++i) {
        out.push_back({bodies[i].data(), bodies[i].size(), Ip("127.0.93.2"), b.bound_port()});
        if (i == 4) out.push_back({&one, 1, Ip("127.0.93.3"), c.bound_port()});  // elsewhere
        if (i == 5) out.push_back({&one, 1, Ip("127.0.93.2"), 0});               // refused
    }
    EXPECT_EQ(a.SendMany(out.data(), out.size()), out.size() - 1);

    std::vector<uint8_t> storage(4 * 9216);
    uint8_t* buffers[4] = {&storage[0], &storage[9216], &storage[2 * 9216], &storage[3 * 9216]};
    UdpSocket::ReadResult reads[4];
    size_t next = 0;
    ASSERT_TRUE(test::WaitFor([&] {
        const size_t n = b.ReceiveMany(buffers, UdpSocket::kMaxDatagram, reads, 4);
        for (size_t i = 0; i < n && next < bodies.size(); ++i, ++next) {
            EXPECT_EQ(reads[i].kind, UdpSocket::ReadKind::kDatagram);
            EXPECT_EQ(reads[i].port, a.bound_port());
            EXPECT_EQ(std::vector<uint8_t>(buffers[i], buffers[i] + reads[i].length), bodies[next]) << next;
        }
        return next == bodies.size();
    }, std::chrono::seconds(2)));
    EXPECT_EQ(b.ReceiveMany(buffers, UdpSocket::kMaxDatagram, reads, 4), 0u);
    std::vector<uint8_t> buffer(UdpSocket::kMaxDatagram + 1);
    ASSERT_TRUE(test::WaitFor([&] { return c.Receive(buffer.data(), UdpSocket::kMaxDatagram).length == 1; },
                              std::chrono::seconds(2)));
}

TEST(UdpSocket, ABusyPortFailsAtBind) {
    UdpSocket a, b;
    ASSERT_TRUE(a.Open(0, Ip("127.0.3.3")));
    EXPECT_FALSE(b.Open(a.bound_port(), Ip("127.0.3.3")));
    EXPECT_TRUE(b.bind_failed());
    EXPECT_FALSE(b.IsOpen());
}

}  // namespace
}  // namespace zl
