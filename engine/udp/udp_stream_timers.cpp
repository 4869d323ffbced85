// Window arithmetic, packets out, and the retransmit, acknowledgement and
// maintenance ticks (server thread, lock held).
#include <algorithm>
#include <cstring>

#include "engine/base/errnum.h"
#include "engine/meta/buffer_pool.h"
#include "engine/udp/udp_stream_guard.h"
#include "engine/udp/udp_stream_transport.h"

namespace zl {

using namespace udpstream;

namespace {
constexpr uint64_t kCountersPeriodSeconds = 120;
constexpr uint32_t kFirstResendMs = 1600;
constexpr uint32_t kResendStepMs = 800;
constexpr uint32_t kRetryLimit = 128;
constexpr uint64_t kAckPeriodMs = 1200;
constexpr uint64_t kIdleAckMs = 11999;
constexpr uint64_t kRequeueSeconds = 3;
}  // namespace

// --- window arithmetic ----------------------------------------------------

uint32_t UdpStreamTransport::LossPercent(UdpStream* s) {
    if (s->send_count > 23) return s->resend_count * 100 / s->send_count;
    return 50;
}

int UdpStreamTransport::WindowLimit(UdpStream* s, uint32_t* segment_size) {
    const uint64_t now = NowSeconds();
    if (now - s->counters_reset_time > kCountersPeriodSeconds) {
        s->send_count = 0;
        s->resend_count = 0;
        s->counters_reset_time = now;
    }
    const uint32_t loss = LossPercent(s);
    // The start value (50 % until enough was sent) narrows the window but does
    // not cut the segments: only a measured loss above 30 % does.
    *segment_size = s->send_count > 23 && loss > 30 ? kSmallSegmentSize : kSegmentSize;
    const int64_t limit = (1260 - 12 * int64_t(loss)) / 100;
    return int(std::clamp<int64_t>(limit, 0, kWindow));
}

void UdpStreamTransport::DropAcknowledgedFront(UdpStream* s) {
    int done = 0;
    while (done < s->send_used && s->send[size_t(done)].packet == nullptr) ++done;
    if (done == 0) return;
    std::move(s->send.begin() + done, s->send.begin() + s->send_used, s->send.begin());
    for (int i = s->send_used - done; i < s->send_used; ++i) s->send[size_t(i)] = UdpSendSlot{};
    s->send_used -= done;
    s->send_base += uint32_t(done);
}

void UdpStreamTransport::MoveInOrder(UdpStream* s) {
    while (s->receive[0].stored && s->readable_count < read_queue_) {
        s->Readable(s->readable_count++) = s->receive[0];
        s->next_expected = s->receive[0].number + 1;
        std::move(s->receive.begin() + 1, s->receive.end(), s->receive.begin());
        s->receive[kWindow - 1] = UdpSegment{};
    }
}

void UdpStreamTransport::AcknowledgeSlot(UdpStream* s, int index) {
    UdpSendSlot& slot = s->send[size_t(index)];
    if (!slot.packet) return;
    if (slot.retries == 0 && slot.sent_ms != 0) {
        // The first send is stamped 5 ms early.
        const uint64_t now = NowMs();
        const uint64_t sample = now > slot.sent_ms + 5 ? now - slot.sent_ms - 5 : 0;
        const uint32_t clamped = uint32_t(std::min<uint64_t>(sample, 60000));
        s->srtt_ms = s->srtt_ms == 0 ? std::max<uint32_t>(clamped, 1) : (7 * s->srtt_ms + clamped) / 8;
    }
    GiveBackSegmentBuffer(slot.packet);
    slot.packet = nullptr;
    s->bytes_acknowledged += slot.payload;
}

int UdpStreamTransport::SentEnd(const UdpStream* s) {
    for (int i = std::min(s->send_used, kWindow); i > 0; --i)
        if (s->WasSent(i - 1)) return i;
    return 0;
}

void UdpStreamTransport::NoteSlotsFreed(UdpStream* s, int before) {
    // A writer waits only while the stream is not writable.
    const int mark = WritableBelow();
    if (before >= mark && s->send_used < mark) {
        Notify(s);
        Wake(kWakeWriters);
    }
}

bool UdpStreamTransport::PeerTakes(UdpStream* s, int index) {
    return int32_t(s->send_base + uint32_t(index) - s->peer_next_expected) < kWindow;
}

// --- packets out ------------------------------------------------------------

void UdpStreamTransport::Emit(const uint8_t* bytes, size_t length, uint32_t address, uint16_t port) {
    std::memcpy(outbox_.Emit(length, address, port), bytes, length);
}

void UdpStreamTransport::SendControl(UdpStream* s, uint32_t type, int copies) {
    uint8_t packet[kControlSize] = {};
    uint32_t connection = s->remote_stream_id;
    const uint32_t sequence = CarriesPeerSequence(type) ? s->peer_sequence : ++s->own_sequence;
    switch (type) {
        case kSyn:
            connection = s->id;
            StoreBe32(packet + 32, s->remote_port);
            std::memcpy(packet + 36, tag_.data(), kEndpointTagSize);
            StoreBe32(packet + 48, s->service_port);
            StoreBe32(packet + 60, s->nonce);
            break;
        case kSynAck:
            connection = s->id;
            StoreBe32(packet + 32, s->echo);
            std::memcpy(packet + 36, s->remote_tag.data(), kEndpointTagSize);
            StoreBe32(packet + 48, s->service_port);
            StoreBe32(packet + 56, s->nonce);
            StoreBe32(packet + 60, s->remote_stream_id);
            break;
        case kConfirm:
            StoreBe32(packet + 32, s->nonce);
            break;
        case kKeepalive:
            StoreBe32(packet + 32, s->service_port);
            break;
        case kClose:
            StoreBe32(packet + 32, s->service_port);
            StoreBe32(packet + 36, s->id);
            StoreBe32(packet + 40, s->nonce);
            break;
        default:
            return;
    }
    WriteHeader(packet, kControlSize, connection, sequence, type, s->remote_tag);
    Seal(packet, kControlSize);
    for (int i = 0; i < copies; ++i) Emit(packet, kControlSize, s->remote_address, s->remote_port);
}

void UdpStreamTransport::SendRefuse(const WireView& syn, uint32_t address, uint16_t port) {
    uint8_t packet[kControlSize] = {};
    syn.Copy(32, packet + 32, 32);
    EndpointTag connector{};
    syn.Copy(36, connector.data(), kEndpointTagSize);
    WriteHeader(packet, kControlSize, syn.Be32(kConnectionAt), syn.Be32(kSequenceAt), kRefuse, connector);
    Seal(packet, kControlSize);
    Emit(packet, kControlSize, address, port);
}

void UdpStreamTransport::SendData(UdpStream* s, int index) {
    UdpSendSlot& slot = s->send[size_t(index)];
    const uint32_t length = uint32_t(kDataHeaderSize + slot.payload);
    // A packet still queued from its last send is left as it is: this send
    // goes as a copy with its own header.
    uint8_t* packet = slot.packet;
    if (Pinned(packet)) {
        packet = outbox_.Emit(length, s->remote_address, s->remote_port);
        std::memcpy(packet, slot.packet, length);
    } else {
        PinWord(packet).fetch_add(1, std::memory_order_acq_rel);
        outbox_.EmitSegment(packet, length, s->remote_address, s->remote_port);
    }
    WriteHeader(packet, length, s->remote_stream_id, ++s->own_sequence, kData, s->remote_tag);
    Seal(packet, length);
    ++counters_.data_sent;
}

void UdpStreamTransport::SendAck(UdpStream* s, int copies) {
    uint8_t packet[kControlSize] = {};
    StoreBe32(packet + 32, s->send_base);
    StoreBe32(packet + 36, s->next_expected);
    s->acked_next = s->next_expected;
    for (size_t i = 0; i < size_t(kWindow); ++i) packet[40 + i] = s->receive[i].stored ? 1 : 0;
    WriteHeader(packet, kControlSize, s->remote_stream_id, ++s->own_sequence, kAck, s->remote_tag);
    Seal(packet, kControlSize);
    for (int i = 0; i < copies; ++i) Emit(packet, kControlSize, s->remote_address, s->remote_port);
    ++counters_.acks_sent;
}

// The acknowledgement step of one stream: skipped when the other end already
// knows everything and an ACK went out less than 12 s ago. Sent twice when two
// or more segments wait in the receive window, since losing it would stall
// the other end.
void UdpStreamTransport::AckIfDue(UdpStream* s, int times) {
    const uint64_t now = NowMs();
    int held = 0;
    for (const auto& seg : s->receive) held += seg.stored ? 1 : 0;
    MoveInOrder(s);
    DropAcknowledgedFront(s);
    if (held == 0 && !s->ack_due && s->next_expected == s->peer_send_base && now - s->last_ack_ms <= kIdleAckMs)
        return;
    s->last_ack_ms = now;
    s->ack_due = false;
    s->data_since_ack = 0;
    SendAck(s, std::min((held >= 2 ? 2 : 1) * std::max(times, 1), kMaxAckCopies));
}

// One ACK per stream for what a batch earned. Where the link lost segments
// lately, the newest state goes as many times as the separate ACKs would
// have gone: they covered for each other under loss (with the last one of a
// window lost, the sender stalls until the 1.2 s periodic ACK), and copies of
// the newest cover as well. A clean link sends it once.
void UdpStreamTransport::SendOwedAcks() {
    if (owed_acks_.empty()) return;
    const uint64_t now = NowMs();
    for (uint32_t id : owed_acks_) {
        UdpStream* s = Find(int(id));
        if (!s || s->acks_owed == 0) continue;
        const uint32_t owed = s->acks_owed;
        s->acks_owed = 0;
        if (s->state != UdpStreamState::kEstablished) continue;
        const bool lossy = s->gap_seen_ms != 0 && now - s->gap_seen_ms < kGapMemoryMs;
        AckIfDue(s, lossy ? int(owed) : 1);
        // And again at the next tick, as the separate ACKs left the batch's
        // tail for it: a later copy survives where all of one instant's are lost.
        if (lossy) s->ack_due = true;
    }
    owed_acks_.clear();
}

// Resends, before its timer, a segment that three later acknowledged segments
// show lost (or every later one, at the end of what was sent); again after two
// round trips while that evidence stands.
void UdpStreamTransport::FastResend(UdpStream* s) {
    const uint64_t now = NowMs();
    const uint64_t gap = std::max<uint64_t>(2 * uint64_t(s->srtt_ms) + 2, 4);
    int later_acknowledged = 0;
    // Within the window: what waits behind it was never sent.
    const int end = std::min(s->send_used, kWindow);
    for (int i = end - 1; i >= 0; --i) {
        UdpSendSlot& slot = s->send[size_t(i)];
        if (!slot.packet) {
            ++later_acknowledged;
            continue;
        }
        const bool all_later = later_acknowledged > 0 && later_acknowledged == end - 1 - i;
        if ((later_acknowledged < 3 && !all_later) || slot.sent_ms == 0 || now - slot.sent_ms < gap) continue;
        SendData(s, i);
        ++s->resend_count;
        ++s->send_count;
        ++slot.retries;
        slot.sent_ms = now;
        ++counters_.data_resent;
    }
}

// Sends the waiting segments that the window now covers, as Send does for
// the ones it cuts.
void UdpStreamTransport::SendNowInWindow(UdpStream* s) {
    uint32_t segment = 0;
    const int limit = std::min(WindowLimit(s, &segment), s->send_used);
    const uint64_t now = NowMs();
    for (int i = 0; i < limit; ++i) {
        UdpSendSlot& slot = s->send[size_t(i)];
        if (!slot.packet || slot.sent_ms != 0) continue;
        if (!PeerTakes(s, i)) {
            if (s->wait_since_ms == 0) s->wait_since_ms = now;
            break;
        }
        SendData(s, i);
        slot.sent_ms = now - 5;
        ++s->send_count;
    }
}

// --- ticks -------------------------------------------------------------------

void UdpStreamTransport::RetransmitStream(UdpStream* s) {
    // While the evidence of a loss stands (no newer ACK needs to come), the
    // evidence-driven resend also runs from the tick.
    if (config_.fast_resend) FastResend(s);
    uint32_t segment = 0;
    const int limit = WindowLimit(s, &segment);
    const int n = limit / 2 + 2;
    const int r = LossPercent(s) > 19 ? 2 : n;
    const uint64_t now = NowMs();
    int retried_seen = 0;
    int resends = 0;
    for (int i = 0; i < s->send_used; ++i) {
        UdpSendSlot& slot = s->send[size_t(i)];
        if (slot.packet && slot.retries > kRetryLimit) {
            CloseStream(s, err::kTimedOut);
            return;
        }
        if (i + 1 >= n) return;  // stop before the n-th used slot
        if (slot.retries > 0 && ++retried_seen >= r) return;
        if (!slot.packet) continue;
        if (slot.sent_ms != 0 && now - slot.sent_ms <= kFirstResendMs + uint64_t(kResendStepMs) * slot.retries)
            continue;
        // A segment the other end said it cannot store waits for its next
        // ACK; one goes as a probe after the first resend time, in case the
        // ACK that opened the window was lost.
        if (slot.sent_ms == 0 && !PeerTakes(s, i)) {
            if (s->wait_since_ms == 0) s->wait_since_ms = now;
            if (now - s->wait_since_ms <= kFirstResendMs) return;
            s->wait_since_ms = now;
        }
        const bool resend = slot.sent_ms != 0;
        SendData(s, i);
        if (resend) {
            ++s->resend_count;
            ++resends;
            ++counters_.data_resent;
        }
        ++s->send_count;
        ++slot.retries;
        slot.sent_ms = now;
        if (slot.retries > 1 || (resend && resends >= r)) return;
    }
}

void UdpStreamTransport::RetransmitTick() {
    {
        Guard g(*this);
        if (Suspended()) return;
        for (size_t i = open_.size(); i-- > 0;) {
            UdpStream* s = open_[i];
            if (s->state == UdpStreamState::kEstablished && s->send_used > 0) RetransmitStream(s);
        }
    }
    AcknowledgeTick();
}

void UdpStreamTransport::AcknowledgeTick() {
    // A host that never finds its socket empty still tells held readers by the tick.
    ReleaseHeldWakes();
    Guard g(*this);
    if (Suspended()) return;
    const uint64_t now = NowMs();
    for (size_t i = open_.size(); i-- > 0;) {
        UdpStream* s = open_[i];
        if (s->state != UdpStreamState::kEstablished) continue;
        if (s->ack_due || now - s->last_ack_ms >= kAckPeriodMs) AckIfDue(s);
    }
    // An accepted stream not yet taken from the queue acknowledges the data
    // it keeps, and nothing else (so one nobody accepts still expires).
    for (size_t i = accept_.size(); i-- > 0;) {
        UdpStream* s = accept_[i];
        if (s->state == UdpStreamState::kEstablished && s->ack_due) AckIfDue(s);
    }
}

void UdpStreamTransport::MaintainAcceptQueue(uint64_t now) {
    const uint64_t t = uint64_t(config_.connect_timeout);
    for (size_t i = accept_.size(); i-- > 0;) {
        UdpStream* s = accept_[i];
        const bool within = now - s->last_activity <= t;
        if (s->state == UdpStreamState::kClosed || !within) {
            ReleaseStream(s);
        } else if (s->state == UdpStreamState::kAccepting) {
            // Resends are capped: a spoofed SYN must not draw a stream of
            // SYN-ACKs at its victim for the whole timeout.
            if (s->syn_ack_resends < kSynAckResendLimit) {
                ++s->syn_ack_resends;
                SendControl(s, kSynAck, 2);
            }
        }
    }
}

void UdpStreamTransport::MaintainOpenList(uint64_t now) {
    const uint64_t t = uint64_t(config_.connect_timeout);
    for (size_t i = open_.size(); i-- > 0;) {
        UdpStream* s = open_[i];
        const uint64_t idle = now - s->last_activity;
        switch (s->state) {
            case UdpStreamState::kViaRendezvous:
                if (idle > t) {
                    CloseStream(s, err::kTimedOut);
                } else if (now - s->request_time > kRequeueSeconds) {
                    s->request_number = QueueConnectRequest(s);
                    s->request_time = now;
                }
                break;
            case UdpStreamState::kConnecting:
                if (idle > t)
                    CloseStream(s, err::kTimedOut);
                else
                    SendControl(s, kSyn, 2);
                break;
            case UdpStreamState::kEstablished:
                if (idle > t)
                    CloseStream(s, err::kTimedOut);
                else if (idle > t / 2)
                    SendControl(s, kKeepalive, 1);
                break;
            default:
                break;
        }
    }
}

void UdpStreamTransport::MaintenanceTick() {
    SyncWithHost();
    Guard g(*this);
    if (Suspended()) return;
    const uint64_t now = NowSeconds();
    MaintainAcceptQueue(now);
    MaintainOpenList(now);
    PunchPass();
}

}  // namespace zl
