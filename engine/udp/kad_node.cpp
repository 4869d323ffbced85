#include "engine/udp/kad_node.h"

#include <cstring>

namespace zl {

void AppendCompactNode(std::string& out, const KadNode& node) {
    uint8_t id[kKadIdSize];
    node.id.ToBytes(id);
    out.append(reinterpret_cast<const char*>(id), kKadIdSize);
    AppendCompactPeer(out, node.address, node.port);
}

KadNode ReadCompactNode(const uint8_t* bytes) {
    KadNode node;
    node.id = KadId::FromBytes(bytes);
    ReadCompactPeer(bytes + kKadIdSize, &node.address, &node.port);
    return node;
}

void AppendCompactPeer(std::string& out, uint32_t address, uint16_t port) {
    char b[kCompactPeerSize];
    std::memcpy(b, &address, 4);  // already in network order
    b[4] = char(port >> 8);
    b[5] = char(port & 0xFF);
    out.append(b, sizeof b);
}

void ReadCompactPeer(const uint8_t* bytes, uint32_t* address, uint16_t* port) {
    std::memcpy(address, bytes, 4);
    *port = uint16_t(uint16_t(bytes[4]) << 8 | bytes[5]);
}

}  // namespace zl
