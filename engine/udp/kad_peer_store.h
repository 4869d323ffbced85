// Peers that other nodes announced to us, per info hash, each with the time
// of its last announce. Bounded: at most 100 peers per info hash, 1000 info
// hashes, and 16 entries (info hash and port pairs) per announcing address;
// a full store makes room by dropping the oldest announce. Used only on the
// DHT thread.
#pragma once
#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "engine/udp/kad_id.h"

namespace zl {

class KadPeerStore {
public:
    static constexpr size_t kMaxPeersPerHash = 100;
    static constexpr size_t kMaxInfoHashes = 1000;
    static constexpr size_t kMaxEntriesPerAddress = 16;
    static constexpr size_t kPeersPerAnswer = 50;
    static constexpr uint64_t kPeerLifeSeconds = 1800;
    static constexpr uint64_t kExpirePeriodSeconds = 180;

    void Store(const KadId& info_hash, uint32_t address, uint16_t port, uint64_t now);
    bool Has(const KadId& info_hash) const { return hashes_.count(info_hash) != 0; }
    // "6:valuesl" + up to 50 "6:<compact peer>" + "e"; empty when the info
    // hash is unknown. Beyond 50 peers, the first (now mod (count - 50)) in
    // key order are skipped, so repeated asks see different peers.
    std::string ValuesText(const KadId& info_hash, uint64_t now) const;
    // The same choice of peers as bare 6-byte compact peer infos.
    std::string PlainPeers(const KadId& info_hash, uint64_t now) const;
    // At most once every 180 s: drops announces 1800 s old or older and
    // info hashes left without peers. True when it ran.
    bool Expire(uint64_t now);
    void Clear();

    size_t InfoHashCount() const { return hashes_.size(); }
    size_t PeerCount() const { return peer_count_; }
    uint64_t PeersEverAdded() const { return added_; }

private:
    // A compact peer info read as a little-endian number: the key order.
    using PeerKey = uint64_t;
    struct HashEntry {
        std::map<PeerKey, uint64_t> peers;  // key -> time of last announce
        uint64_t latest = 0;
    };
    using HashMap = std::map<KadId, HashEntry>;

    std::vector<PeerKey> Chosen(const KadId& info_hash, uint64_t now) const;
    void Remove(HashMap::iterator hash, PeerKey key);
    void DropOldestOfAddress(uint32_t address);
    void DropStalestHash();

    HashMap hashes_;
    // Each announcing address's entries, for the per-address cap.
    std::map<uint32_t, std::vector<std::pair<KadId, PeerKey>>> by_address_;
    size_t peer_count_ = 0;
    uint64_t added_ = 0;
    uint64_t last_expire_ = 0;
    bool expired_once_ = false;
    size_t hashes_at_expiry_ = 0;
    size_t peers_at_expiry_ = 0;
};

}  // namespace zl
