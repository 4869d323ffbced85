// The socket-like calls of the UDP stream transport, on the caller's thread.
#include <algorithm>
#include <cstring>

#include "engine/base/errnum.h"
#include "engine/meta/buffer_pool.h"
#include "engine/udp/udp_stream_guard.h"
#include "engine/udp/udp_stream_transport.h"

namespace zl {

using namespace udpstream;

int UdpStreamTransport::Open(int32_t* error) {
    Guard g(*this);
    UdpStream* s = NewStream();
    Attach(s, UdpStreamList::kOpen);
    *error = err::kNone;
    return int(s->id);
}

int UdpStreamTransport::Bind(int handle, uint32_t address, uint16_t port, int32_t* error) {
    (void)address;  // every stream shares the one UDP socket: only the port names a bound stream
    Guard g(*this);
    if (port == 0) return *error = err::kInvalid, -1;
    for (UdpStream* b : bound_)
        if (b->service_port == port) return *error = err::kAddressInUse, -1;
    UdpStream* s = Find(handle);
    if (!s || s->list != UdpStreamList::kOpen) return *error = err::kNotSocket, -1;
    if (s->state != UdpStreamState::kNew) return *error = err::kInvalid, -1;
    Attach(s, UdpStreamList::kBound);
    s->state = UdpStreamState::kBound;
    s->service_port = port;
    *error = err::kNone;
    return 0;
}

int UdpStreamTransport::Listen(int handle, int backlog, int32_t* error) {
    const bool host_running = !config_.host || config_.host->Running();
    Guard g(*this);
    if (!server_running_ || !host_running) return *error = err::kNotInitialised, -1;
    UdpStream* s = Find(handle);
    if (!s || s->list != UdpStreamList::kBound) return *error = err::kNotSocket, -1;
    backlog_ = std::min(std::max({backlog, backlog_, kMinBacklog}), kMaxBacklog);
    s->state = UdpStreamState::kListening;
    *error = err::kNone;
    return 0;
}

int UdpStreamTransport::Accept(int handle, StreamEndpoint* remote, int32_t* error) {
    Guard g(*this);
    UdpStream* s = Find(handle);
    if (Suspended() || (s && s->state != UdpStreamState::kListening)) return *error = err::kInvalid, -1;
    if (!s || s->list != UdpStreamList::kBound) return *error = err::kNotSocket, -1;
    Lower(s);
    for (UdpStream* a : accept_) {  // oldest first
        if (a->state != UdpStreamState::kEstablished || a->service_port != s->service_port) continue;
        Attach(a, UdpStreamList::kOpen);
        a->last_activity = NowSeconds();
        if (remote) {
            remote->address = a->remote_address;
            remote->port = a->remote_port;
            remote->tag = NodeIdOfTag(a->remote_tag);
        }
        for (UdpStream* more : accept_)
            if (more->state == UdpStreamState::kEstablished && more->service_port == s->service_port) {
                Notify(s);
                break;
            }
        *error = err::kNone;
        return int(a->id);
    }
    *error = err::kWouldBlock;
    return -1;
}

int UdpStreamTransport::Connect(int handle, const StreamEndpoint& remote, int32_t* error) {
    Guard g(*this);
    if (Suspended() || remote.address == 0 || remote.address == 0xFFFFFFFFu || remote.port == 0)
        return *error = err::kNetUnreachable, -1;
    UdpStream* s = Find(handle);
    if (!s || s->list != UdpStreamList::kOpen) return *error = err::kNotSocket, -1;
    if (s->state != UdpStreamState::kNew) return *error = err::kInterrupted, -1;
    const uint64_t now = NowSeconds();
    s->state = UdpStreamState::kViaRendezvous;
    s->last_activity = now;
    s->remote_address = remote.address;
    s->remote_port = remote.port;
    s->service_port = remote.port;
    s->remote_tag = TagOfNodeId(remote.tag);
    s->request_time = now - 1;
    s->request_number = QueueConnectRequest(s);
    *error = err::kWouldBlock;
    return -1;
}

int64_t UdpStreamTransport::Send(int handle, const uint8_t* data, int64_t length, int32_t* error) {
    Guard g(*this);
    UdpStream* s = Find(handle);
    if (Suspended() || !s || !data || length < 0) return *error = err::kInvalid, -1;
    if (s->list != UdpStreamList::kOpen || s->state == UdpStreamState::kViaRendezvous ||
        s->state == UdpStreamState::kConnecting)
        return *error = err::kWouldBlock, -1;
    if (s->state != UdpStreamState::kEstablished) return *error = err::kNotConnected, -1;
    Lower(s);

    DropAcknowledgedFront(s);
    uint32_t segment_size = kSegmentSize;
    const int limit = WindowLimit(s, &segment_size);
    const uint64_t now = NowMs();
    int64_t taken = 0;
    const int capacity = SendCapacity();
    while (s->send_used < capacity && taken < length) {
        const uint32_t payload = uint32_t(std::min<int64_t>(segment_size, length - taken));
        uint8_t* packet = TakeSegmentBuffer();
        std::memset(packet + kHeaderSize, 0, kDataHeaderSize - kHeaderSize);
        const int index = s->send_used++;
        StoreBe32(packet + 32, payload);
        StoreBe32(packet + 36, s->send_base + uint32_t(index));
        std::memcpy(packet + kDataHeaderSize, data + taken, payload);
        UdpSendSlot& slot = s->send[size_t(index)];
        slot = UdpSendSlot{packet, payload, 0, 0};
        if (index < limit && PeerTakes(s, index)) {
            SendData(s, index);
            slot.sent_ms = now - 5;
            ++s->send_count;
        }
        taken += payload;
    }
    if (taken == 0) return *error = err::kWouldBlock, -1;
    *error = err::kNone;
    return taken;
}

int64_t UdpStreamTransport::Receive(int handle, uint8_t* buffer, int64_t size, int32_t* error) {
    Guard g(*this);
    UdpStream* s = Find(handle);
    if (Suspended() || !s || !buffer || size <= 0) return *error = err::kInvalid, -1;
    if (s->list != UdpStreamList::kOpen || s->state == UdpStreamState::kViaRendezvous ||
        s->state == UdpStreamState::kConnecting)
        return *error = err::kWouldBlock, -1;
    // Bytes that arrived before the other end closed are still delivered.
    const bool closed_with_data = s->state == UdpStreamState::kClosed && s->HasReadableData();
    if (s->state != UdpStreamState::kEstablished && !closed_with_data) return *error = err::kNotConnected, -1;
    Lower(s);

    int64_t copied = 0;
    while (copied < size) {
        if (s->readable_count == 0) MoveInOrder(s);
        if (s->readable_count == 0) break;
        UdpSegment& head = s->Readable(0);
        if (head.payload == 0) {  // never stored (empty DATA is refused), kept as a guard
            CloseStream(s, err::kInvalid);
            return *error = err::kInvalid, -1;
        }
        const uint32_t available = head.payload - s->read_offset;
        const uint32_t n = uint32_t(std::min<int64_t>(available, size - copied));
        std::memcpy(buffer + copied, head.stored + UdpStream::kStoredPayloadAt + s->read_offset, n);
        copied += n;
        s->read_offset += n;
        if (s->read_offset == head.payload) {
            GiveBackSegmentBuffer(head.stored);
            head = UdpSegment{};
            s->readable_head = (s->readable_head + 1) % UdpStream::kReadableSlots;
            --s->readable_count;
            s->read_offset = 0;
        }
    }
    // Reading made room: segments stored beyond the readable queue move up,
    // and when that moved the receive window by half or more since the last
    // ACK, the other end hears of it now, since it holds back what the old
    // window would have dropped.
    MoveInOrder(s);
    if (s->state == UdpStreamState::kEstablished && int32_t(s->next_expected - s->acked_next) >= kWindow / 2) {
        s->ack_due = true;
        AckIfDue(s);
    }
    // A reader that took only part of what waits is told again, as a
    // readable socket keeps polling readable; one that took all has nothing
    // held for it any more.
    if (s->HasReadableData()) Notify(s);
    else s->read_held = false;
    if (copied == 0) return *error = err::kWouldBlock, -1;
    *error = err::kNone;
    return copied;
}

int UdpStreamTransport::Close(int handle, int32_t* error) {
    Guard g(*this);
    UdpStream* s = Find(handle);
    if (!s || (s->list != UdpStreamList::kOpen && s->list != UdpStreamList::kBound))
        return *error = err::kNotSocket, -1;
    if (s->list == UdpStreamList::kOpen) {
        if (s->connected && s->state != UdpStreamState::kClosed) {
            s->connected = false;
            SendControl(s, kClose, 2);
        }
    } else {
        for (size_t i = accept_.size(); i-- > 0;)
            if (accept_[i]->service_port == s->service_port) ReleaseStream(accept_[i]);
    }
    ReleaseStream(s);
    *error = err::kNone;
    return 0;
}

int UdpStreamTransport::LocalName(int handle, StreamEndpoint* local, int32_t* error) {
    Guard g(*this);
    UdpStream* s = Find(handle);
    if (!s || s->list != UdpStreamList::kOpen) return *error = err::kNotSocket, -1;
    if (!s->connected) return *error = err::kNotConnected, -1;
    local->address = config_.local_address;
    local->port = s->service_port;
    local->tag = NodeIdOfTag(tag_);
    *error = err::kNone;
    return 0;
}

}  // namespace zl
