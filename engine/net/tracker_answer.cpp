#include "engine/net/tracker_answer.h"

#include <algorithm>
#include <cstring>

#include "engine/meta/bencode.h"
#include "engine/net/address.h"

namespace zl {
namespace {

constexpr int32_t kMaxTrackerInterval = 86400;

// A list entry: "peer id" (20 bytes or more, the first 20 used), "ip" (dotted
// text) and "port" (1..65535).
bool DictionaryPeer(const QDictionaryElement& dict, TrackerPeerEntry* entry) {
    const std::optional<std::string_view> ip = dict.BytesOf("ip");
    const std::optional<int64_t> port = dict.IntegerOf("port");
    if (!ip || !port || !IsValidPort(*port)) return false;
    const uint32_t address = InetAddr(*ip);
    if (!IsValidAddress(address)) return false;
    entry->address = address;
    entry->port = static_cast<uint16_t>(*port);
    const std::optional<std::string_view> id = dict.BytesOf("peer id");
    if (id && id->size() >= entry->peer_id.size()) {
        std::memcpy(entry->peer_id.data(), id->data(), entry->peer_id.size());
    } else {
        // No usable id: 12 zero bytes, the address bytes, the port as a
        // 4-byte little-endian number.
        entry->peer_id.fill(0);
        std::memcpy(entry->peer_id.data() + 12, &address, 4);
        const uint32_t p = entry->port;
        for (int i = 0; i < 4; ++i) entry->peer_id[16 + i] = static_cast<uint8_t>(p >> (8 * i));
    }
    return true;
}

}  // namespace

int32_t TrackerIntervalOf(int64_t value, bool present) {
    if (!present || value < kMinTrackerInterval) return kDefaultTrackerInterval;
    return static_cast<int32_t>(std::min<int64_t>(value, kMaxTrackerInterval));
}

void AppendCompactPeers(const uint8_t* data, size_t length, std::vector<TrackerPeerEntry>* peers) {
    for (size_t at = 0; at + 6 <= length && peers->size() < kMaxTrackerPeers; at += 6) {
        TrackerPeerEntry entry;
        std::memcpy(&entry.address, data + at, 4);
        entry.port = static_cast<uint16_t>(data[at + 4] << 8 | data[at + 5]);
        if (!IsValidAddress(entry.address) || !IsValidPort(entry.port)) continue;
        std::memcpy(entry.peer_id.data() + 14, data + at, 6);
        peers->push_back(entry);
    }
}

TrackerAnswer ParseTrackerAnswer(std::string_view body) {
    TrackerAnswer answer;
    std::unique_ptr<QElement> root = ParseElement(body);
    const QDictionaryElement* dict = root ? root->AsDictionary() : nullptr;
    if (!dict) return answer;
    answer.parsed = true;
    if (const auto reason = dict->BytesOf("failure reason")) {
        answer.failure = true;
        answer.failure_reason = std::string(reason->substr(0, 256));
    }
    const std::optional<int64_t> interval = dict->IntegerOf("interval");
    answer.interval = TrackerIntervalOf(interval.value_or(0), interval.has_value());
    answer.done_peers = std::max<int64_t>(dict->IntegerOr("done peers", 0), 0);
    answer.num_completed = std::max<int64_t>(dict->IntegerOr("num completed", 0), 0);
    if (const auto compact = dict->BytesOf("peers")) {
        AppendCompactPeers(reinterpret_cast<const uint8_t*>(compact->data()), compact->size(), &answer.peers);
    } else if (const QListElement* list = dict->ListOf("peers")) {
        for (const std::unique_ptr<QElement>& child : list->Children()) {
            if (answer.peers.size() >= kMaxTrackerPeers) break;
            const QDictionaryElement* peer = child ? child->AsDictionary() : nullptr;
            TrackerPeerEntry entry;
            if (peer && DictionaryPeer(*peer, &entry)) answer.peers.push_back(entry);
        }
    }
    return answer;
}

std::string BtNodeSourceText(uint32_t address, uint16_t port) {
    return "btnode://" + FormatAddress(address) + ":" + std::to_string(port);
}

}  // namespace zl
