// One known DHT node, and the compact forms of nodes and peers on the wire:
// compact node info = id (20) + IPv4 address (4, network order) + port (2,
// big-endian); compact peer info = address (4) + port (2).
#pragma once
#include <cstdint>
#include <string>
#include <string_view>

#include "engine/udp/kad_id.h"

namespace zl {

inline constexpr size_t kCompactNodeSize = 26;
inline constexpr size_t kCompactPeerSize = 6;

struct KadNode {
    KadId id;
    int32_t failures = 0;      // pings and queries unanswered since the last answer
    uint32_t address = 0;      // IPv4, network order
    uint16_t port = 0;         // host order
    uint64_t last_answer = 0;  // engine seconds of the last answer; 0 = never
    bool unanswered = true;    // it has not answered us (or failed more than twice)

    KadNode() = default;
    KadNode(const KadId& node_id, uint32_t node_address, uint16_t node_port)
        : id(node_id), address(node_address), port(node_port) {}

    bool Usable() const { return address != 0 && port != 0 && !id.IsZero(); }
    // Same node: same id and address.
    bool SameAs(const KadNode& o) const { return id == o.id && address == o.address; }
    bool SameEndpoint(const KadNode& o) const { return address == o.address && port == o.port; }
    void MarkAnswered(uint64_t now) {
        last_answer = now;
        failures = 0;
        unanswered = false;
    }
};

// Appends the 26-byte compact node info.
void AppendCompactNode(std::string& out, const KadNode& node);
// Reads one compact node info (26 bytes) into a fresh (unanswered) node.
KadNode ReadCompactNode(const uint8_t* bytes);
// Appends the 6-byte compact peer info.
void AppendCompactPeer(std::string& out, uint32_t address, uint16_t port);
// The endpoint of a 6-byte compact peer info.
void ReadCompactPeer(const uint8_t* bytes, uint32_t* address, uint16_t* port);

}  // namespace zl
