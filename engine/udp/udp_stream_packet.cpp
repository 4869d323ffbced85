#include "engine/udp/udp_stream_packet.h"

#include <libdeflate.h>

#include <cstring>

namespace zl::udpstream {

void WriteHeader(uint8_t* packet, uint32_t length, uint32_t connection_id, uint32_t sequence, uint32_t type,
                 const EndpointTag& receiver) {
    StoreBe32(packet + kLengthAt, length);
    StoreBe32(packet + kChecksumAt, 0);
    StoreBe32(packet + kConnectionAt, connection_id);
    StoreBe32(packet + kSequenceAt, sequence);
    StoreBe32(packet + kTypeAt, type);
    std::memcpy(packet + kReceiverTagAt, receiver.data(), kEndpointTagSize);
}

uint32_t ChecksumOf(const uint8_t* packet, uint32_t length, uint32_t connection_id) {
    if (length <= kHeaderSize) return connection_id;
    // The same sums as zlib's adler32, started from the connection id.
    return libdeflate_adler32(connection_id, packet + kHeaderSize, length - kHeaderSize);
}

void Seal(uint8_t* packet, uint32_t length) {
    const WireView view(packet, length);
    StoreBe32(packet + kChecksumAt, ChecksumOf(packet, length, view.Be32(kConnectionAt)));
}

bool IsValidPacket(const WireView& packet, const NodeId& local) {
    if (packet.size() < kControlSize) return false;
    if (!packet.Equals(kReceiverTagAt, local.data(), local.size())) return false;
    const uint32_t connection = packet.Be32(kConnectionAt);
    if (connection == 0) return false;
    if (packet.Be32(kLengthAt) != packet.size()) return false;
    return packet.Be32(kChecksumAt) == ChecksumOf(packet.data(), uint32_t(packet.size()), connection);
}

}  // namespace zl::udpstream
