#include "engine/net/peer_id.h"

#include <cstring>

namespace zl {

TSourceAddress& TPeerId::Source() {
    if (!source_) source_ = std::make_unique<TSourceAddress>();
    return *source_;
}

TPeerId* TPeerId::CopyOf(const TPeerId& other) {
    auto* copy = new TPeerId(other.text);
    copy->parsed = other.parsed;
    copy->resolve_failed = other.resolve_failed;
    copy->port = other.port;
    copy->order_key = other.order_key;
    copy->peer_id = other.peer_id;
    copy->address = other.address;
    copy->kind = other.kind;
    copy->tracker_over_tcp = other.tracker_over_tcp;
    copy->max_connections = other.max_connections;
    copy->metainfo_source = other.metainfo_source;
    if (other.source_) copy->source_ = std::make_unique<TSourceAddress>(*other.source_);
    return copy;
}

PeerIdBytes TPeerId::NodePeerId(uint32_t address, uint16_t port) {
    PeerIdBytes id{};
    std::memcpy(id.data() + 14, &address, 4);
    id[18] = static_cast<uint8_t>(port >> 8);
    id[19] = static_cast<uint8_t>(port & 0xFF);
    return id;
}

bool TPeerId::IsOwnClientPeerId(const PeerIdBytes& id) {
    return id[16] == 'U' && id[17] == 'D' && id[18] == 'P';
}

void TPeerId::SetOwnClientPrefix(PeerIdBytes* id) {
    (*id)[0] = 0x00;
    (*id)[1] = 0x01;
    (*id)[2] = 'Z';
    (*id)[3] = 'l';
}

}  // namespace zl
