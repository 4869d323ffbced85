// The transport's timers on the test clock: the retransmit schedule and its
// retry limit, the window at the start and under loss, acknowledgements,
// keep-alives and the close after a connect timeout of silence, and a NAT
// port that changes under an established stream.
#include <poll.h>

#include "tests/engine/udp/crafted_peer.h"
#include "tests/engine/udp/udp_stream_test_support.h"

namespace zl::test {
namespace {

using namespace udpstream;

class TimersTest : public CraftedPeerTest {};

TEST_F(TimersTest, AnUnacknowledgedSegmentIsResentAfterOnePointSixThenTwoPointFourSeconds) {
    const int h = AcceptFromRemote();
    int32_t e = 0;
    const uint8_t one = 1;
    ASSERT_EQ(t().Send(h, &one, 1, &e), 1);
    const uint64_t first = clock_.TickMs() - 5;  // the first send is stamped 5 ms early
    ASSERT_EQ(OfType(sender_.Take(), kData).size(), 1u);
    std::vector<uint64_t> resent_after;
    uint64_t previous = first;
    for (int step = 0; step < 14000; ++step) {
        Advance(1);
        if (clock_.TickMs() % 2000 == 0) FromRemote(Keepalive());  // the other end stays alive
        for (const Sent& s : OfType(sender_.Take(), kData)) {
            resent_after.push_back(clock_.TickMs() - previous);
            previous = clock_.TickMs();
            (void)s;
        }
    }
    // Due once more than 1600 + 800 x retries ms passed; ticks come every 40 ms.
    ASSERT_GE(resent_after.size(), 4u);
    const uint64_t due[] = {1600, 2400, 3200, 4000};
    for (size_t i = 0; i < 4; ++i) {
        EXPECT_GT(resent_after[i], due[i]) << i;
        EXPECT_LE(resent_after[i], due[i] + 40) << i;
    }
    EXPECT_EQ(t().Inspect(h).send_retries[0], uint32_t(resent_after.size()));
}

TEST_F(TimersTest, ASegmentRetriedMoreThan128TimesClosesTheStream) {
    const int h = AcceptFromRemote();
    int32_t e = 0;
    const uint8_t one = 1;
    ASSERT_EQ(t().Send(h, &one, 1, &e), 1);
    // Keep the stream alive and step tick by tick through the ever longer waits.
    for (int i = 0; i < 200000 && t().Inspect(h).state == UdpStreamState::kEstablished; ++i) {
        clock_.Advance(40);
        t().RetransmitTick();
        if (i % 50 == 0) FromRemote(Keepalive());
    }
    EXPECT_EQ(t().Inspect(h).state, UdpStreamState::kClosed);
    EXPECT_EQ(t().Inspect(h).send_used, 0);  // its buffers went back
    UdpHandleSet r, w, x;
    r.Add(h);
    w.Add(h);
    x.Add(h);
    EXPECT_EQ(t().Select(&r, &w, &x, 0), 3);  // the owner notices
}

TEST_F(TimersTest, TheWindowStartsAtSixSegmentsOfFullSize) {
    UdpStreamConfig c;
    c.send_queue = 0;  // Send takes only the window
    Make(c);
    const int h = AcceptFromRemote();
    int32_t e = 0;
    std::vector<uint8_t> data(20 * kSegmentSize, 3);
    EXPECT_EQ(t().Send(h, data.data(), int64_t(data.size()), &e), int64_t(12 * kSegmentSize));
    const auto sent = OfType(sender_.Take(), kData);
    ASSERT_EQ(sent.size(), 6u);
    for (const Sent& s : sent) EXPECT_EQ(s.view().Be32(32), kSegmentSize);
    const UdpStreamSnapshot s = t().Inspect(h);
    EXPECT_EQ(s.loss_percent, 50u);
    EXPECT_EQ(s.window_limit, 6);
    EXPECT_EQ(s.send_used, 12);
    // A full window takes nothing more.
    EXPECT_EQ(t().Send(h, data.data(), 10, &e), -1);
    EXPECT_EQ(e, err::kWouldBlock);
}

// Send takes segments beyond the window into its queue, but still only six
// go out at first; the rest follow as ACKs move the window, and only
// segments that went out can be acknowledged.
TEST_F(TimersTest, TheSendQueueWaitsBehindTheWindow) {
    const int h = AcceptFromRemote();
    int32_t e = 0;
    const int queue = UdpStreamConfig{}.send_queue;
    std::vector<uint8_t> data(size_t(kWindow + queue + 5) * kSegmentSize, 3);
    EXPECT_EQ(t().Send(h, data.data(), int64_t(data.size()), &e), int64_t(kWindow + queue) * kSegmentSize);
    EXPECT_EQ(OfType(sender_.Take(), kData).size(), 6u);
    auto writable = [&] {
        UdpHandleSet w;
        w.Add(h);
        return t().Select(nullptr, &w, nullptr, 0) == 1;
    };
    EXPECT_FALSE(writable());
    FromRemote(Ack(0, 7));  // beyond the six that went out
    EXPECT_EQ(t().Inspect(h).bytes_acknowledged, 0u);
    FromRemote(Ack(0, 6, {1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1}));  // a bitmap over segments never sent
    EXPECT_EQ(t().Inspect(h).bytes_acknowledged, 6u * kSegmentSize);
    // The window moved by six: six more went out, still six in flight.
    const auto sent = OfType(sender_.Take(), kData);
    ASSERT_EQ(sent.size(), 6u);
    EXPECT_EQ(sent[0].view().Be32(36), 6u);
    EXPECT_EQ(t().Inspect(h).send_used, kWindow + queue - 6);
    EXPECT_FALSE(writable());  // writable again only once half the queue left
    // Each ACK of all that went out lets the next window's worth go, in order.
    for (uint32_t next = 12; t().Inspect(h).send_used >= kWindow + queue / 2;) {
        FromRemote(Ack(0, next));
        const auto more = OfType(sender_.Take(), kData);
        ASSERT_FALSE(more.empty()) << next;
        ASSERT_LE(more.size(), size_t(kWindow));
        for (const Sent& m : more) ASSERT_EQ(m.view().Be32(36), next++);
    }
    EXPECT_TRUE(writable());
}

// A reader's wake-up waits while full segments gather, but not past 36 of
// them, a short segment, a gap being repaired, the server's empty socket or
// a millisecond; Select reports the held data at once all along.
TEST_F(TimersTest, AReadersWakeUpWaitsForMoreDataButNotLong) {
    const int h = AcceptFromRemote();
    const int fd = t().EventDescriptor(h);
    ASSERT_GE(fd, 0);
    auto signalled = [&] {
        pollfd p{fd, POLLIN, 0};
        return ::poll(&p, 1, 0) == 1;
    };
    auto read_all = [&] {
        std::vector<uint8_t> buffer(1 << 17);
        int32_t e = 0;
        while (t().Receive(h, buffer.data(), int64_t(buffer.size()), &e) > 0) {
        }
    };
    read_all();  // clears the descriptor raised for the connection
    const std::vector<uint8_t> full(kSegmentSize, 1);
    uint32_t next = 0;
    auto readable = [&] {
        UdpHandleSet r;
        r.Add(h);
        return t().Select(&r, nullptr, nullptr, 0) == 1;
    };
    // Full segments: held until 36 have gathered.
    for (int i = 0; i < 35; ++i) FromRemote(Data(next++, full));
    EXPECT_FALSE(signalled());
    EXPECT_TRUE(t().HoldsWakes());
    EXPECT_TRUE(readable());
    FromRemote(Data(next++, full));
    EXPECT_TRUE(signalled());
    read_all();
    EXPECT_FALSE(signalled());
    // A short segment ends what the sender had.
    FromRemote(Data(next++, full));
    EXPECT_FALSE(signalled());
    FromRemote(Data(next++, std::vector<uint8_t>(100, 2)));
    EXPECT_TRUE(signalled());
    read_all();
    // The server's empty socket releases what is held.
    FromRemote(Data(next++, full));
    EXPECT_FALSE(signalled());
    t().ReleaseHeldWakes();
    EXPECT_TRUE(signalled());
    EXPECT_FALSE(t().HoldsWakes());
    read_all();
    // So does a millisecond with more datagrams coming.
    FromRemote(Data(next++, full));
    EXPECT_FALSE(signalled());
    Advance(1);
    FromRemote(Keepalive());
    EXPECT_TRUE(signalled());
    read_all();
    // In-order data with later segments waiting beyond a gap is told at once.
    FromRemote(Data(next + 1, full));
    EXPECT_FALSE(signalled());
    FromRemote(Data(next, full));
    EXPECT_TRUE(signalled());
}

TEST_F(TimersTest, MeasuredLossNarrowsTheWindowAndAboveThirtyPercentHalvesTheSegments) {
    UdpStreamConfig c;
    c.fast_resend = false;
    c.send_on_ack = false;
    Make(c);
    const int h = AcceptFromRemote();
    int32_t e = 0;
    std::vector<uint8_t> data(kSegmentSize, 3);
    // Each round sends a segment's worth; the other end acknowledges every
    // two rounds of three only after the first resend.
    for (int round = 0; round < 30; ++round) {
        ASSERT_GT(t().Send(h, data.data(), int64_t(data.size()), &e), 0) << round;
        if (round % 3 != 0) Advance(1700);
        const UdpStreamSnapshot now = t().Inspect(h);
        FromRemote(Ack(0, now.send_base + uint32_t(now.send_used)));
    }
    UdpStreamSnapshot s = t().Inspect(h);
    ASSERT_GT(s.send_count, 23u);
    EXPECT_EQ(s.loss_percent, s.resend_count * 100 / s.send_count);
    EXPECT_GT(s.loss_percent, 30u) << s.resend_count << "/" << s.send_count << " limit " << s.window_limit;
    EXPECT_EQ(s.window_limit, int(std::min<int64_t>(12, (1260 - 12 * int64_t(s.loss_percent)) / 100)));
    EXPECT_EQ(s.segment_size, kSmallSegmentSize);
    sender_.Take();
    ASSERT_GT(t().Send(h, data.data(), int64_t(data.size()), &e), 0);
    const auto sent = OfType(sender_.Take(), kData);
    ASSERT_FALSE(sent.empty());
    EXPECT_EQ(sent[0].view().Be32(32), kSmallSegmentSize);
}

TEST_F(TimersTest, AcknowledgementsAreSentOnTheTickTwiceWhileSegmentsWaitAndEveryTwelveSecondsWhenIdle) {
    UdpStreamConfig c;
    c.prompt_ack = false;
    Make(c);
    const int h = AcceptFromRemote();
    FromRemote(Data(1, std::vector<uint8_t>(10, 1)));
    FromRemote(Data(2, std::vector<uint8_t>(10, 1)));
    EXPECT_TRUE(OfType(sender_.Take(), kAck).empty());  // not before the tick
    Advance(20);
    auto acks = OfType(sender_.Take(), kAck);
    ASSERT_EQ(acks.size(), 2u);  // two segments wait for segment 0
    EXPECT_EQ(acks[0].view().Be32(36), 0u);
    EXPECT_EQ(acks[0].bytes[40], 0);
    EXPECT_EQ(acks[0].bytes[41], 1);
    EXPECT_EQ(acks[0].bytes[42], 1);
    FromRemote(Data(0, std::vector<uint8_t>(10, 1)));
    FromRemote(Ack(3, 0));  // the other end's send base: it knows we hold 0..2
    Advance(20);
    acks = OfType(sender_.Take(), kAck);
    ASSERT_EQ(acks.size(), 1u);
    EXPECT_EQ(acks[0].view().Be32(36), 3u);
    // Nothing new: the next ACK only after 12 s.
    Advance(11'900);
    EXPECT_TRUE(OfType(sender_.Take(), kAck).empty());
    Advance(1'400);
    EXPECT_EQ(OfType(sender_.Take(), kAck).size(), 1u);
    EXPECT_EQ(t().Inspect(h).state, UdpStreamState::kEstablished);
}

// The segments of one read earn an ACK per 4; they would all leave together,
// so the batch's last state goes once, or (while the link lost segments in
// the last 2 s) as many times as the ACKs it earned.
TEST_F(TimersTest, ABatchIsAcknowledgedOnceAndMoreOftenWhileTheLinkLosesSegments) {
    AcceptFromRemote();
    auto batch = [&](uint32_t first, uint32_t count, uint32_t missing = UINT32_MAX) {
        std::vector<std::vector<uint8_t>> packets;
        for (uint32_t n = first; n < first + count; ++n)
            if (n != missing) packets.push_back(Data(n, std::vector<uint8_t>(100, 7)));
        std::vector<UdpDatagramRef> refs;
        for (const auto& p : packets) refs.push_back({p.data(), p.size(), remote_address(), kRemotePort});
        t().OnStreamBatch(refs.data(), refs.size());
        return OfType(sender_.Take(), kAck);
    };
    auto acks = batch(0, 12);
    ASSERT_EQ(acks.size(), 1u);
    EXPECT_EQ(acks[0].view().Be32(36), 12u);
    acks = batch(12, 6, 12);  // 12 lost: 13..17 wait behind it (two earned, each twice)
    ASSERT_EQ(acks.size(), 4u);
    EXPECT_EQ(acks[1].view().Be32(36), 12u);
    EXPECT_EQ(acks[1].bytes[41], 1);
    batch(12, 1);  // the resend fills the gap, told at the next tick
    Advance(20);
    acks = OfType(sender_.Take(), kAck);
    ASSERT_FALSE(acks.empty());
    EXPECT_EQ(acks[0].view().Be32(36), 18u);
    acks = batch(18, 12);  // in order, but the loss is recent
    ASSERT_EQ(acks.size(), 3u);
    EXPECT_EQ(acks[0].view().Be32(36), 30u);
    EXPECT_EQ(acks[0].bytes, acks[2].bytes);
    Advance(2'100);
    sender_.Take();
    acks = batch(30, 12);
    ASSERT_EQ(acks.size(), 1u);
    EXPECT_EQ(acks[0].view().Be32(36), 42u);
}

TEST_F(TimersTest, SilenceBringsKeepAlivesAfterHalfTheTimeoutAndTheCloseAfterIt) {
    const int h = AcceptFromRemote();
    const uint64_t start = clock_.TickMs();
    uint64_t first_keepalive = 0;
    uint64_t closed_at = 0;
    size_t keepalives = 0;
    while (clock_.TickMs() - start < 40'000 && closed_at == 0) {
        Advance(100);
        const auto k = OfType(sender_.Take(), kKeepalive);
        if (!k.empty() && first_keepalive == 0) first_keepalive = clock_.TickMs() - start;
        keepalives += k.size();
        if (t().Inspect(h).state == UdpStreamState::kClosed) closed_at = clock_.TickMs() - start;
    }
    EXPECT_GT(first_keepalive, 15'000u);
    EXPECT_LE(first_keepalive, 18'100u);
    EXPECT_GE(keepalives, 6u);
    EXPECT_GT(closed_at, 30'000u);
    EXPECT_LE(closed_at, 33'100u);
    EXPECT_EQ(t().Inspect(h).close_error, err::kTimedOut);
    int32_t e = 0;
    uint8_t buffer[16];
    EXPECT_EQ(t().Receive(h, buffer, sizeof buffer, &e), -1);
    EXPECT_EQ(e, err::kNotConnected);
}

TEST_F(TimersTest, AKeepAliveOrSegmentFromANewPortMovesTheStreamThere) {
    const int h = AcceptFromRemote();
    const uint16_t moved = kRemotePort + 100;
    FromRemote(Keepalive(), moved);
    EXPECT_EQ(t().Inspect(h).remote_port, moved);
    FromRemote(Data(0, std::vector<uint8_t>(10, 1)), moved);
    EXPECT_EQ(t().Inspect(h).bytes_received, 10u);
    FromRemote(Data(1, std::vector<uint8_t>(10, 1)), moved + 1);  // and again, by a segment
    EXPECT_EQ(t().Inspect(h).remote_port, moved + 1);
    FromRemote(Data(2, {}), moved + 2);  // a refused segment moves nothing
    EXPECT_EQ(t().Inspect(h).remote_port, moved + 1);
    FromRemote(Keepalive(), moved);
    Advance(25);
    const auto acks = OfType(sender_.Take(), kAck);
    ASSERT_FALSE(acks.empty());
    EXPECT_EQ(acks.back().port, moved);
    // A keep-alive naming another service port, or from another address, is not this stream's.
    FromRemote(Keepalive(kLocalPort + 1), kRemotePort);
    Deliver(Keepalive(), Addr("127.0.8.9"), kRemotePort);
    EXPECT_EQ(t().Inspect(h).remote_port, moved);
}

// On the simulated network: the NAT in front of B changes B's public port in
// the middle of a transfer; the stream carries on once B's keep-alive arrives.
TEST(TimersOnALink, ANatPortThatChangesIsAdopted) {
    SimWorld world(3);
    SimEngine& a = world.AddEngine("127.0.8.2", 7001, 0xA1);
    SimEngine& b = world.AddEngine("127.0.8.3", 7002, 0xB1);
    auto [ha, hb] = world.Connect(a, b);
    ASSERT_GT(ha, 0);
    int32_t e = 0;
    std::vector<uint8_t> chunk(1000, 4), buffer(4096);
    size_t got = 0;
    auto exchange = [&] {
        b.t().Send(hb, chunk.data(), int64_t(chunk.size()), &e);
        for (int64_t n; (n = a.t().Receive(ha, buffer.data(), int64_t(buffer.size()), &e)) > 0;) got += size_t(n);
    };
    world.net().Run(500, exchange);
    ASSERT_GT(got, 0u);
    b.host->SetPublicEndpoint(Ip("127.0.8.3"), 7102);
    const size_t before = got;
    world.net().Run(40'000, exchange);
    EXPECT_EQ(a.t().Inspect(ha).remote_port, 7102);
    EXPECT_EQ(a.t().Inspect(ha).state, UdpStreamState::kEstablished);
    EXPECT_GT(got, before + 100'000);
}

}  // namespace
}  // namespace zl::test
