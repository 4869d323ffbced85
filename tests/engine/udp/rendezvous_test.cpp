// The engine's rendezvous client: the dispatch order of what arrives on the
// UDP socket, address reports, registration and keep-alive, batched connect
// requests, connect replies (with markers, and the ones that must be ignored),
// punch requests, the punch pass and punch arrivals.
#include "tests/engine/udp/crafted_peer.h"

namespace zl::test {
namespace {

using namespace rendezvous;

class RendezvousTest : public CraftedPeerTest {
protected:
    std::vector<Sent> ToServer(const std::vector<Sent>& all) {
        std::vector<Sent> out;
        for (const Sent& s : all)
            if (s.address == server_address() && s.port == kServerPort) out.push_back(s);
        return out;
    }
    void ReportExternal(const char* address, uint32_t port = 40000) {
        FromServer(BuildAddressReport(AddressReport{Addr(address), port}));
    }
    int ConnectTo(const NodeId& id, uint32_t address, uint16_t port) {
        int32_t e = 0;
        const int h = t().Open(&e);
        StreamEndpoint remote{address, port, id};
        EXPECT_EQ(t().Connect(h, remote, &e), -1);
        return h;
    }
    std::vector<uint8_t> Reply(uint32_t request, std::vector<ConnectEntry> entries) {
        return BuildConnectReply(ConnectReply{t().local_tag(), request, std::move(entries)});
    }
};

TEST_F(RendezvousTest, AddressReportsCountOnlyFromTheServer) {
    const auto report = BuildAddressReport(AddressReport{Addr("198.18.0.9"), 41000});
    Deliver(std::vector<uint8_t>(report.begin(), report.end()), remote_address(), kServerPort);
    EXPECT_EQ(t().ExternalAddress(), 0u);
    EXPECT_FALSE(t().ServerAnswered());
    FromServer(report);
    EXPECT_EQ(t().ExternalAddress(), Addr("198.18.0.9"));
    EXPECT_EQ(t().ExternalPort(), 41000u);
    EXPECT_TRUE(t().BehindNat());
    // An invalid address counts as an answer but keeps the one we know.
    FromServer(BuildAddressReport(AddressReport{0, 41001}));
    EXPECT_EQ(t().ExternalAddress(), Addr("198.18.0.9"));
    ReportExternal("127.0.8.2", kLocalPort);  // the local address: not behind NAT
    EXPECT_FALSE(t().BehindNat());
}

TEST_F(RendezvousTest, RegistrationAndKeepAliveCarryTheLocalEndpoint) {
    t().Register();
    auto sent = ToServer(sender_.Take());
    ASSERT_EQ(sent.size(), 1u);
    Registration r;
    ASSERT_TRUE(ParseRegistration(sent[0].view(), &r));
    EXPECT_EQ(r.tag, t().local_tag());
    EXPECT_EQ(r.local_address, Addr("127.0.8.2"));
    EXPECT_EQ(r.local_port, kLocalPort);
    t().Register();
    Registration again;
    ASSERT_TRUE(ParseRegistration(ToServer(sender_.Take())[0].view(), &again));
    EXPECT_EQ(again.request, r.request + 1);

    // Keep-alives only while behind NAT (no report yet counts as behind NAT).
    t().KeepAlive();
    ASSERT_EQ(ToServer(sender_.Take()).size(), 1u);
    ReportExternal("127.0.8.2", kLocalPort);
    t().KeepAlive();
    EXPECT_TRUE(sender_.Take().empty());
}

TEST_F(RendezvousTest, FourteenConnectsMakeABatchOfThirteenAndOneOfOne) {
    std::vector<int> handles;
    for (int i = 0; i < 14; ++i) {
        NodeId id{0x70, uint8_t(i), 1, 2, 3, 4, 5, 6};
        handles.push_back(ConnectTo(id, Addr("127.0.8.50"), uint16_t(8000 + i)));
    }
    auto first = ToServer(sender_.Take());
    ASSERT_EQ(first.size(), 1u);  // sent when the fourteenth was queued
    EXPECT_EQ(first[0].bytes.size(), 256u);
    ConnectRequest request;
    ASSERT_TRUE(ParseConnectRequest(first[0].view(), &request));
    EXPECT_EQ(request.targets.size(), 13u);
    EXPECT_EQ(request.targets[12].id[1], 12);
    EXPECT_TRUE(t().HasPendingConnectBatch());
    t().FlushConnectBatch();
    auto second = ToServer(sender_.Take());
    ASSERT_EQ(second.size(), 1u);
    EXPECT_EQ(second[0].bytes.size(), 64u);
    ConnectRequest rest;
    ASSERT_TRUE(ParseConnectRequest(second[0].view(), &rest));
    ASSERT_EQ(rest.targets.size(), 1u);
    EXPECT_EQ(rest.request, request.request + 1);
    EXPECT_EQ(t().Inspect(handles[0]).request_number, int64_t(request.request));
    EXPECT_EQ(t().Inspect(handles[13]).request_number, int64_t(rest.request));
    EXPECT_EQ(t().PendingRequestCount(), 2u);
}

TEST_F(RendezvousTest, RepliesThatDoNotFitOrAreNotOursAreIgnored) {
    const int h = ConnectTo(remote_id_, remote_address(), kRemotePort);
    const uint32_t request = uint32_t(t().Inspect(h).request_number);
    auto with_count = [&](uint32_t count) {
        auto m = Reply(request, {{remote_address(), kRemotePort, remote_id_}});
        StoreBe32(&m[44], count);
        return m;
    };
    FromServer(with_count(0xFFFFFFFF));
    FromServer(with_count(0x80000000));
    FromServer(with_count(2));  // 48 + 32 bytes do not fit in 64
    FromServer(BuildConnectReply(ConnectReply{TagOfNodeId(remote_id_), request, {}}));  // not our tag
    FromServer(Reply(request + 50, {}));  // not a pending request
    Deliver(Reply(request, {}), remote_address(), kServerPort);  // not from the server
    EXPECT_EQ(t().Inspect(h).state, UdpStreamState::kViaRendezvous);
    EXPECT_EQ(t().PendingRequestCount(), 1u);

    FromServer(with_count(1));
    EXPECT_EQ(t().Inspect(h).state, UdpStreamState::kConnecting);
    EXPECT_EQ(t().PendingRequestCount(), 0u);
}

TEST_F(RendezvousTest, AMarkerNamesThePlaceholderItAnswersForAndALastMarkerIsIgnored) {
    const uint16_t listen_port = 6881;
    const NodeId placeholder = PlaceholderId(Addr("198.18.0.20"), listen_port);
    const int by_address = ConnectTo(placeholder, Addr("198.18.0.20"), listen_port);
    t().FlushConnectBatch();
    const uint32_t request = uint32_t(t().Inspect(by_address).request_number);
    FromServer(Reply(request, {{Addr("198.18.0.20"), kMarkerPort, placeholder},
                               {Addr("198.18.0.21"), 40001, remote_id_}}));
    UdpStreamSnapshot s = t().Inspect(by_address);
    EXPECT_EQ(s.state, UdpStreamState::kConnecting);
    EXPECT_EQ(s.remote_id, remote_id_);
    EXPECT_EQ(s.remote_address, Addr("198.18.0.21"));
    EXPECT_EQ(s.remote_port, 40001);
    EXPECT_EQ(s.service_port, listen_port);

    // A marker with nothing after it answers nothing: the stream it named is
    // not in the reply, so it closes at once.
    const NodeId other = PlaceholderId(Addr("198.18.0.30"), listen_port);
    const int dangling = ConnectTo(other, Addr("198.18.0.30"), listen_port);
    t().FlushConnectBatch();
    const uint32_t second = uint32_t(t().Inspect(dangling).request_number);
    FromServer(Reply(second, {{Addr("198.18.0.30"), kMarkerPort, other}}));
    s = t().Inspect(dangling);
    EXPECT_EQ(s.state, UdpStreamState::kClosed);
    EXPECT_EQ(s.close_error, err::kHostUnreachable);
    EXPECT_EQ(s.remote_id, other);
}

TEST_F(RendezvousTest, PunchRequestsAreHonouredBehindNatThreeTimesAtMost) {
    const auto request = BuildPunchRequest(PunchRequest{TagOfNodeId(remote_id_), Addr("198.18.0.40"), 40002});
    ReportExternal("127.0.8.2", kLocalPort);  // not behind NAT: nothing to punch
    FromServer(request);
    EXPECT_TRUE(sender_.Take().empty());

    ReportExternal("198.18.0.2");
    Deliver(std::vector<uint8_t>(request.begin(), request.end()), remote_address(), kServerPort);  // not the server
    EXPECT_TRUE(sender_.Take().empty());
    FromServer(request);
    auto punches = sender_.Take();
    ASSERT_EQ(punches.size(), 1u);
    EXPECT_EQ(punches[0].address, Addr("198.18.0.40"));
    EXPECT_EQ(punches[0].port, 40002);
    Punch p;
    ASSERT_TRUE(ParsePunch(punches[0].view(), &p));
    EXPECT_EQ(NodeIdOfTag(p.receiver), remote_id_);
    EXPECT_EQ(p.sender, t().local_tag());
    EXPECT_EQ(p.sender_port, kLocalPort);
    EXPECT_EQ(t().PunchListSize(), 1u);

    FromServer(request);  // again before the pass: the count starts over, nothing sent now
    EXPECT_TRUE(sender_.Take().empty());
    size_t later = 0;
    for (int pass = 0; pass < 4; ++pass) {
        t().MaintenanceTick();
        later += sender_.Take().size();
    }
    EXPECT_EQ(later, 2u);
    EXPECT_EQ(t().PunchListSize(), 0u);

    // A SYN from the requester ends its punches.
    FromServer(request);
    EXPECT_EQ(t().PunchListSize(), 1u);
    Listen();
    Deliver(Syn(kRemoteStream, 1, kRemoteNonce), Addr("198.18.0.40"), 40002);
    EXPECT_EQ(t().PunchListSize(), 0u);
}

TEST_F(RendezvousTest, APunchFromThePlaceholdersAddressNamesTheTargetAndDrawsASynAtOnce) {
    const uint16_t listen_port = 6881;
    const NodeId placeholder = PlaceholderId(remote_address(), listen_port);
    const int h = ConnectTo(placeholder, remote_address(), listen_port);
    sender_.Take();
    const auto punch = BuildPunch(Punch{t().local_tag(), listen_port, TagOfNodeId(remote_id_)});
    FromRemote(std::vector<uint8_t>(punch.begin(), punch.end()), 40003);
    const UdpStreamSnapshot s = t().Inspect(h);
    EXPECT_EQ(s.state, UdpStreamState::kConnecting);
    EXPECT_EQ(s.remote_id, remote_id_);
    EXPECT_EQ(s.remote_port, 40003);
    const auto syns = OfType(sender_.Take(), udpstream::kSyn);
    ASSERT_EQ(syns.size(), 2u);
    EXPECT_EQ(syns[0].port, 40003);
    EXPECT_TRUE(syns[0].view().Equals(udpstream::kReceiverTagAt, remote_id_.data(), 8));

    // A punch for another engine, or from an address no stream waits on, does nothing.
    auto wrong = BuildPunch(Punch{TagOfNodeId(remote_id_), listen_port, TagOfNodeId(remote_id_)});
    FromRemote(std::vector<uint8_t>(wrong.begin(), wrong.end()), 40004);
    EXPECT_EQ(t().Inspect(h).remote_port, 40003);
}

TEST_F(RendezvousTest, AWaitingStreamAsksAgainEveryThreeSecondsAndGivesUpAfterTheTimeout) {
    const int h = ConnectTo(remote_id_, remote_address(), kRemotePort);
    size_t requests = 0;
    for (int i = 0; i < 40; ++i) {
        Advance(1000);
        for (const Sent& s : ToServer(sender_.Take())) {
            ConnectRequest r;
            if (ParseConnectRequest(s.view(), &r)) ++requests;
        }
    }
    EXPECT_GE(requests, 7u);
    EXPECT_LE(requests, 11u);
    EXPECT_EQ(t().Inspect(h).state, UdpStreamState::kClosed);
    EXPECT_EQ(t().Inspect(h).close_error, err::kTimedOut);
    UdpHandleSet except;
    except.Add(h);
    EXPECT_EQ(t().Select(nullptr, nullptr, &except, 0), 1);
}

TEST_F(RendezvousTest, ShortAndUnknownDatagramsAreIgnored) {
    Listen();
    const std::vector<std::vector<uint8_t>> junk = {
        std::vector<uint8_t>(8, 0),          // 8 bytes, but not from the server
        std::vector<uint8_t>(31, 0x33),      // too short for anything
        std::vector<uint8_t>(48, 0),         // a punch for node id 0
        std::vector<uint8_t>(100, 0),        // a "reply", not from the server
        std::vector<uint8_t>(kMaxUdpDatagram, 0xff),
    };
    for (const auto& d : junk) FromRemote(d);
    EXPECT_TRUE(sender_.Take().empty());
    EXPECT_EQ(t().ExternalAddress(), 0u);
}

}  // namespace
}  // namespace zl::test
