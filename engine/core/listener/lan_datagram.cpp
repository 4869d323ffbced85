#include "engine/core/listener/lan_datagram.h"

#include <cstring>

namespace zl {
namespace {

uint32_t ReadBig32(const uint8_t* p) {
    return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | uint32_t(p[3]);
}

}  // namespace

std::array<uint8_t, kLanDatagramSize> EncodeLanDatagram(const LanDatagram& d) {
    std::array<uint8_t, kLanDatagramSize> out{};
    std::memcpy(out.data() + 4, &d.address, 4);  // already in network order
    out[8] = static_cast<uint8_t>(d.port >> 8);
    out[9] = static_cast<uint8_t>(d.port);
    out[15] = d.reply ? 1 : 0;
    std::memcpy(out.data() + 16, d.info_hash.data(), 20);
    std::memcpy(out.data() + 36, d.peer_id.data(), 20);
    return out;
}

bool DecodeLanDatagram(const uint8_t* data, size_t size, LanDatagram* out) {
    if (!data || size != kLanDatagramSize || !out) return false;
    if (ReadBig32(data) != 0) return false;
    LanDatagram d;
    std::memcpy(&d.address, data + 4, 4);
    d.port = static_cast<uint16_t>((data[8] << 8) | data[9]);
    d.reply = ReadBig32(data + 12) == 1;  // any other flag asks for a reply
    std::memcpy(d.info_hash.data(), data + 16, 20);
    std::memcpy(d.peer_id.data(), data + 36, 20);
    *out = d;
    return true;
}

}  // namespace zl
