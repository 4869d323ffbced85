// The UDP tracker exchange (BEP 15): the 16-byte connect request, the
// 104-byte announce request and the reading of the tracker's datagrams.
// Fields are big-endian except the transaction ids, which are written as the
// sender's counter bytes and only ever compared.
#pragma once
#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "engine/net/tracker_answer.h"

namespace zl {

inline constexpr size_t kUdpConnectSize = 16;
inline constexpr size_t kUdpAnnounceSize = 104;
inline constexpr size_t kUdpConnectAnswerSize = 16;
inline constexpr size_t kUdpAnnounceAnswerHeader = 20;

using UdpTransaction = std::array<uint8_t, 4>;
using UdpConnectionId = std::array<uint8_t, 8>;

UdpTransaction UdpTransactionOf(uint32_t counter);
std::array<uint8_t, kUdpConnectSize> BuildUdpConnect(const UdpTransaction& transaction);

struct UdpAnnounceFigures {
    UdpConnectionId connection{};
    UdpTransaction transaction{};
    std::array<uint8_t, 20> info_hash{};
    PeerIdBytes peer_id{};
    int64_t downloaded = 0;
    int64_t left = 0;
    int64_t uploaded = 0;
    uint32_t address = 0;  // network order, 0: the tracker uses the sender's
    uint16_t port = 0;
};
std::array<uint8_t, kUdpAnnounceSize> BuildUdpAnnounce(const UdpAnnounceFigures& f);

struct UdpTrackerDatagram {
    enum class Kind { kIgnored, kConnected, kAnnounced } kind = Kind::kIgnored;
    UdpConnectionId connection{};
    int32_t interval = kDefaultTrackerInterval;
    std::vector<TrackerPeerEntry> peers;
};

// A connect answer counts while `connecting` and with the connect's
// transaction; an announce answer while `announcing` and with the
// announce's. Anything else, and any datagram shorter than its kind needs
// (16 bytes for a connect answer, 20 for an announce answer), is ignored.
UdpTrackerDatagram ReadUdpTrackerDatagram(const uint8_t* data, size_t length, bool connecting,
                                          const UdpTransaction& connect_transaction, bool announcing,
                                          const UdpTransaction& announce_transaction);

}  // namespace zl
