// The socket-like calls' error numbers and the handshake, against a remote end
// played with crafted packets.
#include "tests/engine/udp/crafted_peer.h"

namespace zl::test {
namespace {

using namespace udpstream;

class CallsTest : public CraftedPeerTest {};

TEST_F(CallsTest, CallsOnTheWrongStreamFailWithTheirWinsockNumbers) {
    int32_t e = 0;
    const int fresh = t().Open(&e);
    ASSERT_GT(fresh, 0);
    const int bound = t().Open(&e);
    ASSERT_EQ(t().Bind(bound, 0, 9000, &e), 0);
    uint8_t buffer[8] = {};
    StreamEndpoint remote{remote_address(), kRemotePort, remote_id_};
    StreamEndpoint nowhere{0, kRemotePort, remote_id_};
    struct Case {
        const char* name;
        std::function<int64_t()> call;
        int32_t error;
    } cases[] = {
        {"bind a taken port", [&] { return t().Bind(fresh, 0, 9000, &e); }, err::kAddressInUse},
        {"bind an unknown handle", [&] { return t().Bind(424242, 0, 9001, &e); }, err::kNotSocket},
        {"bind a bound stream", [&] { return t().Bind(bound, 0, 9001, &e); }, err::kNotSocket},
        {"listen on an unbound stream", [&] { return t().Listen(fresh, 5, &e); }, err::kNotSocket},
        {"accept on a stream not listening", [&] { return t().Accept(bound, nullptr, &e); }, err::kInvalid},
        {"accept on an unknown handle", [&] { return t().Accept(424242, nullptr, &e); }, err::kNotSocket},
        {"connect to address 0", [&] { return t().Connect(fresh, nowhere, &e); }, err::kNetUnreachable},
        {"connect a bound stream", [&] { return t().Connect(bound, remote, &e); }, err::kNotSocket},
        {"send on a stream not connected", [&] { return t().Send(fresh, buffer, 1, &e); }, err::kNotConnected},
        {"send a negative length", [&] { return t().Send(fresh, buffer, -1, &e); }, err::kInvalid},
        {"receive into nothing", [&] { return t().Receive(fresh, buffer, 0, &e); }, err::kInvalid},
        {"local name before connecting", [&] { return t().LocalName(fresh, nullptr, &e); }, err::kNotConnected},
        {"close an unknown handle", [&] { return t().Close(424242, &e); }, err::kNotSocket},
    };
    for (const Case& c : cases) {
        e = 0;
        EXPECT_EQ(c.call(), -1) << c.name;
        EXPECT_EQ(e, c.error) << c.name;
    }
    ASSERT_EQ(t().Listen(bound, 5, &e), 0);
    EXPECT_EQ(t().Accept(bound, nullptr, &e), -1);
    EXPECT_EQ(e, err::kWouldBlock);

    t().SetServerRunning(false);
    const int other = t().Open(&e);
    ASSERT_EQ(t().Bind(other, 0, 9002, &e), 0);
    EXPECT_EQ(t().Listen(other, 5, &e), -1);
    EXPECT_EQ(e, err::kNotInitialised);
    t().SetServerRunning(true);

    t().SetSuspended(true);
    EXPECT_EQ(t().Connect(fresh, remote, &e), -1);
    EXPECT_EQ(e, err::kNetUnreachable);
    EXPECT_EQ(t().Accept(bound, nullptr, &e), -1);
    EXPECT_EQ(e, err::kInvalid);
}

TEST_F(CallsTest, ListenKeepsTheBacklogBetweenFiveAnd4096) {
    int32_t e = 0;
    const int h = t().Open(&e);
    ASSERT_EQ(t().Bind(h, 0, 9000, &e), 0);
    ASSERT_EQ(t().Listen(h, 1, &e), 0);
    EXPECT_GE(t().backlog(), 5);
    ASSERT_EQ(t().Listen(h, 10000, &e), 0);
    EXPECT_EQ(t().backlog(), 4096);
}

TEST_F(CallsTest, ConnectingTwiceFailsWithInterrupted) {
    int32_t e = 0;
    const int h = t().Open(&e);
    StreamEndpoint remote{remote_address(), kRemotePort, remote_id_};
    EXPECT_EQ(t().Connect(h, remote, &e), -1);
    EXPECT_EQ(e, err::kWouldBlock);
    EXPECT_EQ(t().Connect(h, remote, &e), -1);
    EXPECT_EQ(e, err::kInterrupted);
    // Until the stream is connected, sending and receiving would block.
    uint8_t b = 0;
    EXPECT_EQ(t().Send(h, &b, 1, &e), -1);
    EXPECT_EQ(e, err::kWouldBlock);
}

TEST_F(CallsTest, ARepeatedSynIsAnsweredOnlyWhenItsSequenceIsNewer) {
    Listen();
    FromRemote(Syn(kRemoteStream, 5, kRemoteNonce));
    EXPECT_EQ(OfType(sender_.Take(), kSynAck).size(), 2u);
    FromRemote(Syn(kRemoteStream, 5, kRemoteNonce));  // the second copy of the pair
    EXPECT_TRUE(sender_.Take().empty());
    FromRemote(Syn(kRemoteStream, 6, kRemoteNonce));  // resent from the connector's tick
    EXPECT_EQ(OfType(sender_.Take(), kSynAck).size(), 2u);
    FromRemote(Syn(kRemoteStream, 4, kRemoteNonce));
    EXPECT_TRUE(sender_.Take().empty());
    EXPECT_EQ(t().AcceptQueueSize(), 1u);
    // A newer nonce is a new connection from the same stream: it replaces the old.
    FromRemote(Syn(kRemoteStream, 1, kRemoteNonce + 5));
    EXPECT_EQ(OfType(sender_.Take(), kSynAck).size(), 2u);
    Advance(2100);
    EXPECT_EQ(t().AcceptQueueSize(), 1u);
}

TEST_F(CallsTest, ASynForAPortNobodyListensOnIsRefused) {
    Listen(kLocalPort);
    FromRemote(Syn(kRemoteStream, 1, kRemoteNonce, kLocalPort + 1));
    const auto refused = OfType(sender_.Take(), kRefuse);
    ASSERT_EQ(refused.size(), 1u);
    const WireView r = refused[0].view();
    EXPECT_EQ(r.Be32(kConnectionAt), kRemoteStream);
    EXPECT_EQ(r.Be32(48), uint32_t(kLocalPort + 1));
    EXPECT_TRUE(r.Equals(kReceiverTagAt, remote_id_.data(), 8));
}

TEST_F(CallsTest, TheConnectorCompletesOnAValidSynAckAndConfirmsIt) {
    int32_t e = 0;
    const int h = t().Open(&e);
    StreamEndpoint remote{remote_address(), kRemotePort, remote_id_};
    ASSERT_EQ(t().Connect(h, remote, &e), -1);
    // The rendezvous server answers with the target where it is.
    rendezvous::ConnectReply reply;
    reply.tag = t().local_tag();
    reply.request = uint32_t(t().Inspect(h).request_number);
    reply.entries.push_back({remote_address(), kRemotePort, remote_id_});
    FromServer(rendezvous::BuildConnectReply(reply));
    EXPECT_EQ(t().Inspect(h).state, UdpStreamState::kConnecting);
    const auto syns = OfType(sender_.Take(), kSyn);  // at once, not with the next maintenance tick
    ASSERT_EQ(syns.size(), 2u);
    const WireView syn = syns[0].view();
    const uint32_t ours = syn.Be32(kConnectionAt);
    EXPECT_EQ(syn.Be32(32), kRemotePort);
    EXPECT_EQ(syn.Be32(48), kRemotePort);
    EXPECT_TRUE(syn.Equals(36, t().local_tag().data(), 12));

    auto syn_ack = [&](uint32_t sequence, uint32_t nonce, uint32_t echo) {
        return BuildPacket({kSynAck, kRemoteStream, sequence, local_id_,
                            {{32, echo}, {48, kRemotePort}, {56, nonce}, {60, ours}},
                            {{36, t().local_tag()}}, {}, {}});
    };
    FromRemote(syn_ack(1, t().Inspect(h).nonce + 1, kRemotePort));  // another connection's nonce
    FromRemote(syn_ack(1, t().Inspect(h).nonce, kRemotePort + 1));  // not the port we sent to
    EXPECT_EQ(t().Inspect(h).state, UdpStreamState::kConnecting);
    FromRemote(syn_ack(1, t().Inspect(h).nonce, kRemotePort), kRemotePort + 7);  // from its NAT's new port
    const UdpStreamSnapshot s = t().Inspect(h);
    EXPECT_EQ(s.state, UdpStreamState::kEstablished);
    EXPECT_EQ(s.remote_port, kRemotePort + 7);
    EXPECT_EQ(s.remote_stream_id, kRemoteStream);
    const auto confirms = OfType(sender_.Take(), kConfirm);
    ASSERT_EQ(confirms.size(), 2u);
    EXPECT_EQ(confirms[0].view().Be32(kConnectionAt), kRemoteStream);
    EXPECT_EQ(confirms[0].view().Be32(32), s.nonce);
    StreamEndpoint local;
    ASSERT_EQ(t().LocalName(h, &local, &e), 0);
    EXPECT_EQ(local.port, kRemotePort);
    EXPECT_EQ(local.tag, t().node_id());
    // A REFUSE for an established stream changes nothing.
    FromRemote(BuildPacket({kRefuse, ours, 1, local_id_, {{32, kRemotePort}, {48, kRemotePort}}, {}, {}, {}}));
    EXPECT_EQ(t().Inspect(h).state, UdpStreamState::kEstablished);
}

TEST_F(CallsTest, CloseSendsCloseTwiceAndTheOtherEndReadsWhatArrivedBeforeIt) {
    const int h = AcceptFromRemote();
    FromRemote(Data(0, std::vector<uint8_t>(100, 9)));
    const uint32_t nonce = t().Inspect(h).nonce;
    FromRemote(BuildPacket({kClose, our_stream_, 1, local_id_, {{32, kLocalPort}, {36, kRemoteStream}, {40, nonce}},
                            {}, {}, {}}));
    EXPECT_EQ(t().Inspect(h).state, UdpStreamState::kClosed);
    uint8_t buffer[256];
    int32_t e = 0;
    EXPECT_EQ(t().Receive(h, buffer, sizeof buffer, &e), 100);
    EXPECT_EQ(t().Receive(h, buffer, sizeof buffer, &e), -1);
    EXPECT_EQ(e, err::kNotConnected);
    EXPECT_EQ(t().Close(h, &e), 0);

    const int second = AcceptFromRemote();
    sender_.Take();
    EXPECT_EQ(t().Close(second, &e), 0);
    const auto closes = OfType(sender_.Take(), kClose);
    ASSERT_EQ(closes.size(), 2u);
    EXPECT_EQ(closes[0].view().Be32(36), uint32_t(second));
    EXPECT_EQ(t().Close(second, &e), -1);
    EXPECT_EQ(e, err::kNotSocket);
}

}  // namespace
}  // namespace zl::test
