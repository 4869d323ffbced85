// Which consumer of the engine's UDP socket a datagram belongs to: a KRPC
// message (a bencoded dictionary: longer than 8 bytes, first byte 'd') goes
// to the DHT, everything else (UDP stream segments, rendezvous traffic) to
// the UDP stream transport.
#pragma once
#include <cstddef>
#include <cstdint>

#include "engine/udp/udp_consumers.h"

namespace zl {

enum class UdpRoute { kDht, kStream };

UdpRoute RouteDatagram(const uint8_t* data, size_t length);

// Hands one datagram (at least one byte) to its consumer. False when it is
// dropped: its consumer is missing, or it is stream traffic while the
// transport is suspended.
bool DispatchDatagram(const uint8_t* data, size_t length, uint32_t address, uint16_t port,
                      IUdpDhtConsumer* dht, IUdpStreamConsumer* stream, bool transport_suspended);

}  // namespace zl
