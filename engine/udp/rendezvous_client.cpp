// The engine's side of the rendezvous protocol and the dispatch of every
// datagram that is not for the DHT (server thread, lock held).
#include <algorithm>

#include "engine/base/errnum.h"
#include "engine/udp/udp_stream_guard.h"
#include "engine/udp/udp_stream_transport.h"

namespace zl {

using namespace rendezvous;

namespace {
bool ValidAddress(uint32_t a) { return a != 0 && a != 0xFFFFFFFFu; }
bool ValidPort(uint32_t p) { return p >= 1 && p <= 65535; }
}  // namespace

void UdpStreamTransport::OnStreamDatagram(const uint8_t* data, size_t length, uint32_t address, uint16_t port) {
    const UdpDatagramRef one{data, length, address, port};
    OnStreamBatch(&one, 1);
}

void UdpStreamTransport::OnStreamBatch(const UdpDatagramRef* items, size_t count) {
    Guard g(*this);
    if (Suspended()) return;
    for (size_t i = 0; i < count; ++i) Dispatch(items[i].data, items[i].length, items[i].address, items[i].port);
    SendOwedAcks();
    // A socket that never runs empty (a busy link) still lets a held reader
    // hear of its data within the hold time.
    if (holding_.load(std::memory_order_relaxed) && NowMs() - held_since_ms_ >= kHoldMs) ReleaseHeldLocked();
}

void UdpStreamTransport::Dispatch(const uint8_t* data, size_t length, uint32_t address, uint16_t port) {
    const WireView m(data, length);
    const int32_t first = int32_t(m.Be32(0));
    if (length == kAddressReportSize && FromServer(address)) {
        OnAddressReport(m);
    } else if (length < kPunchRequestSize) {
        return;
    } else if (length == kPunchRequestSize && m.Be32(0) == kPunchRequestMagic) {
        if (FromServer(address) && BehindNatLocked()) OnPunchRequest(m);
    } else if (first == 0 && length == kPunchSize && m.IsZero(0, 20) && m.Equals(20, tag_.data(), 8)) {
        OnPunchArrival(m, address, port);
    } else if (first >= 1 && length >= udpstream::kControlSize) {
        OnTransportPacket(m, address, port);
    } else if (first <= 0 && length >= kMinReplySize && FromServer(address)) {
        OnConnectReply(m);
    }
}

bool UdpStreamTransport::FromServer(uint32_t address) const {
    return config_.rendezvous_address != 0 && address == config_.rendezvous_address;
}

bool UdpStreamTransport::BehindNatLocked() const { return external_address_ != config_.local_address; }

void UdpStreamTransport::OnAddressReport(const WireView& m) {
    AddressReport report;
    if (!ParseAddressReport(m, &report)) return;
    server_answered_ = true;
    if (ValidAddress(report.address)) external_address_ = report.address;
    external_port_ = report.port;
    report_pending_ = true;
}

void UdpStreamTransport::Register() {
    SyncWithHost();
    Guard g(*this);
    if (Suspended() || !FromServer(config_.rendezvous_address) || config_.rendezvous_port == 0) return;
    Registration r;
    r.tag = tag_;
    r.request = ++request_counter_;
    r.local_address = config_.local_address;
    r.local_port = config_.local_port;
    const auto m = BuildRegistration(r);
    Emit(m.data(), m.size(), config_.rendezvous_address, config_.rendezvous_port);
    server_answered_ = false;
}

void UdpStreamTransport::KeepAlive() {
    SyncWithHost();
    Guard g(*this);
    if (Suspended() || config_.rendezvous_address == 0 || config_.rendezvous_port == 0 || !BehindNatLocked()) return;
    const uint8_t m[kKeepAliveSize] = {};
    Emit(m, sizeof m, config_.rendezvous_address, config_.rendezvous_port);
}

uint32_t UdpStreamTransport::QueueConnectRequest(UdpStream* s) {
    if (batch_.Full()) FlushBatchLocked();
    if (batch_.empty()) {
        ++request_counter_;
        if (pending_requests_.size() >= kPendingLimit) pending_requests_.clear();
        pending_requests_.push_back(request_counter_);
        batch_.Start(tag_, request_counter_, config_.local_address, config_.local_port);
    }
    batch_.Add(s->remote_address, NodeIdOfTag(s->remote_tag));
    return batch_.request();
}

bool UdpStreamTransport::HasPendingConnectBatch() {
    Guard g(*this);
    return !batch_.empty();
}

void UdpStreamTransport::FlushConnectBatch() {
    SyncWithHost();
    Guard g(*this);
    FlushBatchLocked();
}

// A failed send is not repeated: the maintenance tick queues the request
// again for streams that hear nothing.
void UdpStreamTransport::FlushBatchLocked() {
    if (batch_.empty()) return;
    if (config_.rendezvous_address != 0 && config_.rendezvous_port != 0)
        Emit(batch_.data(), batch_.length(), config_.rendezvous_address, config_.rendezvous_port);
    batch_.Clear();
}

void UdpStreamTransport::OnConnectReply(const WireView& m) {
    ConnectReply reply;
    if (!ParseConnectReply(m, &reply) || !(reply.tag == tag_)) return;
    auto pending = std::find(pending_requests_.begin(), pending_requests_.end(), reply.request);
    if (pending == pending_requests_.end()) return;
    pending_requests_.erase(pending);

    for (const ResolvedTarget& r : ResolveReply(reply.entries)) {
        if (!ValidAddress(r.target.address) || !ValidPort(r.target.port)) continue;
        for (size_t i = open_.size(); i-- > 0;) {
            UdpStream* s = open_[i];
            if (s->state != UdpStreamState::kViaRendezvous || NodeIdOfTag(s->remote_tag) != r.searched) continue;
            s->remote_tag = TagOfNodeId(r.target.id);
            s->remote_address = r.target.address;
            s->remote_port = uint16_t(r.target.port);
            s->state = UdpStreamState::kConnecting;
            s->request_number = -1;
            // The first SYN goes at once rather than with the next maintenance
            // tick (up to 2 s later): where no NAT filters, it sets the stream
            // up now; behind one it opens our side for the target's punch,
            // whose arrival sends the SYN again, as the ticks do after it.
            SendControl(s, udpstream::kSyn, 2);
        }
    }
    // The server does not know the targets still waiting for this answer.
    for (UdpStream* s : open_)
        if (s->state == UdpStreamState::kViaRendezvous && s->request_number == int64_t(reply.request))
            CloseStream(s, err::kHostUnreachable);
}

void UdpStreamTransport::SendPunch(const PunchEntry& e) {
    Punch p;
    p.receiver = e.requester;
    p.sender_port = config_.local_port;
    p.sender = tag_;
    const auto m = BuildPunch(p);
    Emit(m.data(), m.size(), e.address, e.port);
}

void UdpStreamTransport::OnPunchRequest(const WireView& m) {
    PunchRequest request;
    if (!ParsePunchRequest(m, &request) || !ValidAddress(request.address) || !ValidPort(request.port)) return;
    for (PunchEntry& e : punch_list_) {
        if (e.address == request.address && e.port == request.port) {
            e.requester = request.requester;
            e.sends = 1;
            return;
        }
    }
    PunchEntry entry{request.requester, request.address, uint16_t(request.port), 1};
    SendPunch(entry);
    if (punch_list_.size() < kPunchListLimit) punch_list_.push_back(entry);
}

// Each requester gets at most three punches, about one maintenance tick apart.
void UdpStreamTransport::PunchPass() {
    for (size_t i = punch_list_.size(); i-- > 0;) {
        PunchEntry& e = punch_list_[i];
        SendPunch(e);
        if (e.sends++ > 1) punch_list_.erase(punch_list_.begin() + ptrdiff_t(i));
    }
}

void UdpStreamTransport::ForgetPunches(uint32_t address, uint16_t port) {
    std::erase_if(punch_list_, [&](const PunchEntry& e) { return e.address == address && e.port == port; });
}

void UdpStreamTransport::OnPunchArrival(const WireView& m, uint32_t address, uint16_t port) {
    Punch punch;
    if (!ParsePunch(m, &punch)) return;
    const NodeId sender = NodeIdOfTag(punch.sender);
    const NodeId placeholder = PlaceholderId(address, punch.sender_port);
    for (size_t i = open_.size(); i-- > 0;) {
        UdpStream* s = open_[i];
        if (s->remote_address != address) continue;
        if (s->state != UdpStreamState::kViaRendezvous && s->state != UdpStreamState::kConnecting) continue;
        if (s->state == UdpStreamState::kViaRendezvous && NodeIdOfTag(s->remote_tag) == placeholder)
            s->remote_tag = TagOfNodeId(sender);
        if (NodeIdOfTag(s->remote_tag) == sender) {
            s->state = UdpStreamState::kConnecting;
            s->remote_port = port;
            SendControl(s, udpstream::kSyn, 2);
        }
    }
}

}  // namespace zl
