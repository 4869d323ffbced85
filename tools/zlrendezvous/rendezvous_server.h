// The rendezvous server's logic, apart from its socket so that tests can run
// it on a simulated network. Engines register with their observed (external)
// and local addresses; keep-alives are answered with address reports; a
// connect request is answered with the targets the server knows (a marker
// before each target that was named by placeholder) and each found target is
// asked to punch a hole towards the requester. Entries idle longer than the
// expiry are dropped.
#pragma once
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <string>

#include "engine/udp/endpoint_tag.h"
#include "engine/udp/rendezvous_messages.h"

namespace zl {

class RendezvousServer {
public:
    using SendFn = std::function<void(const uint8_t* data, size_t length, uint32_t address, uint16_t port)>;
    using LogFn = std::function<void(const std::string& line)>;

    struct Registered {
        EndpointTag tag{};
        uint32_t observed_address = 0;  // network order
        uint16_t observed_port = 0;
        uint32_t local_address = 0;
        uint16_t local_port = 0;
        uint64_t last_seen = 0;  // seconds
    };

    // Registration costs a sender nothing (its address may be spoofed), so
    // the table is bounded: while it is full, only engines it already holds
    // are recorded, and a newcomer's connect request is answered without
    // keeping it.
    static constexpr size_t kDefaultMaxEntries = 262144;

    RendezvousServer(SendFn send, LogFn log, uint64_t expire_seconds = 180,
                     size_t max_entries = kDefaultMaxEntries);

    void OnDatagram(const uint8_t* data, size_t length, uint32_t address, uint16_t port, uint64_t now_seconds);
    void Expire(uint64_t now_seconds);

    size_t size() const { return entries_.size(); }
    const Registered* Find(const NodeId& id) const;

private:
    void OnRegistration(const rendezvous::Registration& r, uint32_t address, uint16_t port, uint64_t now);
    void OnKeepAlive(uint32_t address, uint16_t port, uint64_t now);
    void OnConnectRequest(const rendezvous::ConnectRequest& r, uint32_t address, uint16_t port, uint64_t now);
    const Registered* FindByPlaceholder(const NodeId& placeholder) const;
    void Report(uint32_t address, uint16_t port);
    static Registered EntryOf(const EndpointTag& tag, uint32_t address, uint16_t port, uint32_t local_address,
                              uint32_t local_port, uint64_t now);
    // Null when the tag is new and the table full.
    Registered* Record(const EndpointTag& tag, uint32_t address, uint16_t port, uint32_t local_address,
                       uint32_t local_port, uint64_t now);

    SendFn send_;
    LogFn log_;
    uint64_t expire_seconds_;
    size_t max_entries_;
    std::map<NodeId, Registered> entries_;
};

std::string FormatEndpoint(uint32_t address, uint32_t port);

}  // namespace zl
