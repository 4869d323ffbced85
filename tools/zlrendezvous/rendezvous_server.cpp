#include "tools/zlrendezvous/rendezvous_server.h"

#include <vector>

#include "engine/udp/wire_bytes.h"

namespace zl {

using namespace rendezvous;

std::string FormatEndpoint(uint32_t address, uint32_t port) {
    const auto* b = reinterpret_cast<const uint8_t*>(&address);
    return std::to_string(b[0]) + "." + std::to_string(b[1]) + "." + std::to_string(b[2]) + "." +
           std::to_string(b[3]) + ":" + std::to_string(port);
}

RendezvousServer::RendezvousServer(SendFn send, LogFn log, uint64_t expire_seconds, size_t max_entries)
    : send_(std::move(send)), log_(std::move(log)), expire_seconds_(expire_seconds), max_entries_(max_entries) {}

const RendezvousServer::Registered* RendezvousServer::Find(const NodeId& id) const {
    auto it = entries_.find(id);
    return it == entries_.end() ? nullptr : &it->second;
}

void RendezvousServer::OnDatagram(const uint8_t* data, size_t length, uint32_t address, uint16_t port,
                                  uint64_t now) {
    const WireView m(data, length);
    Registration registration;
    ConnectRequest request;
    if (IsKeepAlive(m)) {
        OnKeepAlive(address, port, now);
    } else if (ParseRegistration(m, &registration)) {
        OnRegistration(registration, address, port, now);
    } else if (ParseConnectRequest(m, &request)) {
        OnConnectRequest(request, address, port, now);
    } else {
        log_("ignored " + std::to_string(length) + " bytes from " + FormatEndpoint(address, port));
    }
}

RendezvousServer::Registered* RendezvousServer::Record(const EndpointTag& tag, uint32_t address, uint16_t port,
                                                       uint32_t local_address, uint32_t local_port,
                                                       uint64_t now) {
    const NodeId id = NodeIdOfTag(tag);
    if (entries_.size() >= max_entries_ && entries_.count(id) == 0) return nullptr;
    Registered& e = entries_[id];
    e = EntryOf(tag, address, port, local_address, local_port, now);
    return &e;
}

RendezvousServer::Registered RendezvousServer::EntryOf(const EndpointTag& tag, uint32_t address, uint16_t port,
                                                       uint32_t local_address, uint32_t local_port, uint64_t now) {
    Registered e;
    e.tag = tag;
    e.observed_address = address;
    e.observed_port = port;
    e.local_address = local_address;
    e.local_port = uint16_t(local_port <= 65535 ? local_port : 0);
    e.last_seen = now;
    return e;
}

void RendezvousServer::Report(uint32_t address, uint16_t port) {
    const auto m = BuildAddressReport(AddressReport{address, port});
    send_(m.data(), m.size(), address, port);
}

void RendezvousServer::OnRegistration(const Registration& r, uint32_t address, uint16_t port, uint64_t now) {
    if (!Record(r.tag, address, port, r.local_address, r.local_port, now)) {
        // No report: the engine registers again at its next keep-alive.
        log_("table full: register " + FormatNodeId(NodeIdOfTag(r.tag)) + " from " + FormatEndpoint(address, port) +
             " refused");
        return;
    }
    log_("register " + FormatNodeId(NodeIdOfTag(r.tag)) + " from " + FormatEndpoint(address, port) + " local " +
         FormatEndpoint(r.local_address, r.local_port));
    Report(address, port);
}

// A keep-alive names no one: it refreshes whoever registered from that
// address and port. An unknown sender gets no report, so it registers again.
void RendezvousServer::OnKeepAlive(uint32_t address, uint16_t port, uint64_t now) {
    bool known = false;
    for (auto& [id, e] : entries_) {
        if (e.observed_address == address && e.observed_port == port) {
            e.last_seen = now;
            known = true;
        }
    }
    log_(std::string(known ? "keepalive " : "keepalive from unknown ") + FormatEndpoint(address, port));
    if (known) Report(address, port);
}

const RendezvousServer::Registered* RendezvousServer::FindByPlaceholder(const NodeId& placeholder) const {
    const uint32_t address = PlaceholderAddress(placeholder);
    const uint16_t port = PlaceholderPort(placeholder);
    for (const auto& [id, e] : entries_) {
        const bool address_matches = e.observed_address == address || e.local_address == address;
        const bool port_matches = e.local_port == port || e.observed_port == port;
        if (address_matches && port_matches) return &e;
    }
    return nullptr;
}

void RendezvousServer::OnConnectRequest(const ConnectRequest& r, uint32_t address, uint16_t port, uint64_t now) {
    // While the table is full a newcomer is answered without being kept.
    const Registered* recorded = Record(r.tag, address, port, r.local_address, r.local_port, now);
    const Registered requester =
        recorded ? *recorded : EntryOf(r.tag, address, port, r.local_address, r.local_port, now);
    ConnectReply reply;
    reply.tag = r.tag;
    reply.request = r.request;
    size_t found = 0, found_by_placeholder = 0;
    for (const ConnectEntry& target : r.targets) {
        const bool by_placeholder = IsPlaceholderId(target.id);
        const Registered* e = by_placeholder ? FindByPlaceholder(target.id) : Find(target.id);
        if (!e || NodeIdOfTag(e->tag) == NodeIdOfTag(requester.tag)) continue;
        ++found;
        if (by_placeholder) ++found_by_placeholder;
        // Two engines behind the same NAT meet at their local addresses.
        const bool same_nat = e->observed_address == requester.observed_address;
        const uint32_t target_address = same_nat ? e->local_address : e->observed_address;
        const uint16_t target_port = same_nat ? e->local_port : e->observed_port;
        if (by_placeholder) reply.entries.push_back(ConnectEntry{target.address, kMarkerPort, target.id});
        reply.entries.push_back(ConnectEntry{target_address, target_port, NodeIdOfTag(e->tag)});
        PunchRequest punch;
        punch.requester = requester.tag;
        punch.address = same_nat ? requester.local_address : requester.observed_address;
        punch.port = same_nat ? requester.local_port : requester.observed_port;
        const auto m = BuildPunchRequest(punch);
        send_(m.data(), m.size(), e->observed_address, e->observed_port);
        log_("punch-request to " + FormatNodeId(NodeIdOfTag(e->tag)) + " at " +
             FormatEndpoint(e->observed_address, e->observed_port) + " for " + FormatEndpoint(punch.address, punch.port));
    }
    const std::vector<uint8_t> m = BuildConnectReply(reply);
    send_(m.data(), m.size(), address, port);
    log_("connect-request " + std::to_string(r.request) + " from " + FormatNodeId(NodeIdOfTag(r.tag)) + " at " +
         FormatEndpoint(address, port) + ": " + std::to_string(found) + " of " + std::to_string(r.targets.size()) +
         " found (" + std::to_string(found_by_placeholder) + " by placeholder)");
}

void RendezvousServer::Expire(uint64_t now) {
    for (auto it = entries_.begin(); it != entries_.end();) {
        if (now - it->second.last_seen > expire_seconds_) {
            log_("expire " + FormatNodeId(it->first) + " at " +
                 FormatEndpoint(it->second.observed_address, it->second.observed_port));
            it = entries_.erase(it);
        } else {
            ++it;
        }
    }
}

}  // namespace zl
