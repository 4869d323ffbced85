#include "engine/udp/kad_peer_store.h"

#include <algorithm>
#include <cstring>

#include "engine/udp/kad_node.h"

namespace zl {

namespace {
uint64_t KeyOf(uint32_t address, uint16_t port) {
    std::string compact;
    AppendCompactPeer(compact, address, port);
    uint64_t key = 0;
    for (size_t i = 0; i < kCompactPeerSize; ++i) key |= uint64_t(uint8_t(compact[i])) << (8 * i);
    return key;
}

void AppendPeerOfKey(std::string& out, uint64_t key) {
    for (size_t i = 0; i < kCompactPeerSize; ++i) out += char(uint8_t(key >> (8 * i)));
}

uint32_t AddressOfKey(uint64_t key) {
    uint8_t b[4];
    for (size_t i = 0; i < 4; ++i) b[i] = uint8_t(key >> (8 * i));
    uint32_t address;
    std::memcpy(&address, b, sizeof address);
    return address;
}
}  // namespace

void KadPeerStore::Store(const KadId& info_hash, uint32_t address, uint16_t port, uint64_t now) {
    const PeerKey key = KeyOf(address, port);
    auto hash = hashes_.find(info_hash);
    if (hash != hashes_.end()) {
        auto peer = hash->second.peers.find(key);
        if (peer != hash->second.peers.end()) {
            peer->second = now;
            hash->second.latest = std::max(hash->second.latest, now);
            return;
        }
    }
    auto& own_entries = by_address_[address];
    if (own_entries.size() >= kMaxEntriesPerAddress) DropOldestOfAddress(address);
    hash = hashes_.find(info_hash);
    if (hash == hashes_.end()) {
        if (hashes_.size() >= kMaxInfoHashes) DropStalestHash();
        hash = hashes_.emplace(info_hash, HashEntry{}).first;
    } else if (hash->second.peers.size() >= kMaxPeersPerHash) {
        auto oldest = std::min_element(hash->second.peers.begin(), hash->second.peers.end(),
                                       [](const auto& a, const auto& b) { return a.second < b.second; });
        Remove(hash, oldest->first);
        hash = hashes_.find(info_hash);
        if (hash == hashes_.end()) hash = hashes_.emplace(info_hash, HashEntry{}).first;
    }
    hash->second.peers.emplace(key, now);
    hash->second.latest = std::max(hash->second.latest, now);
    by_address_[address].emplace_back(info_hash, key);
    ++peer_count_;
    ++added_;
}

void KadPeerStore::Remove(HashMap::iterator hash, PeerKey key) {
    if (hash->second.peers.erase(key) == 0) return;
    --peer_count_;
    const uint32_t address = AddressOfKey(key);
    auto list = by_address_.find(address);
    if (list != by_address_.end()) {
        auto& v = list->second;
        v.erase(std::remove(v.begin(), v.end(), std::make_pair(hash->first, key)), v.end());
        if (v.empty()) by_address_.erase(list);
    }
    if (hash->second.peers.empty()) hashes_.erase(hash);
}

void KadPeerStore::DropOldestOfAddress(uint32_t address) {
    auto list = by_address_.find(address);
    if (list == by_address_.end() || list->second.empty()) return;
    HashMap::iterator oldest_hash = hashes_.end();
    PeerKey oldest_key = 0;
    uint64_t oldest_time = UINT64_MAX;
    for (const auto& [id, key] : list->second) {
        auto h = hashes_.find(id);
        if (h == hashes_.end()) continue;
        auto p = h->second.peers.find(key);
        if (p != h->second.peers.end() && p->second < oldest_time) {
            oldest_time = p->second;
            oldest_hash = h;
            oldest_key = key;
        }
    }
    if (oldest_hash != hashes_.end()) Remove(oldest_hash, oldest_key);
}

void KadPeerStore::DropStalestHash() {
    auto stalest = std::min_element(hashes_.begin(), hashes_.end(),
                                    [](const auto& a, const auto& b) { return a.second.latest < b.second.latest; });
    if (stalest == hashes_.end()) return;
    std::vector<PeerKey> keys;
    for (const auto& [key, time] : stalest->second.peers) keys.push_back(key);
    const KadId id = stalest->first;
    for (PeerKey key : keys) {
        auto h = hashes_.find(id);
        if (h == hashes_.end()) break;
        Remove(h, key);
    }
}

std::vector<KadPeerStore::PeerKey> KadPeerStore::Chosen(const KadId& info_hash, uint64_t now) const {
    std::vector<PeerKey> out;
    auto hash = hashes_.find(info_hash);
    if (hash == hashes_.end()) return out;
    const auto& peers = hash->second.peers;
    const size_t skip = peers.size() > kPeersPerAnswer ? size_t(now % (peers.size() - kPeersPerAnswer)) : 0;
    size_t index = 0;
    for (const auto& [key, time] : peers) {
        if (index++ < skip) continue;
        if (out.size() >= kPeersPerAnswer) break;
        out.push_back(key);
    }
    return out;
}

std::string KadPeerStore::ValuesText(const KadId& info_hash, uint64_t now) const {
    if (!Has(info_hash)) return {};
    std::string text = "6:valuesl";
    for (PeerKey key : Chosen(info_hash, now)) {
        text += "6:";
        AppendPeerOfKey(text, key);
    }
    text += 'e';
    return text;
}

std::string KadPeerStore::PlainPeers(const KadId& info_hash, uint64_t now) const {
    std::string out;
    for (PeerKey key : Chosen(info_hash, now)) AppendPeerOfKey(out, key);
    return out;
}

bool KadPeerStore::Expire(uint64_t now) {
    if (expired_once_ && now - last_expire_ < kExpirePeriodSeconds) return false;
    expired_once_ = true;
    last_expire_ = now;
    std::vector<std::pair<KadId, PeerKey>> old;
    for (const auto& [id, entry] : hashes_)
        for (const auto& [key, time] : entry.peers)
            if (now - time >= kPeerLifeSeconds) old.emplace_back(id, key);
    for (const auto& [id, key] : old) {
        auto h = hashes_.find(id);
        if (h != hashes_.end()) Remove(h, key);
    }
    hashes_at_expiry_ = hashes_.size();
    peers_at_expiry_ = peer_count_;
    return true;
}

void KadPeerStore::Clear() {
    hashes_.clear();
    by_address_.clear();
    peer_count_ = 0;
}

}  // namespace zl
