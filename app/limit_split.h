// How the connection totals and the speed limit are shared among the tasks
// that are still downloading.
#pragma once
#include <cstdint>
#include <vector>

namespace zl::app {

inline constexpr int32_t kNoSpeedLimit = 32767;  // KiB/s, as stored when the user set none
inline constexpr int32_t kMinTaskSpeedKib = 10;
inline constexpr int32_t kPeerConnectionsTotal = 108;

struct ConnectionShare {
    int32_t servers;
    int32_t peers;
};

// Shares for `active` tasks in order: total / n each, the first (total mod n)
// one more, at least 1 each. Empty for no active task.
std::vector<ConnectionShare> SplitConnections(int32_t server_total, int32_t peer_total, int32_t active);

// The download limit each task gets (KiB/s): 0 (none) when the user set no
// limit; otherwise limit / n for two or more active tasks, the whole limit for
// one, and never below 10 KiB/s.
int32_t TaskSpeedLimit(int32_t limit_kib, int32_t active);

// The server connection total from the connection setting: 36 outside 10..200.
int32_t ServerConnectionTotal(int64_t configured);

}  // namespace zl::app
