#include "engine/net/tracker_udp.h"

#include <cstring>

namespace zl {
namespace {

constexpr uint8_t kProtocolId[8] = {0x00, 0x00, 0x04, 0x17, 0x27, 0x10, 0x19, 0x80};

void PutBig(uint8_t* at, uint64_t value, int bytes) {
    for (int i = bytes - 1; i >= 0; --i) {
        at[i] = static_cast<uint8_t>(value);
        value >>= 8;
    }
}

uint32_t GetBig32(const uint8_t* at) {
    return uint32_t(at[0]) << 24 | uint32_t(at[1]) << 16 | uint32_t(at[2]) << 8 | at[3];
}

uint64_t NonNegative(int64_t v) { return v < 0 ? 0 : static_cast<uint64_t>(v); }

}  // namespace

UdpTransaction UdpTransactionOf(uint32_t counter) {
    UdpTransaction t;
    std::memcpy(t.data(), &counter, 4);
    return t;
}

std::array<uint8_t, kUdpConnectSize> BuildUdpConnect(const UdpTransaction& transaction) {
    std::array<uint8_t, kUdpConnectSize> out{};
    std::memcpy(out.data(), kProtocolId, 8);
    PutBig(out.data() + 8, 0, 4);  // action: connect
    std::memcpy(out.data() + 12, transaction.data(), 4);
    return out;
}

std::array<uint8_t, kUdpAnnounceSize> BuildUdpAnnounce(const UdpAnnounceFigures& f) {
    std::array<uint8_t, kUdpAnnounceSize> out{};
    uint8_t* p = out.data();
    std::memcpy(p, f.connection.data(), 8);
    PutBig(p + 8, 1, 4);  // action: announce
    std::memcpy(p + 12, f.transaction.data(), 4);
    std::memcpy(p + 16, f.info_hash.data(), 20);
    std::memcpy(p + 36, f.peer_id.data(), 20);
    PutBig(p + 56, NonNegative(f.downloaded), 8);
    PutBig(p + 64, NonNegative(f.left), 8);
    PutBig(p + 72, NonNegative(f.uploaded), 8);
    PutBig(p + 80, 2, 4);  // event: started
    std::memcpy(p + 84, &f.address, 4);  // already in network order
    PutBig(p + 88, 0, 4);    // key
    PutBig(p + 92, 200, 4);  // num_want
    PutBig(p + 96, f.port, 2);
    // Bytes 98..103 stay zero.
    return out;
}

UdpTrackerDatagram ReadUdpTrackerDatagram(const uint8_t* data, size_t length, bool connecting,
                                          const UdpTransaction& connect_transaction, bool announcing,
                                          const UdpTransaction& announce_transaction) {
    UdpTrackerDatagram result;
    if (!data || length < 8) return result;
    const uint32_t action = GetBig32(data);
    if (action == 0 && connecting && length >= kUdpConnectAnswerSize &&
        std::memcmp(data + 4, connect_transaction.data(), 4) == 0) {
        result.kind = UdpTrackerDatagram::Kind::kConnected;
        std::memcpy(result.connection.data(), data + 8, 8);
    } else if (action == 1 && announcing && length >= kUdpAnnounceAnswerHeader &&
               std::memcmp(data + 4, announce_transaction.data(), 4) == 0) {
        result.kind = UdpTrackerDatagram::Kind::kAnnounced;
        result.interval = TrackerIntervalOf(GetBig32(data + 8), true);
        AppendCompactPeers(data + kUdpAnnounceAnswerHeader, length - kUdpAnnounceAnswerHeader, &result.peers);
    }
    return result;
}

}  // namespace zl
