// The 56-byte datagram engines exchange on the local network to find peers
// of the same torrent without a tracker: a zero word, the sender's published
// address and port, a flag (0 announcement, 1 reply), the info hash of the
// sender's task and its peer id.
#pragma once
#include <array>
#include <cstddef>
#include <cstdint>

namespace zl {

inline constexpr size_t kLanDatagramSize = 56;
inline constexpr uint16_t kLanPort = 31576;

struct LanDatagram {
    uint32_t address = 0;  // network order, as the sender published it
    uint16_t port = 0;     // host order
    bool reply = false;
    std::array<uint8_t, 20> info_hash{};
    std::array<uint8_t, 20> peer_id{};
};

std::array<uint8_t, kLanDatagramSize> EncodeLanDatagram(const LanDatagram& datagram);

// False unless the bytes are exactly one datagram with a zero first word.
bool DecodeLanDatagram(const uint8_t* data, size_t size, LanDatagram* out);

}  // namespace zl
