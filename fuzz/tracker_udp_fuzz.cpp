// Feeds arbitrary datagrams to the UDP tracker reader in every exchange
// state; the first byte chooses the state, the next four the transaction.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "engine/net/address.h"
#include "engine/net/tracker_udp.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 5) return 0;
    const bool connecting = data[0] & 1;
    const bool announcing = data[0] & 2;
    zl::UdpTransaction t;
    std::memcpy(t.data(), data + 1, 4);
    const zl::UdpTrackerDatagram d = zl::ReadUdpTrackerDatagram(data + 5, size - 5, connecting, t, announcing, t);
    using Kind = zl::UdpTrackerDatagram::Kind;
    if (d.kind == Kind::kConnected && (!connecting || size - 5 < zl::kUdpConnectAnswerSize)) std::abort();
    if (d.kind == Kind::kAnnounced && (!announcing || size - 5 < zl::kUdpAnnounceAnswerHeader)) std::abort();
    if (d.kind != Kind::kAnnounced && !d.peers.empty()) std::abort();
    if (d.peers.size() > (size - 5) / 6) std::abort();
    for (const zl::TrackerPeerEntry& peer : d.peers)
        if (!zl::IsValidAddress(peer.address) || peer.port == 0) std::abort();
    return 0;
}
