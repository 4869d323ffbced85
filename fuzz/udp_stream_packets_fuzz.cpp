// Drives a UDP stream transport with a script of operations taken from the
// input: transport packets from the other end (raw, or with the length,
// receiver id and checksum made right so that they reach the handlers),
// datagrams from the rendezvous server, time passing with the server's ticks,
// and the socket-like calls. The transport starts with a listener, an
// accepted established stream and a stream connecting by id. Windows must
// stay within their 12 slots, nothing may be acknowledged that was not sent,
// and every segment buffer must be back in the pool once the streams are gone.
#include <arpa/inet.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "engine/base/fake_clock.h"
#include "engine/meta/buffer_pool.h"
#include "engine/udp/rendezvous_messages.h"
#include "engine/udp/udp_stream_packet.h"
#include "engine/udp/udp_stream_transport.h"

namespace {

using namespace zl;

class NullSender final : public IUdpSender {
public:
    bool Send(const uint8_t*, size_t length, uint32_t address, uint16_t port) override {
        if (length == 0 || length > kMaxUdpDatagram || address == 0 || port == 0) std::abort();
        return true;
    }
};

class Input {
public:
    Input(const uint8_t* data, size_t size) : data_(data), size_(size) {}
    bool empty() const { return at_ >= size_; }
    uint8_t Byte() { return at_ < size_ ? data_[at_++] : 0; }
    uint32_t Word() { return uint32_t(Byte()) << 24 | uint32_t(Byte()) << 16 | uint32_t(Byte()) << 8 | Byte(); }
    std::vector<uint8_t> Bytes(size_t n) {
        n = std::min(n, size_ - std::min(at_, size_));
        std::vector<uint8_t> out(data_ + at_, data_ + at_ + n);
        at_ += n;
        return out;
    }

private:
    const uint8_t* data_;
    size_t size_;
    size_t at_ = 0;
};

const uint32_t kLocal = inet_addr("127.0.8.2");
const uint32_t kRemote = inet_addr("127.0.8.3");
const uint32_t kServer = inet_addr("127.0.8.1");
const NodeId kLocalId{0x4c, 1, 2, 3, 4, 5, 6, 7};
const NodeId kRemoteId{0x52, 1, 2, 3, 4, 5, 6, 7};

std::vector<uint8_t> Fix(std::vector<uint8_t> p, uint32_t connection) {
    if (p.size() < 64) p.resize(64);
    if (p.size() > kMaxUdpDatagram) p.resize(kMaxUdpDatagram);
    udpstream::WriteHeader(p.data(), uint32_t(p.size()), connection, WireView(p.data(), p.size()).Be32(12),
                           WireView(p.data(), p.size()).Be32(16), TagOfNodeId(kLocalId));
    udpstream::Seal(p.data(), uint32_t(p.size()));
    return p;
}

void CheckInvariants(UdpStreamTransport& t, const UdpStreamConfig& c, int handle, uint64_t sent_bytes) {
    const UdpStreamSnapshot s = t.Inspect(handle);
    if (!s.exists) return;
    // Send may queue segments beyond the window, and the reader's queue may
    // hold more than a window of in-order segments.
    if (s.send_used < 0 || s.send_used > udpstream::kWindow + c.send_queue) std::abort();
    if (s.readable_count < 0 || s.readable_count > std::max(udpstream::kWindow, c.read_queue)) std::abort();
    if (s.receive_filled < 0 || s.receive_filled > udpstream::kWindow) std::abort();
    if (s.bytes_acknowledged > sent_bytes) std::abort();
    if (s.window_limit < 0 || s.window_limit > udpstream::kWindow) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FakeClock clock(FakeClock::Mode::Manual);
    BufferPool pool;
    NullSender sender;
    uint32_t next_id = 0;
    UdpStreamConfig c;
    c.node_id = kLocalId;
    c.local_address = kLocal;
    c.local_port = 7001;
    c.rendezvous_address = kServer;
    c.rendezvous_port = 7000;
    c.clock = &clock;
    c.pool = &pool;
    c.random = [&] { return ++next_id; };  // stream ids 1, 2, 3 ...
    c.prompt_ack = size > 0 && (data[0] & 1);
    c.fast_resend = size > 0 && (data[0] & 2);
    c.send_on_ack = size > 0 && (data[0] & 4);
    if (size > 0 && (data[0] & 8)) {  // the bare calls: only the window, no held reader queue
        c.send_queue = 0;
        c.read_queue = udpstream::kWindow;
    }
    {
        UdpStreamTransport t(sender, c);
        int32_t e = 0;
        // Handle 1 listens; stream 2 is accepted from the remote's SYN; handle 3 connects by id.
        const int listener = t.Open(&e);
        t.Bind(listener, 0, 7001, &e);
        t.Listen(listener, 5, &e);
        {
            std::vector<uint8_t> syn(64, 0);
            StoreBe32(&syn[12], 1);
            StoreBe32(&syn[16], udpstream::kSyn);
            StoreBe32(&syn[32], 7001);
            std::memcpy(&syn[36], TagOfNodeId(kRemoteId).data(), 12);
            StoreBe32(&syn[48], 7001);
            StoreBe32(&syn[60], 99);
            syn = Fix(syn, 0x1000);
            t.OnStreamDatagram(syn.data(), syn.size(), kRemote, 7002);
            std::vector<uint8_t> confirm(64, 0);
            StoreBe32(&confirm[12], 1);
            StoreBe32(&confirm[16], udpstream::kConfirm);
            StoreBe32(&confirm[32], 99);
            confirm = Fix(confirm, 2);
            t.OnStreamDatagram(confirm.data(), confirm.size(), kRemote, 7002);
        }
        const int accepted = t.Accept(listener, nullptr, &e);
        const int connector = t.Open(&e);
        t.Connect(connector, StreamEndpoint{kRemote, 7002, kRemoteId}, &e);
        const int handles[] = {listener, accepted, connector};
        uint64_t sent_bytes[3] = {};

        Input in(data, size);
        in.Byte();
        std::vector<uint8_t> buffer(255 * 300 + 1);  // the largest Send and Receive below
        int ops = 0;
        while (!in.empty() && ops++ < 400) {
            const uint8_t op = in.Byte();
            const int which = in.Byte() % 3;
            const int h = handles[which];
            switch (op % 9) {
                case 0: {  // a raw datagram from the other end
                    const auto d = in.Bytes(in.Byte() * 8);
                    if (!d.empty()) t.OnStreamDatagram(d.data(), d.size(), kRemote, 7002 + (op >> 7));
                    break;
                }
                case 1: {  // a transport packet that passes the checks
                    const uint32_t connection = (op & 0x80) ? in.Word() : uint32_t(which + 1);
                    const auto p = Fix(in.Bytes(64 + size_t(in.Byte()) * 8), connection);
                    t.OnStreamDatagram(p.data(), p.size(), kRemote, 7002);
                    break;
                }
                case 2: {  // time passes: the server's ticks
                    const uint32_t ms = uint32_t(in.Byte()) * 40 + 1;
                    clock.Advance(ms);
                    t.RetransmitTick();
                    if (op & 0x10) t.AcknowledgeTick();
                    if (ms > 2000 || (op & 0x20)) t.MaintenanceTick();
                    if (t.HasPendingConnectBatch()) t.FlushConnectBatch();
                    break;
                }
                case 3: {
                    const int64_t n = t.Send(h, buffer.data(), int64_t(in.Byte()) * 300, &e);
                    if (n > 0) sent_bytes[which] += uint64_t(n);
                    break;
                }
                case 4:
                    t.Receive(h, buffer.data(), int64_t(in.Byte()) * 300 + 1, &e);
                    break;
                case 5: {  // from the rendezvous server, made ours when asked
                    auto d = in.Bytes(in.Byte() * 4);
                    if ((op & 0x80) && d.size() >= 32) {
                        std::memcpy(&d[16], TagOfNodeId(kLocalId).data(), std::min<size_t>(12, d.size() - 16));
                        const int64_t request = t.Inspect(connector).request_number;
                        if (request >= 0) StoreBe32(&d[28], uint32_t(request));
                        StoreBe32(&d[12], rendezvous::kConnectReplyType);
                    }
                    if (!d.empty()) t.OnStreamDatagram(d.data(), d.size(), kServer, 7000);
                    break;
                }
                case 6: {
                    UdpHandleSet r, w, x;
                    r.Add(h);
                    w.Add(h);
                    x.Add(h);
                    t.Select(&r, &w, &x, 0);
                    t.Accept(listener, nullptr, &e);
                    break;
                }
                case 7:
                    t.Register();
                    t.KeepAlive();
                    break;
                case 8:
                    if (op & 0x80) t.Close(h, &e);
                    break;
            }
            for (int i = 0; i < 3; ++i) CheckInvariants(t, c, handles[i], sent_bytes[i]);
        }
        t.ResetTransport();
        // Every segment buffer went back to the pool with the streams.
        if (pool.GetSizes().in_use_count != 0) std::abort();
    }
    return 0;
}
