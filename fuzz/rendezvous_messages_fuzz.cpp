// Arbitrary bytes as every rendezvous message: the parsers must stay within
// the datagram and agree with its length, a reply's markers must never reach
// past its entries; the rendezvous server and the engine's dispatch (as from
// the server, and as a reply made to match a pending request) take it too.
#include <arpa/inet.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "engine/base/fake_clock.h"
#include "engine/meta/buffer_pool.h"
#include "engine/udp/rendezvous_messages.h"
#include "engine/udp/udp_stream_transport.h"
#include "tools/zlrendezvous/rendezvous_server.h"

namespace {

using namespace zl;
using namespace zl::rendezvous;

class NullSender final : public IUdpSender {
public:
    bool Send(const uint8_t*, size_t length, uint32_t address, uint16_t port) override {
        if (length == 0 || length > kMaxUdpDatagram || address == 0 || port == 0) std::abort();
        return true;
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > kMaxUdpDatagram) return 0;
    const WireView m(data, size);

    ConnectReply reply;
    if (ParseConnectReply(m, &reply)) {
        if (48 + reply.entries.size() * 16 > size) std::abort();
        const auto resolved = ResolveReply(reply.entries);
        if (resolved.size() > reply.entries.size()) std::abort();
    }
    ConnectRequest request;
    if (ParseConnectRequest(m, &request)) {
        if (request.targets.empty() || request.targets.size() > kMaxBatchEntries) std::abort();
        if (48 + request.targets.size() * 16 > size) std::abort();
    }
    Registration registration;
    ParseRegistration(m, &registration);
    PunchRequest punch_request;
    ParsePunchRequest(m, &punch_request);
    Punch punch;
    ParsePunch(m, &punch);
    AddressReport report;
    ParseAddressReport(m, &report);

    // The rendezvous server, twice from one address so that it knows someone.
    RendezvousServer server([](const uint8_t* d, size_t n, uint32_t a, uint16_t p) {
        if (!d || n == 0 || n > kMaxUdpDatagram || a == 0 || p == 0) std::abort();
    }, [](const std::string&) {});
    server.OnDatagram(data, size, inet_addr("127.0.8.2"), 7001, 100);
    server.OnDatagram(data, size, inet_addr("127.0.8.3"), 7002, 101);
    server.Expire(1000);

    // The engine: as they arrive from the server, and as a reply to its own request.
    FakeClock clock(FakeClock::Mode::Manual);
    BufferPool pool;
    NullSender sender;
    UdpStreamConfig c;
    c.node_id = NodeId{0x4c, 1, 2, 3, 4, 5, 6, 7};
    c.local_address = inet_addr("127.0.8.2");
    c.local_port = 7001;
    c.rendezvous_address = inet_addr("127.0.8.1");
    c.rendezvous_port = 7000;
    c.clock = &clock;
    c.pool = &pool;
    uint32_t id = 0;
    c.random = [&] { return ++id; };
    {
        UdpStreamTransport t(sender, c);
        int32_t e = 0;
        const int h = t.Open(&e);
        t.Connect(h, StreamEndpoint{inet_addr("127.0.8.3"), 7002, PlaceholderId(inet_addr("127.0.8.3"), 7002)}, &e);
        t.OnStreamDatagram(data, size, inet_addr("127.0.8.1"), 7000);
        if (size >= 64) {
            std::vector<uint8_t> mine(data, data + size);
            std::memset(mine.data(), 0, 12);
            StoreBe32(&mine[12], kConnectReplyType);
            std::memcpy(&mine[16], t.local_tag().data(), 12);
            StoreBe32(&mine[28], uint32_t(t.Inspect(h).request_number));
            t.OnStreamDatagram(mine.data(), mine.size(), inet_addr("127.0.8.1"), 7000);
        }
        t.MaintenanceTick();
        t.ResetTransport();
        if (pool.GetSizes().in_use_count != 0) std::abort();
    }
    return 0;
}
