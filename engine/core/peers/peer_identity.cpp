#include "engine/core/peers/peer_identity.h"

#include <algorithm>
#include <cstring>

#include "engine/meta/md5.h"

namespace zl {

NodeIdentityBytes NormaliseNodeIdentity(NodeIdentityBytes identity) {
    if (identity[0] == 0) identity[0] = 1;
    if (identity[1] == 0) identity[1] = 2;
    return identity;
}

PeerIdBytes BuildPeerId(const PeerIdSeed& seed, const NodeIdentityBytes& node_identity) {
    Md5 md5;
    const std::string text = seed.announce + std::to_string(seed.thread_handle) + std::to_string(seed.task_address) +
                             std::to_string(seed.tick_ms) + std::to_string(seed.local_address);
    md5.Update(text.data(), text.size());
    const Md5Digest digest = md5.Final();
    PeerIdBytes id{};
    TPeerId::SetOwnClientPrefix(&id);
    std::memcpy(id.data() + 4, digest.data(), 16);
    std::memcpy(id.data() + 8, NormaliseNodeIdentity(node_identity).data(), 12);
    return id;
}

HandshakeHeader BuildHandshakeHeader(const InfoHash& info_hash, const PeerIdBytes& peer_id) {
    static const char kProtocol[] = "BitTorrent protocol";
    HandshakeHeader h{};
    h[0] = 19;
    std::memcpy(h.data() + 1, kProtocol, 19);
    std::memcpy(h.data() + 28, info_hash.data(), 20);
    std::memcpy(h.data() + 48, peer_id.data(), 20);
    return h;
}

bool IsZeroInfoHash(const InfoHash& info_hash) {
    return std::all_of(info_hash.begin(), info_hash.end(), [](uint8_t b) { return b == 0; });
}

bool HandshakeIdentity::Setup(bool metainfo_loaded, const InfoHash& info_hash, const PeerIdSeed& seed,
                         const NodeIdentityBytes& node_identity) {
    if (Built()) return true;
    if (!metainfo_loaded || IsZeroInfoHash(info_hash)) return false;
    header_ = BuildHandshakeHeader(info_hash, BuildPeerId(seed, node_identity));
    return true;
}

PeerIdBytes HandshakeIdentity::peer_id() const {
    PeerIdBytes id{};
    std::memcpy(id.data(), header_.data() + 48, 20);
    return id;
}

}  // namespace zl
