// The task's BitTorrent identity: its peer id and the 68-byte handshake
// header (the byte 19, "BitTorrent protocol", 8 zero bytes, the info hash,
// the peer id). Built by the task (SetupIdentity of TWorkWithPieces) once the
// metainfo is loaded and whenever the task is activated; kept by the peer
// layer (TWorkWithPeers), cleared by its Reset.
#pragma once
#include <array>
#include <cstdint>
#include <string>

#include "engine/net/peer_id.h"

namespace zl {

inline constexpr size_t kHandshakeHeaderSize = 68;
using HandshakeHeader = std::array<uint8_t, kHandshakeHeaderSize>;
using InfoHash = std::array<uint8_t, 20>;
using NodeIdentityBytes = std::array<uint8_t, 16>;

// What makes the peer id differ between tasks, threads and runs.
struct PeerIdSeed {
    std::string announce;      // the metainfo's announce URL
    uint64_t thread_handle = 0;
    uint64_t task_address = 0;
    uint64_t tick_ms = 0;
    uint32_t local_address = 0;  // network order, written as its decimal value
};

// The node identity as the UDP stream names the engine: a zero first byte
// becomes 1 and a zero second byte becomes 2, so that no engine's id looks like
// an address placeholder. Peer ids carry it in this form, so the id a peer
// reads from our peer id is the one the rendezvous service knows us by.
NodeIdentityBytes NormaliseNodeIdentity(NodeIdentityBytes identity);

// 0x00 0x01 'Z' 'l', then the MD5 of the seed texts; bytes 8..19 are the
// first 12 bytes of the engine's (normalised) node identity.
PeerIdBytes BuildPeerId(const PeerIdSeed& seed, const NodeIdentityBytes& node_identity);
HandshakeHeader BuildHandshakeHeader(const InfoHash& info_hash, const PeerIdBytes& peer_id);

class HandshakeIdentity {
public:
    // Builds the header unless it is built already; needs loaded metainfo and a
    // non-zero info hash. True when the header is built (now or before).
    bool Setup(bool metainfo_loaded, const InfoHash& info_hash, const PeerIdSeed& seed,
               const NodeIdentityBytes& node_identity);
    bool Built() const { return header_[0] == 19; }
    const HandshakeHeader& header() const { return header_; }
    PeerIdBytes peer_id() const;
    void Clear() { header_.fill(0); }

private:
    HandshakeHeader header_{};
};

bool IsZeroInfoHash(const InfoHash& info_hash);

}  // namespace zl
