// Packets of the UDP stream transport. Every packet starts with a 32-byte
// header of big-endian words:
//   0 total length, 4 checksum, 8 connection id, 12 sequence, 16 type,
//   20 the receiver's EndpointTag (12 bytes).
// The checksum is zlib's Adler-32 of bytes 32 to the end, started with the
// connection id instead of 1. Control packets are 64 bytes; DATA carries its
// payload from offset 64.
#pragma once
#include <cstddef>
#include <cstdint>

#include "engine/udp/endpoint_tag.h"
#include "engine/udp/wire_bytes.h"

namespace zl::udpstream {

inline constexpr size_t kHeaderSize = 32;
inline constexpr size_t kControlSize = 64;
inline constexpr size_t kDataHeaderSize = 64;
inline constexpr int kWindow = 12;                 // segments in flight, per direction
inline constexpr uint32_t kSegmentSize = 1320;     // payload bytes
inline constexpr uint32_t kSmallSegmentSize = 660; // above 30 % estimated loss
inline constexpr size_t kMaxPacketSize = kDataHeaderSize + kSegmentSize;
// A send slot's buffer: the whole packet plus the spare the stored form keeps.
inline constexpr size_t kSendBufferSpare = 12;

enum PacketType : uint32_t {
    kSyn = 1,
    kData = 2,
    kRefuse = 3,
    kAck = 16,
    kSynAck = 0x10001,
    kKeepalive = 0x10002,
    kClose = 0x80000000,
    kDataAck = 0x80000002,
    kConfirm = 0x80010001,
};

// Types with the top bit set carry the sending stream's peer sequence; the
// others its own sequence, counted up before each packet.
inline bool CarriesPeerSequence(uint32_t type) { return (type & 0x80000000u) != 0; }

// Header offsets.
inline constexpr size_t kLengthAt = 0;
inline constexpr size_t kChecksumAt = 4;
inline constexpr size_t kConnectionAt = 8;
inline constexpr size_t kSequenceAt = 12;
inline constexpr size_t kTypeAt = 16;
inline constexpr size_t kReceiverTagAt = 20;

// Writes the header words (length, connection id, sequence, type, receiver
// tag); the checksum is written last by Seal.
void WriteHeader(uint8_t* packet, uint32_t length, uint32_t connection_id, uint32_t sequence, uint32_t type,
                 const EndpointTag& receiver);
// Computes and stores the checksum over bytes 32..length.
void Seal(uint8_t* packet, uint32_t length);
uint32_t ChecksumOf(const uint8_t* packet, uint32_t length, uint32_t connection_id);

// A received datagram that passed the transport's first checks: at least 64
// bytes, its length field equal to the datagram length, addressed to `local`
// (bytes 20..27), a non-zero connection id and a matching checksum.
bool IsValidPacket(const WireView& packet, const NodeId& local);

}  // namespace zl::udpstream
