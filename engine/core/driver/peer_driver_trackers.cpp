// The peer driver's tracker connector: announces go out with the task's
// figures, and the peers they bring back join the driver's candidates.
#include "engine/core/driver/peer_driver.h"
#include "engine/core/task/task_tracker_view.h"
#include "engine/net/source_url.h"

namespace zl {

std::unique_ptr<TaskTrackerConnector> TaskPeerDriver::MakeTrackerConnector() {
    TaskTrackerConnector::Hooks hooks;
    hooks.view = [this](TaskTrackerView* out) { return task_.ViewTrackers(out); };
    hooks.parse = [this](TPeerId& identity) { return ParseSourceUrl(identity, resolver_); };
    hooks.socket_env = [this] {
        SocketEnv env;
        env.clock = &clock();
        env.seconds = [this] { return EngineSeconds(); };
        env.pool = task_.ViewSocketPool();
        env.tcp = task_.ViewStreamTransport();
        env.resolver = &resolver_;
        return env;
    };
    hooks.blocked = [this](uint32_t address) { return task_.ViewAddressBlocked(address); };
    hooks.host_unresolved = [this] { NoteHostUnresolved(); };
    return std::make_unique<TaskTrackerConnector>(*this, std::move(hooks));
}

}  // namespace zl
