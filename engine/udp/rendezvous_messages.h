// The messages between engines and the rendezvous server, and the punch
// packet engines send each other. Words are 32-bit big-endian, addresses IPv4
// in network order. Messages to and from the server start with 12 zero bytes
// (a connect reply with a non-positive first word), so that they never look
// like transport packets, whose first word is their length.
//
//   registration   engine -> server, 64 bytes: type 2, tag, request number,
//                  local address, local UDP port
//   keep-alive     engine -> server, 8 zero bytes
//   address report server -> engine, 8 bytes: external address, external port
//   connect request engine -> server, 48 + 16 n bytes (n = 1..13): type 3, tag,
//                  request number, local address and port, 1, n, then per
//                  target {address, 0, node id}
//   connect reply  server -> engine, >= 64 bytes: type 0x80000003, the
//                  requester's tag, request number, n, then per target
//                  {external address, external port, node id}; an entry with
//                  port 0xFFFFFFFF and a placeholder id is a marker whose
//                  following entry answers for that placeholder
//   punch request  server -> engine, 32 bytes: 0x33333333, the requester's tag,
//                  any, its external address, its external port, any
//   punch          engine -> engine, 48 bytes: 20 zero bytes, the receiver's
//                  tag, the sender's local UDP port (16-bit), 0, the sender's tag
#pragma once
#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "engine/udp/endpoint_tag.h"
#include "engine/udp/wire_bytes.h"

namespace zl::rendezvous {

inline constexpr uint32_t kRegisterType = 2;
inline constexpr uint32_t kConnectType = 3;
inline constexpr uint32_t kConnectReplyType = 0x80000003;
inline constexpr uint32_t kPunchRequestMagic = 0x33333333;
inline constexpr uint32_t kMarkerPort = 0xFFFFFFFF;

inline constexpr size_t kRegistrationSize = 64;
inline constexpr size_t kKeepAliveSize = 8;
inline constexpr size_t kAddressReportSize = 8;
inline constexpr size_t kConnectHeaderSize = 48;
inline constexpr size_t kEntrySize = 16;
inline constexpr size_t kBatchLimit = 256;  // a batch this long is sent before another entry is added
inline constexpr size_t kMaxBatchEntries = (kBatchLimit - kConnectHeaderSize) / kEntrySize;  // 13
inline constexpr size_t kMinReplySize = 64;
inline constexpr size_t kPunchRequestSize = 32;
inline constexpr size_t kPunchSize = 48;

struct Registration {
    EndpointTag tag{};
    uint32_t request = 0;
    uint32_t local_address = 0;
    uint32_t local_port = 0;
};
std::array<uint8_t, kRegistrationSize> BuildRegistration(const Registration& r);
bool ParseRegistration(const WireView& m, Registration* out);

struct AddressReport {
    uint32_t address = 0;  // network order
    uint32_t port = 0;
};
std::array<uint8_t, kAddressReportSize> BuildAddressReport(const AddressReport& r);
bool ParseAddressReport(const WireView& m, AddressReport* out);

bool IsKeepAlive(const WireView& m);

struct ConnectEntry {
    uint32_t address = 0;  // network order
    uint32_t port = 0;     // 0 in requests; kMarkerPort in a reply's marker
    NodeId id{};
};

struct ConnectRequest {
    EndpointTag tag{};
    uint32_t request = 0;
    uint32_t local_address = 0;
    uint32_t local_port = 0;
    std::vector<ConnectEntry> targets;
};
// Accepts 1..13 entries that fit the datagram.
bool ParseConnectRequest(const WireView& m, ConnectRequest* out);

// The engine's pending batch: at most 256 bytes in use, grown an entry at a time.
class ConnectBatch {
public:
    bool empty() const { return length_ == 0; }
    size_t length() const { return length_; }
    size_t entries() const { return length_ == 0 ? 0 : (length_ - kConnectHeaderSize) / kEntrySize; }
    const uint8_t* data() const { return bytes_.data(); }
    // True when no further entry may be added before the batch is sent.
    bool Full() const { return length_ >= kBatchLimit; }
    void Start(const EndpointTag& tag, uint32_t request, uint32_t local_address, uint32_t local_port);
    void Add(uint32_t address, const NodeId& id);  // no-op when empty() or Full()
    uint32_t request() const;
    void Clear() { length_ = 0; }

private:
    std::array<uint8_t, kBatchLimit> bytes_{};
    size_t length_ = 0;
};

struct ConnectReply {
    EndpointTag tag{};
    uint32_t request = 0;
    std::vector<ConnectEntry> entries;
};
std::vector<uint8_t> BuildConnectReply(const ConnectReply& r);
// Checks the type and that the entry count fits the datagram (0 <= n <=
// (length - 48) / 16, so a huge or negative count is refused, not wrapped).
bool ParseConnectReply(const WireView& m, ConnectReply* out);

// One answer of a reply: the id the requester searched for (a real id, or the
// placeholder a marker named) and where that target is.
struct ResolvedTarget {
    NodeId searched{};
    ConnectEntry target;
};
inline bool IsMarker(const ConnectEntry& e) { return e.port == kMarkerPort && IsPlaceholderId(e.id); }
// Pairs each marker with the entry after it; a marker with no entry after it
// is ignored.
std::vector<ResolvedTarget> ResolveReply(const std::vector<ConnectEntry>& entries);

struct PunchRequest {
    EndpointTag requester{};
    uint32_t address = 0;  // the requester's external address
    uint32_t port = 0;     // its external port
};
std::array<uint8_t, kPunchRequestSize> BuildPunchRequest(const PunchRequest& r);
bool ParsePunchRequest(const WireView& m, PunchRequest* out);

struct Punch {
    EndpointTag receiver{};
    uint16_t sender_port = 0;  // the sender's local UDP port
    EndpointTag sender{};
};
std::array<uint8_t, kPunchSize> BuildPunch(const Punch& p);
bool ParsePunch(const WireView& m, Punch* out);

}  // namespace zl::rendezvous
