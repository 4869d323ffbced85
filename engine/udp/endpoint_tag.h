// The names of UDP stream endpoints. An engine's node id is 8 bytes; its
// EndpointTag is the id followed by "UDP" and the version character '0'.
// A connector that does not know the other end's id passes a placeholder:
// two zero bytes, the IPv4 address (network order) and the port (big-endian).
#pragma once
#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

namespace zl {

using NodeId = std::array<uint8_t, 8>;
// The same type the UDP server's start-up record names.
using EndpointTag = std::array<uint8_t, 12>;
inline constexpr size_t kEndpointTagSize = 12;

// Any id as a tag, placeholders included (the local tag is made from a
// normalised id).
EndpointTag TagOfNodeId(const NodeId& id);
NodeId NodeIdOfTag(const EndpointTag& tag);

// The local id as the UDP server forms it: a zero first byte becomes 1 and a
// zero second byte becomes 2, so no engine's id looks like a placeholder.
NodeId NormaliseLocalNodeId(NodeId id);

NodeId PlaceholderId(uint32_t address, uint16_t port);
bool IsPlaceholderId(const NodeId& id);
// The address and port a placeholder names (both 0 for a real id).
uint32_t PlaceholderAddress(const NodeId& id);
uint16_t PlaceholderPort(const NodeId& id);

std::string FormatNodeId(const NodeId& id);  // 16 lowercase hex digits

}  // namespace zl
