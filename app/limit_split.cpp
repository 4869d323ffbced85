#include "app/limit_split.h"

#include <algorithm>

namespace zl::app {

std::vector<ConnectionShare> SplitConnections(int32_t server_total, int32_t peer_total, int32_t active) {
    std::vector<ConnectionShare> shares;
    if (active <= 0) return shares;
    for (int32_t i = 0; i < active; ++i) {
        const int32_t servers = server_total / active + (i < server_total % active ? 1 : 0);
        const int32_t peers = peer_total / active + (i < peer_total % active ? 1 : 0);
        shares.push_back({std::max(servers, 1), std::max(peers, 1)});
    }
    return shares;
}

int32_t TaskSpeedLimit(int32_t limit_kib, int32_t active) {
    if (limit_kib <= 0 || limit_kib >= kNoSpeedLimit) return 0;
    const int32_t per_task = active >= 2 ? limit_kib / active : limit_kib;
    return std::max(per_task, kMinTaskSpeedKib);
}

int32_t ServerConnectionTotal(int64_t configured) {
    return configured >= 10 && configured <= 200 ? int32_t(configured) : 36;
}

}  // namespace zl::app
