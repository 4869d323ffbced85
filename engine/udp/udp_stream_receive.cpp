// Transport packets arriving from the UDP server (server thread, lock held).
#include <algorithm>
#include <cstring>

#include "engine/base/errnum.h"
#include "engine/meta/buffer_pool.h"
#include "engine/udp/udp_stream_guard.h"
#include "engine/udp/udp_stream_transport.h"

namespace zl {

using namespace udpstream;

namespace {

// Serial-number order of 32-bit counters that wrap.
int32_t Ahead(uint32_t a, uint32_t b) { return int32_t(a - b); }

// A nonce is newer when greater, or smaller by more than 2^24 - 1 (the tick
// count having wrapped).
bool NonceNewer(uint32_t candidate, uint32_t current) {
    return candidate > current || current - candidate > 16777215u;
}

EndpointTag TagAt(const WireView& p, size_t offset) {
    EndpointTag tag{};
    p.Copy(offset, tag.data(), kEndpointTagSize);
    return tag;
}

}  // namespace

void UdpStreamTransport::OnTransportPacket(const WireView& p, uint32_t address, uint16_t port) {
    ++counters_.packets_in;
    if (!IsValidPacket(p, NodeIdOfTag(tag_))) {
        ++counters_.packets_dropped;
        return;
    }
    switch (p.Be32(kTypeAt)) {
        case kSyn: OnSyn(p, address, port); break;
        case kSynAck: OnSynAck(p, address, port); break;
        case kConfirm: OnConfirm(p, address, port); break;
        case kRefuse: OnRefuse(p, address, port); break;
        case kData: OnData(p, address, port); break;
        case kAck: OnAck(p, address, port); break;
        case kKeepalive: OnKeepalive(p, address, port); break;
        case kClose: OnClose(p, address, port); break;
        case kDataAck: OnDataAck(p, address, port); break;
        default: ++counters_.packets_dropped; break;
    }
}

void UdpStreamTransport::OnSyn(const WireView& p, uint32_t address, uint16_t port) {
    const uint32_t connector = p.Be32(kConnectionAt);
    const uint32_t sequence = p.Be32(kSequenceAt);
    const uint32_t echo = p.Be32(32);
    const uint32_t service = p.Be32(48);
    const uint32_t nonce = p.Be32(60);
    if (echo == 0 || service == 0 || echo > 65535 || service > 65535) return;
    const EndpointTag connector_tag = TagAt(p, 36);
    ForgetPunches(address, port);

    auto same_connection = [&](const UdpStream* s) {
        return s->remote_port == port && s->remote_address == address && s->remote_stream_id == connector &&
               s->service_port == service && NodeIdOfTag(s->remote_tag) == NodeIdOfTag(connector_tag);
    };
    // A repeated SYN (same nonce) is answered again only when its sequence is
    // newer than the last one seen; a newer nonce replaces the old stream.
    // True when the SYN has been dealt with.
    auto repeated = [&](UdpStream* s) {
        if (nonce == s->nonce || nonce == 0) {
            if (Ahead(sequence, s->peer_sequence) > 0) {
                s->peer_sequence = sequence;
                SendControl(s, kSynAck, 2);
            }
            return true;
        }
        if (!NonceNewer(nonce, s->nonce)) return true;
        CloseStream(s, err::kConnReset);
        return false;
    };
    for (size_t i = accept_.size(); i-- > 0;) {
        UdpStream* s = accept_[i];
        if (s->state != UdpStreamState::kClosed && same_connection(s) && repeated(s)) return;
    }
    for (size_t i = open_.size(); i-- > 0;) {
        UdpStream* s = open_[i];
        if (s->accepting && s->state == UdpStreamState::kEstablished && same_connection(s) && repeated(s)) return;
    }

    UdpStream* listener = nullptr;
    for (UdpStream* b : bound_)
        if (b->state == UdpStreamState::kListening && b->service_port == service) listener = b;
    if (listener && int(accept_.size()) >= backlog_) {
        // A full queue gives way to the newcomer by dropping its oldest
        // unconfirmed entry, so spoofed SYNs cannot keep real peers out.
        for (UdpStream* a : accept_) {
            if (a->state == UdpStreamState::kAccepting) {
                ReleaseStream(a);
                break;
            }
        }
    }
    if (!listener || int(accept_.size()) >= backlog_) {
        SendRefuse(p, address, port);
        return;
    }
    UdpStream* s = NewStream();
    s->accepting = true;
    s->remote_address = address;
    s->remote_port = port;
    s->remote_stream_id = connector;
    s->peer_sequence = sequence;
    s->state = UdpStreamState::kAccepting;
    s->echo = echo;
    s->service_port = uint16_t(service);
    s->nonce = nonce;
    s->remote_tag = connector_tag;
    Attach(s, UdpStreamList::kAcceptQueue);
    SendControl(s, kSynAck, 2);
}

void UdpStreamTransport::OnSynAck(const WireView& p, uint32_t address, uint16_t port) {
    UdpStream* s = FindOn(p.Be32(60), UdpStreamList::kOpen);
    const uint32_t connection = p.Be32(kConnectionAt);
    const uint32_t sequence = p.Be32(kSequenceAt);
    if (!s || s->accepting || s->service_port != p.Be32(48) || s->remote_address != address ||
        s->remote_port != p.Be32(32) || Ahead(s->peer_sequence, sequence) >= 0)
        return;
    if (s->remote_stream_id != 0 && s->remote_stream_id != connection) return;
    if (!p.Equals(36, tag_.data(), 8)) return;
    if (s->state != UdpStreamState::kConnecting && s->state != UdpStreamState::kEstablished) return;
    const uint32_t nonce = p.Be32(56);
    if (nonce != s->nonce && nonce != 0) return;
    s->remote_port = port;
    s->remote_stream_id = connection;
    s->peer_sequence = sequence;
    s->last_activity = NowSeconds();
    s->state = UdpStreamState::kEstablished;
    s->connected = true;
    s->request_number = -1;
    SendControl(s, kConfirm, 2);
    Notify(s);
    Wake();
}

void UdpStreamTransport::OnConfirm(const WireView& p, uint32_t address, uint16_t port) {
    UdpStream* s = FindOn(p.Be32(kConnectionAt), UdpStreamList::kAcceptQueue);
    if (!s || !s->accepting || s->remote_address != address) return;
    if (s->state != UdpStreamState::kAccepting && s->state != UdpStreamState::kEstablished) return;
    if (Ahead(s->own_sequence, p.Be32(kSequenceAt)) < 0) return;
    const uint32_t nonce = p.Be32(32);
    if (nonce != s->nonce && nonce != 0) return;
    s->remote_port = port;
    s->last_activity = NowSeconds();
    s->state = UdpStreamState::kEstablished;
    s->connected = true;
    NotifyListener(s);
    Wake();
}

void UdpStreamTransport::OnRefuse(const WireView& p, uint32_t address, uint16_t port) {
    (void)port;  // a NAT may answer from elsewhere: the stream's own port is at offset 32
    UdpStream* s = FindOn(p.Be32(kConnectionAt), UdpStreamList::kOpen);
    if (!s || s->remote_address != address || s->state != UdpStreamState::kConnecting) return;
    if (s->remote_port != p.Be32(32) || s->service_port != p.Be32(48)) return;
    CloseStream(s, err::kConnRefused);
}

// An established stream's packet from its other end. The port is not
// compared: a NAT in front of the other end may move it, and an accepted
// packet moves the stream along (as a keep-alive does). Without that, an end
// that only acknowledges (and so is never silent long enough to send a
// keep-alive) would lose the stream when its NAT moves.
//
//
// For data, an accepted stream counts from the moment it is established,
// before the listener takes it from the accept queue: its first segments are
// kept for the owner (as a TCP backlog keeps them) instead of being dropped
// and coming again only after the 1.6 s resend time.
UdpStream* UdpStreamTransport::EstablishedFrom(const WireView& p, uint32_t address, bool queued_too) {
    UdpStream* s = Find(int(p.Be32(kConnectionAt) & 0x7FFFFFFFu));
    if (!s || p.Be32(kConnectionAt) != s->id || s->remote_address != address) return nullptr;
    if (s->list != UdpStreamList::kOpen && !(queued_too && s->list == UdpStreamList::kAcceptQueue)) return nullptr;
    return s->state == UdpStreamState::kEstablished ? s : nullptr;
}

void UdpStreamTransport::OnData(const WireView& p, uint32_t address, uint16_t port) {
    // The connector sends data only after our SYN-ACK reached it: its first
    // segment confirms an accepting stream as the CONFIRM would (which it
    // may have overtaken on the way).
    if (UdpStream* a = FindOn(p.Be32(kConnectionAt), UdpStreamList::kAcceptQueue);
        a && a->accepting && a->state == UdpStreamState::kAccepting && a->remote_address == address) {
        a->state = UdpStreamState::kEstablished;
        a->connected = true;
        NotifyListener(a);
        Wake();
    }
    UdpStream* s = EstablishedFrom(p, address, true);
    if (!s) {
        ++counters_.packets_dropped;
        return;
    }
    const uint32_t payload = p.Be32(32);
    const uint32_t number = p.Be32(36);
    // An empty segment would later read as a broken stream; one above the
    // segment size was never sent by a sound peer.
    if (payload == 0 || payload > kSegmentSize || p.size() != payload + kDataHeaderSize) {
        ++counters_.packets_dropped;
        return;
    }
    int32_t ahead = Ahead(number, s->next_expected);
    if (ahead >= kWindow) {
        MoveInOrder(s);
        ahead = Ahead(number, s->next_expected);
        if (ahead >= kWindow) {
            // The sender learns from the next ACK where the window stands.
            s->ack_due = true;
            ++counters_.packets_dropped;
            return;
        }
    }
    // A segment already delivered is not stored again, but an ACK is made due
    // so that a sender whose ACK was lost hears of it soon.
    const bool in_order = ahead == 0;
    const bool had_data = s->HasReadableData();
    if (ahead >= 0) {
        UdpSegment& slot = s->receive[size_t(ahead)];
        if (!slot.stored) {
            const size_t stored_length = p.size() - kHeaderSize;
            slot.stored = TakeSegmentBuffer();
            std::memcpy(slot.stored, p.data() + kHeaderSize, stored_length);
            slot.payload = payload;
            slot.number = number;
            s->bytes_received += payload;
        }
    }
    s->remote_port = port;
    s->last_activity = NowSeconds();
    s->ack_due = true;
    ++s->data_since_ack;
    if (in_order) {
        // A short segment ends what the sender had, and one that fills a gap
        // before segments that waited behind it ends a repair: either way
        // the reader hears at once.
        const bool gap_filled = std::any_of(s->receive.begin() + 1, s->receive.end(),
                                            [](const UdpSegment& g) { return g.stored != nullptr; });
        MoveInOrder(s);
        if (!had_data || s->read_held) TellReader(s, payload < kSegmentSize || gap_filled);
    }
    if (ahead > 0) s->gap_seen_ms = std::max<uint64_t>(NowMs(), 1);
    // Acknowledged at the end of the batch rather than at the next tick.
    if (config_.prompt_ack && (s->data_since_ack >= 4 || (!in_order && s->data_since_ack >= 2))) {
        s->data_since_ack = 0;
        if (s->acks_owed++ == 0) owed_acks_.push_back(s->id);
    }
}

void UdpStreamTransport::OnAck(const WireView& p, uint32_t address, uint16_t port) {
    UdpStream* s = EstablishedFrom(p, address);
    if (!s) return;
    const uint32_t their_base = p.Be32(32);
    const uint32_t next = p.Be32(36);
    // The other end cannot expect a segment we never sent: such an ACK would
    // release data it does not hold.
    if (Ahead(next, s->send_base) > SentEnd(s)) return;
    if (Ahead(their_base, s->peer_send_base) > 0) s->peer_send_base = their_base;
    const bool window_moved = Ahead(next, s->peer_next_expected) > 0;
    if (window_moved) s->peer_next_expected = next;
    const int before = s->send_used;
    for (int i = 0; i < std::min(s->send_used, kWindow); ++i) {
        if (!s->send[size_t(i)].packet || !s->WasSent(i)) continue;
        const int32_t d = Ahead(s->send_base + uint32_t(i), next);
        if (d < 0 || (d < kWindow && p.data()[40 + size_t(d)] == 1))
            AcknowledgeSlot(s, i);
    }
    s->remote_port = port;
    s->last_activity = NowSeconds();
    DropAcknowledgedFront(s);
    NoteSlotsFreed(s, before);
    if ((s->send_used != before || window_moved) && config_.send_on_ack) SendNowInWindow(s);
    if (config_.fast_resend) FastResend(s);
}

void UdpStreamTransport::OnKeepalive(const WireView& p, uint32_t address, uint16_t port) {
    UdpStream* s = FindOn(p.Be32(kConnectionAt), UdpStreamList::kOpen);
    if (!s || s->state != UdpStreamState::kEstablished || s->remote_address != address ||
        s->service_port != p.Be32(32))
        return;
    s->remote_port = port;  // the other end's NAT may have given it a new port
    s->last_activity = NowSeconds();
}

void UdpStreamTransport::OnClose(const WireView& p, uint32_t address, uint16_t port) {
    (void)port;
    UdpStream* s = FindOn(p.Be32(kConnectionAt), UdpStreamList::kOpen);
    if (!s || s->state != UdpStreamState::kEstablished || s->remote_address != address ||
        s->service_port != p.Be32(32))
        return;
    const uint32_t nonce = p.Be32(40);
    const uint32_t sender = p.Be32(36);
    if ((nonce != s->nonce && nonce != 0) || (sender != 0 && sender != s->remote_stream_id)) return;
    CloseStream(s, err::kNone);
}

void UdpStreamTransport::OnDataAck(const WireView& p, uint32_t address, uint16_t port) {
    UdpStream* s = EstablishedFrom(p, address);
    if (!s) return;
    const int32_t index = Ahead(p.Be32(36), s->send_base);
    if (index < 0 || index >= std::min(s->send_used, kWindow) || !s->WasSent(index)) return;
    UdpSendSlot& slot = s->send[size_t(index)];
    if (!slot.packet || std::memcmp(slot.packet + 32, p.data() + 32, 8) != 0) return;
    AcknowledgeSlot(s, index);
    s->remote_port = port;
    s->last_activity = NowSeconds();
    const int before = s->send_used;
    DropAcknowledgedFront(s);
    NoteSlotsFreed(s, before);
    // Segments waiting behind the window go out as it moves.
    if (s->send_used != before && config_.send_on_ack) SendNowInWindow(s);
}

}  // namespace zl
