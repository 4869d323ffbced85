#include "engine/udp/rendezvous_messages.h"

#include <algorithm>
#include <cstring>

namespace zl::rendezvous {
namespace {

void PutTag(uint8_t* p, const EndpointTag& tag) { std::memcpy(p, tag.data(), kEndpointTagSize); }

EndpointTag TagAt(const WireView& m, size_t offset) {
    EndpointTag tag{};
    m.Copy(offset, tag.data(), kEndpointTagSize);
    return tag;
}

NodeId IdAt(const WireView& m, size_t offset) {
    NodeId id{};
    m.Copy(offset, id.data(), id.size());
    return id;
}

std::vector<ConnectEntry> EntriesOf(const WireView& m, uint32_t count) {
    std::vector<ConnectEntry> entries;
    entries.reserve(count);
    for (uint32_t i = 0; i < count; ++i) {
        const size_t at = kConnectHeaderSize + size_t(i) * kEntrySize;
        ConnectEntry e;
        e.address = m.NetAddress(at);
        e.port = m.Be32(at + 4);
        e.id = IdAt(m, at + 8);
        entries.push_back(e);
    }
    return entries;
}

// The largest entry count that fits a datagram of this length.
size_t EntriesThatFit(size_t length) {
    return length < kConnectHeaderSize ? 0 : (length - kConnectHeaderSize) / kEntrySize;
}

}  // namespace

std::array<uint8_t, kRegistrationSize> BuildRegistration(const Registration& r) {
    std::array<uint8_t, kRegistrationSize> m{};
    StoreBe32(&m[12], kRegisterType);
    PutTag(&m[16], r.tag);
    StoreBe32(&m[28], r.request);
    StoreNetAddress(&m[32], r.local_address);
    StoreBe32(&m[36], r.local_port);
    return m;
}

bool ParseRegistration(const WireView& m, Registration* out) {
    if (m.size() != kRegistrationSize || !m.IsZero(0, 12) || m.Be32(12) != kRegisterType) return false;
    out->tag = TagAt(m, 16);
    out->request = m.Be32(28);
    out->local_address = m.NetAddress(32);
    out->local_port = m.Be32(36);
    return true;
}

std::array<uint8_t, kAddressReportSize> BuildAddressReport(const AddressReport& r) {
    std::array<uint8_t, kAddressReportSize> m{};
    StoreNetAddress(&m[0], r.address);
    StoreBe32(&m[4], r.port);
    return m;
}

bool ParseAddressReport(const WireView& m, AddressReport* out) {
    if (m.size() != kAddressReportSize) return false;
    out->address = m.NetAddress(0);
    out->port = m.Be32(4);
    return true;
}

bool IsKeepAlive(const WireView& m) { return m.size() == kKeepAliveSize && m.IsZero(0, kKeepAliveSize); }

bool ParseConnectRequest(const WireView& m, ConnectRequest* out) {
    if (m.size() < kConnectHeaderSize + kEntrySize || !m.IsZero(0, 12) || m.Be32(12) != kConnectType) return false;
    const uint32_t count = m.Be32(44);
    if (count == 0 || count > kMaxBatchEntries || count > EntriesThatFit(m.size())) return false;
    out->tag = TagAt(m, 16);
    out->request = m.Be32(28);
    out->local_address = m.NetAddress(32);
    out->local_port = m.Be32(36);
    out->targets = EntriesOf(m, count);
    return true;
}

void ConnectBatch::Start(const EndpointTag& tag, uint32_t request, uint32_t local_address, uint32_t local_port) {
    bytes_.fill(0);
    StoreBe32(&bytes_[12], kConnectType);
    PutTag(&bytes_[16], tag);
    StoreBe32(&bytes_[28], request);
    StoreNetAddress(&bytes_[32], local_address);
    StoreBe32(&bytes_[36], local_port);
    StoreBe32(&bytes_[40], 1);
    StoreBe32(&bytes_[44], 0);
    length_ = kConnectHeaderSize;
}

void ConnectBatch::Add(uint32_t address, const NodeId& id) {
    if (empty() || Full()) return;
    uint8_t* e = &bytes_[length_];
    StoreNetAddress(e, address);
    StoreBe32(e + 4, 0);
    std::memcpy(e + 8, id.data(), id.size());
    length_ += kEntrySize;
    StoreBe32(&bytes_[44], uint32_t(entries()));
}

uint32_t ConnectBatch::request() const { return WireView(bytes_.data(), length_).Be32(28); }

std::vector<uint8_t> BuildConnectReply(const ConnectReply& r) {
    const size_t length = std::max(kMinReplySize, kConnectHeaderSize + r.entries.size() * kEntrySize);
    std::vector<uint8_t> m(length, 0);
    StoreBe32(&m[12], kConnectReplyType);
    PutTag(&m[16], r.tag);
    StoreBe32(&m[28], r.request);
    StoreBe32(&m[44], uint32_t(r.entries.size()));
    for (size_t i = 0; i < r.entries.size(); ++i) {
        uint8_t* e = &m[kConnectHeaderSize + i * kEntrySize];
        StoreNetAddress(e, r.entries[i].address);
        StoreBe32(e + 4, r.entries[i].port);
        std::memcpy(e + 8, r.entries[i].id.data(), 8);
    }
    return m;
}

bool ParseConnectReply(const WireView& m, ConnectReply* out) {
    if (m.size() < kMinReplySize || m.Be32(12) != kConnectReplyType) return false;
    const uint32_t count = m.Be32(44);
    if (count > EntriesThatFit(m.size())) return false;
    out->tag = TagAt(m, 16);
    out->request = m.Be32(28);
    out->entries = EntriesOf(m, count);
    return true;
}

std::vector<ResolvedTarget> ResolveReply(const std::vector<ConnectEntry>& entries) {
    std::vector<ResolvedTarget> resolved;
    for (size_t i = 0; i < entries.size(); ++i) {
        ResolvedTarget r;
        if (IsMarker(entries[i])) {
            if (i + 1 >= entries.size()) break;  // a marker needs the entry after it
            r.searched = entries[i].id;
            r.target = entries[++i];
        } else {
            r.searched = entries[i].id;
            r.target = entries[i];
        }
        resolved.push_back(r);
    }
    return resolved;
}

std::array<uint8_t, kPunchRequestSize> BuildPunchRequest(const PunchRequest& r) {
    std::array<uint8_t, kPunchRequestSize> m{};
    StoreBe32(&m[0], kPunchRequestMagic);
    PutTag(&m[4], r.requester);
    StoreNetAddress(&m[20], r.address);
    StoreBe32(&m[24], r.port);
    return m;
}

bool ParsePunchRequest(const WireView& m, PunchRequest* out) {
    if (m.size() != kPunchRequestSize || m.Be32(0) != kPunchRequestMagic) return false;
    out->requester = TagAt(m, 4);
    out->address = m.NetAddress(20);
    out->port = m.Be32(24);
    return true;
}

std::array<uint8_t, kPunchSize> BuildPunch(const Punch& p) {
    std::array<uint8_t, kPunchSize> m{};
    PutTag(&m[20], p.receiver);
    StoreBe16(&m[32], p.sender_port);
    PutTag(&m[36], p.sender);
    return m;
}

bool ParsePunch(const WireView& m, Punch* out) {
    if (m.size() != kPunchSize || !m.IsZero(0, 20)) return false;
    out->receiver = TagAt(m, 20);
    out->sender_port = m.Be16(32);
    out->sender = TagAt(m, 36);
    return true;
}

}  // namespace zl::rendezvous
