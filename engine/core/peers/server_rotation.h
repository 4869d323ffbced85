// The task's server list and how it is used: picking random server-list
// sources (from the task's own generator), and the once-a-second balancing
// that rotates server connections. Owned by the peer layer of a task
// (TWorkWithPeers); the server lists themselves are filled through the
// engine interface (TaskAddServers, TaskClearServers).
#pragma once
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "engine/core/sched/task_random.h"

namespace zl {

// Adds one server-list source: `host` is the host name the HTTP source
// presents, empty for none. True when the URL parsed and the source was
// added (as a candidate, or connected at once).
using AddServerSource = std::function<bool(const std::string& url, const std::string& host)>;

// Up to 2n random picks from the server list until n sources were added.
// A host text "null" (or a missing one) means none. Returns how many were added.
int32_t PickServerSources(int32_t n, const std::vector<std::string>& urls, const std::vector<std::string>& hosts,
                          TaskRandom& random, const AddServerSource& add);

inline constexpr uint64_t kServerRotationSeconds = 31;  // server mode on
inline constexpr uint64_t kSlowServerCheckSeconds = 45; // server mode off

struct ServerBalanceInput {
    bool server_mode = false;
    bool ever_admitted = false;      // at least one candidate was ever admitted
    uint64_t run_seconds = 0;        // since the worker thread started
    uint64_t now = 0;                // engine seconds
    int32_t open_servers = 0;
    int32_t eligible_servers = 0;    // counted without consuming back-off
    int32_t server_limit = 49;
};

struct ServerBalanceAction {
    int32_t drop = 0;           // server connections to drop (DropPeers, keep-good)
    bool speed_aware = false;   // only slow servers may go
    int32_t pick = 0;           // PickServerSources(pick, add only)
    bool re_resolve = false;    // re-resolve the candidates afterwards
};

// Server mode on: every 31 s a full set of server connections loses its
// last ones and random server sources take their place. Server mode off:
// every 45 s, with the limit reached and enough eligible servers waiting, the
// slowest servers make room.
class ServerBalancer {
public:
    ServerBalanceAction Decide(const ServerBalanceInput& input);
    void Reset() { last_ = 0; }

private:
    uint64_t last_ = 0;
};

}  // namespace zl
