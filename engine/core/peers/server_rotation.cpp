#include "engine/core/peers/server_rotation.h"

namespace zl {

int32_t PickServerSources(int32_t n, const std::vector<std::string>& urls, const std::vector<std::string>& hosts,
                          TaskRandom& random, const AddServerSource& add) {
    int32_t added = 0;
    for (int64_t tries = 0; tries < 2 * int64_t(n) && added < n && !urls.empty(); ++tries) {
        const size_t i = size_t(random.Below(int64_t(urls.size())));
        std::string host = i < hosts.size() ? hosts[i] : std::string();
        if (host == "null") host.clear();
        if (add(urls[i], host)) ++added;
    }
    return added;
}

ServerBalanceAction ServerBalancer::Decide(const ServerBalanceInput& in) {
    ServerBalanceAction act;
    const uint64_t since = in.now >= last_ ? in.now - last_ : 0;
    if (!in.server_mode) {
        if (!in.ever_admitted || in.run_seconds <= kSlowServerCheckSeconds || since <= kSlowServerCheckSeconds)
            return act;
        last_ = in.now;
        if (in.open_servers >= in.server_limit && in.eligible_servers >= in.server_limit) {
            act.drop = in.open_servers - in.server_limit + 1;
            act.speed_aware = true;
        }
        return act;
    }
    if (since < kServerRotationSeconds) return act;
    last_ = in.now;
    int32_t open = in.open_servers;
    if (open > in.server_limit - 1) {
        act.drop = open - in.server_limit + 1;
        open = in.server_limit - 1;
    }
    if (open < in.server_limit) {
        act.pick = in.server_limit - open;
        act.re_resolve = true;
    }
    return act;
}

}  // namespace zl
