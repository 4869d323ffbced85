// A tracker's announce answer: the bencoded dictionary of an HTTP tracker
// ("interval", "done peers", "num completed", "peers" compact or as a list of
// dictionaries) and the peer entries of a UDP tracker's answer, turned into
// candidate records. Every length and count is checked; nothing is trusted.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "engine/net/peer_id.h"

namespace zl {

// An interval below this is replaced by the default.
inline constexpr int32_t kMinTrackerInterval = 61;
inline constexpr int32_t kDefaultTrackerInterval = 600;
// Peers taken from one answer (200 are asked for).
inline constexpr size_t kMaxTrackerPeers = 1000;

struct TrackerPeerEntry {
    uint32_t address = 0;  // network order
    uint16_t port = 0;     // host order
    PeerIdBytes peer_id{};
};

struct TrackerAnswer {
    bool parsed = false;   // the body was a bencoded dictionary
    bool failure = false;  // it carried "failure reason" (still read)
    std::string failure_reason;
    int32_t interval = kDefaultTrackerInterval;
    int64_t done_peers = 0;
    int64_t num_completed = 0;
    std::vector<TrackerPeerEntry> peers;
};

// "interval" below 61 (or missing) becomes 600; more than a day is cut to a day.
int32_t TrackerIntervalOf(int64_t value, bool present);

TrackerAnswer ParseTrackerAnswer(std::string_view body);

// Compact entries (4 address bytes, 2 port bytes, network order); a trailing
// partial entry and unusable addresses or ports are skipped. The peer id is
// 14 zero bytes followed by the 6 bytes.
void AppendCompactPeers(const uint8_t* data, size_t length, std::vector<TrackerPeerEntry>* peers);

// The source text that names a BitTorrent node: "btnode://a.b.c.d:port".
std::string BtNodeSourceText(uint32_t address, uint16_t port);

}  // namespace zl
