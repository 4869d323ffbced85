#include "engine/udp/udp_demux.h"

namespace zl {

UdpRoute RouteDatagram(const uint8_t* data, size_t length) {
    return length > 8 && data && data[0] == 'd' ? UdpRoute::kDht : UdpRoute::kStream;
}

bool DispatchDatagram(const uint8_t* data, size_t length, uint32_t address, uint16_t port, IUdpDhtConsumer* dht,
                      IUdpStreamConsumer* stream, bool transport_suspended) {
    if (!data || length == 0) return false;
    if (RouteDatagram(data, length) == UdpRoute::kDht) {
        if (!dht) return false;
        dht->OnDhtDatagram(data, length, address, port);
        return true;
    }
    if (transport_suspended || !stream) return false;
    stream->OnStreamDatagram(data, length, address, port);
    return true;
}

}  // namespace zl
