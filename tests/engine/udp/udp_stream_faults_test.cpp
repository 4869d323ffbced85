// Crafted packets against a transport: the checks every packet passes, and
// the packets that used to corrupt or stall a stream (slot indexes from the
// wire, empty or oversized segments, acknowledgements of data never sent,
// spoofed SYNs) and stale packets for a reused stream.
#include <random>

#include "engine/meta/adler32.h"
#include "tests/engine/udp/crafted_peer.h"

namespace zl::test {
namespace {

using namespace udpstream;

class FaultsTest : public CraftedPeerTest {};

std::vector<uint8_t> Bytes(size_t n, uint8_t fill) { return std::vector<uint8_t>(n, fill); }

// The checksum is zlib's Adler-32 started from the connection id, whatever
// routine computes it: ids whose halves are not reduced modulo 65521, block
// boundaries of the sums, and every packet length the transport sends.
TEST(PacketChecksum, IsZlibsAdler32FromTheConnectionId) {
    std::mt19937 random(3);
    std::vector<uint8_t> packet(kMaxUdpDatagram);
    for (uint8_t& b : packet) b = uint8_t(random());
    const uint32_t ids[] = {1, 0x0000FFFFu, 0x7FFFFFFFu, 0x5A5AFFF5u, 0xFFF1FFF1u, 0xFFFFFFFFu};
    const uint32_t lengths[] = {33, 47, 48, 64, 700, uint32_t(kMaxPacketSize), 5552 + 32, 5553 + 32, 8192};
    for (uint32_t id : ids)
        for (uint32_t length : lengths)
            EXPECT_EQ(ChecksumOf(packet.data(), length, id), Adler32(id, packet.data() + kHeaderSize, length - kHeaderSize))
                << id << " " << length;
}

TEST_F(FaultsTest, PacketsFailingTheHeaderChecksAreDropped) {
    const int h = AcceptFromRemote();
    ASSERT_GT(h, 0);
    struct Case {
        const char* name;
        std::function<void(std::vector<uint8_t>&)> spoil;
    } cases[] = {
        {"checksum", [](auto& p) { p[70] ^= 1; }},
        {"length field", [](auto& p) { StoreBe32(&p[0], uint32_t(p.size() + 1)); }},
        {"receiver id", [](auto& p) { p[21] ^= 0xff; udpstream::Seal(p.data(), uint32_t(p.size())); }},
        {"connection id 0", [](auto& p) { StoreBe32(&p[8], 0); udpstream::Seal(p.data(), uint32_t(p.size())); }},
        {"truncated", [](auto& p) { p.resize(p.size() - 1); }},
    };
    for (const Case& c : cases) {
        auto p = Data(0, Bytes(100, 7));
        c.spoil(p);
        FromRemote(p);
        EXPECT_EQ(t().Inspect(h).bytes_received, 0u) << c.name;
    }
    FromRemote(Data(0, Bytes(100, 7)));
    EXPECT_EQ(t().Inspect(h).bytes_received, 100u);
    // From another address than the stream's: not this stream's packet.
    Deliver(Data(1, Bytes(100, 7)), Addr("127.0.8.9"), kRemotePort);
    EXPECT_EQ(t().Inspect(h).bytes_received, 100u);
}

TEST_F(FaultsTest, EmptyAndOversizedSegmentsAreRefusedAndTheStreamStaysOpen) {
    const int h = AcceptFromRemote();
    FromRemote(Data(0, {}));                      // an empty segment
    FromRemote(Data(0, Bytes(kSegmentSize + 1, 1)));  // longer than any segment
    FromRemote(Data(0, Bytes(10, 1), 20));           // claims more than it carries
    UdpStreamSnapshot s = t().Inspect(h);
    EXPECT_EQ(s.receive_filled + s.readable_count, 0);
    EXPECT_EQ(s.state, UdpStreamState::kEstablished);

    FromRemote(Data(0, Bytes(kSegmentSize, 9)));
    std::vector<uint8_t> buffer(4096);
    int32_t e = 0;
    EXPECT_EQ(t().Receive(h, buffer.data(), int64_t(buffer.size()), &e), int64_t(kSegmentSize));
    EXPECT_EQ(t().Inspect(h).state, UdpStreamState::kEstablished);
}

TEST_F(FaultsTest, DataAckOutsideTheUsedSlotsIsIgnored) {
    const int h = AcceptFromRemote();
    int32_t e = 0;
    std::vector<uint8_t> data(3 * kSegmentSize, 5);
    ASSERT_EQ(t().Send(h, data.data(), int64_t(data.size()), &e), int64_t(data.size()));
    ASSERT_EQ(t().Inspect(h).send_used, 3);
    auto data_ack = [&](uint32_t number, uint32_t length) {
        return BuildPacket({kDataAck, our_stream_, 1, local_id_, {{32, length}, {36, number}}, {}, {}, {}});
    };
    for (uint32_t number : {3u, 11u, 12u, 0xFFFFFFFFu, 0x80000000u}) FromRemote(data_ack(number, kSegmentSize));
    FromRemote(data_ack(1, 100));  // the right slot, but not that segment's length
    EXPECT_EQ(t().Inspect(h).bytes_acknowledged, 0u);
    EXPECT_EQ(t().Inspect(h).send_used, 3);

    FromRemote(data_ack(1, kSegmentSize));
    EXPECT_EQ(t().Inspect(h).bytes_acknowledged, kSegmentSize);
    FromRemote(data_ack(0, kSegmentSize));
    EXPECT_EQ(t().Inspect(h).send_used, 1);  // slots 0 and 1 left the window
    EXPECT_EQ(t().Inspect(h).send_base, 2u);
}

TEST_F(FaultsTest, AckBeyondWhatWasSentIsIgnored) {
    const int h = AcceptFromRemote();
    int32_t e = 0;
    std::vector<uint8_t> data(2 * kSegmentSize, 5);
    ASSERT_GT(t().Send(h, data.data(), int64_t(data.size()), &e), 0);
    FromRemote(Ack(0, 3));  // segment 2 was never sent
    EXPECT_EQ(t().Inspect(h).bytes_acknowledged, 0u);
    EXPECT_EQ(t().Inspect(h).send_used, 2);
    FromRemote(Ack(0, 2));
    EXPECT_EQ(t().Inspect(h).bytes_acknowledged, 2u * kSegmentSize);
    EXPECT_EQ(t().Inspect(h).send_used, 0);
}

TEST_F(FaultsTest, AnAckFiveAheadReleasesFiveSlotsWithAnEmptyBitmap) {
    const int h = AcceptFromRemote();
    int32_t e = 0;
    std::vector<uint8_t> data(8 * kSegmentSize, 5);
    ASSERT_GT(t().Send(h, data.data(), int64_t(data.size()), &e), 0);
    FromRemote(Ack(0, 5));
    EXPECT_EQ(t().Inspect(h).send_base, 5u);
    EXPECT_EQ(t().Inspect(h).send_used, 3);
    // The bitmap acknowledges slots past the next expected one by one.
    FromRemote(Ack(0, 5, {0, 1, 0}));
    EXPECT_EQ(t().Inspect(h).bytes_acknowledged, 6u * kSegmentSize);
    EXPECT_EQ(t().Inspect(h).send_used, 3);
}

TEST_F(FaultsTest, SegmentsTwelveAheadAreDroppedElevenAheadStored) {
    const int h = AcceptFromRemote();
    FromRemote(Data(12, Bytes(10, 1)));
    EXPECT_EQ(t().Inspect(h).receive_filled, 0);
    FromRemote(Data(11, Bytes(10, 1)));
    EXPECT_EQ(t().Inspect(h).receive_filled, 1);
    EXPECT_EQ(t().Inspect(h).bytes_received, 10u);
}

TEST_F(FaultsTest, ADuplicateSegmentIsNotStoredButDrawsAnAck) {
    const int h = AcceptFromRemote();
    FromRemote(Data(0, Bytes(10, 1)));
    Advance(25);
    sender_.Take();
    FromRemote(Data(0, Bytes(10, 1)));
    EXPECT_EQ(t().Inspect(h).bytes_received, 10u);
    Advance(25);
    const auto acks = OfType(sender_.Take(), kAck);
    ASSERT_FALSE(acks.empty());
    EXPECT_EQ(acks.back().view().Be32(36), 1u);  // next expected
}

TEST_F(FaultsTest, SpoofedSynsNeitherFillTheBacklogNorDrawEndlessSynAcks) {
    Listen();
    // A flood of SYNs from forged sources, each with its own stream id.
    for (uint32_t i = 0; i < 200; ++i) {
        Deliver(Syn(1000 + i, 1, 5000 + i), Addr("127.0.8.200"), uint16_t(20000 + i));
    }
    EXPECT_LE(t().AcceptQueueSize(), size_t(t().backlog()));
    sender_.Take();
    // A real peer still gets in.
    FromRemote(Syn(kRemoteStream, 1, kRemoteNonce));
    auto syn_acks = OfType(sender_.Take(), kSynAck);
    ASSERT_EQ(syn_acks.size(), 2u);
    EXPECT_EQ(syn_acks[0].address, remote_address());

    // Over the whole connect timeout one spoofed source draws the two
    // immediate SYN-ACKs and at most three pairs more.
    Advance(33'000);
    size_t to_one_victim = 0;
    for (const Sent& s : OfType(sender_.Take(), kSynAck))
        if (s.port == 20199) ++to_one_victim;
    EXPECT_LE(to_one_victim, 2u * UdpStreamTransport::kSynAckResendLimit);
    EXPECT_EQ(t().AcceptQueueSize(), 0u);  // unconfirmed entries are gone after the timeout
}

TEST_F(FaultsTest, APooledStreamTakesANewIdSoStalePacketsMatchNothing) {
    const int h = AcceptFromRemote();
    const UdpStreamSnapshot before = t().Inspect(h);
    int32_t e = 0;
    ASSERT_EQ(t().Close(h, &e), 0);
    const auto stale = Data(0, Bytes(10, 1));  // addressed to the old id
    const int again = t().Open(&e);
    const UdpStreamSnapshot after = t().Inspect(again);
    EXPECT_NE(after.id, before.id);
    EXPECT_NE(after.id, 0u);
    EXPECT_EQ(after.nonce, before.nonce + 1);  // the object came back from the pool
    FromRemote(stale);
    EXPECT_EQ(t().Inspect(again).bytes_received, 0u);
    EXPECT_GE(t().Counters().packets_dropped, 1u);
}

}  // namespace
}  // namespace zl::test
