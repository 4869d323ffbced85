#include "engine/udp/endpoint_tag.h"

#include <cstring>

#include "engine/base/text.h"

namespace zl {

EndpointTag TagOfNodeId(const NodeId& id) {
    EndpointTag tag{};
    std::memcpy(tag.data(), id.data(), 8);
    tag[8] = 'U';
    tag[9] = 'D';
    tag[10] = 'P';
    tag[11] = '0';
    return tag;
}

NodeId NodeIdOfTag(const EndpointTag& tag) {
    NodeId id;
    std::memcpy(id.data(), tag.data(), 8);
    return id;
}

NodeId NormaliseLocalNodeId(NodeId id) {
    if (id[0] == 0) id[0] = 1;
    if (id[1] == 0) id[1] = 2;
    return id;
}

NodeId PlaceholderId(uint32_t address, uint16_t port) {
    NodeId id{};
    std::memcpy(id.data() + 2, &address, 4);
    id[6] = uint8_t(port >> 8);
    id[7] = uint8_t(port);
    return id;
}

bool IsPlaceholderId(const NodeId& id) { return id[0] == 0 && id[1] == 0; }

uint32_t PlaceholderAddress(const NodeId& id) {
    if (!IsPlaceholderId(id)) return 0;
    uint32_t address;
    std::memcpy(&address, id.data() + 2, 4);
    return address;
}

uint16_t PlaceholderPort(const NodeId& id) {
    if (!IsPlaceholderId(id)) return 0;
    return uint16_t(id[6] << 8 | id[7]);
}

std::string FormatNodeId(const NodeId& id) {
    return HexEncode(id);
}

}  // namespace zl
