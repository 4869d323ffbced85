// Small helpers shared by the server peers (HTTP and FTP): the task's total
// size, the receive budget of a pass and the socket environment of a second
// connection.
#pragma once
#include <algorithm>
#include <cstdint>

#include "engine/net/peer_task.h"
#include "engine/net/socket.h"

namespace zl {

// Bytes of the whole task, -1 while the piece map is unknown.
inline int64_t TaskTotalSize(IPeerTask& task) {
    if (!task.HasMetadata()) return -1;
    const BlockInfo geometry = task.Geometry();
    return geometry.empty() ? -1 : geometry.total_size();
}

// What one Receive may read this pass: the default size, never more than the
// task's download allowance (which is above 0 whenever this is asked).
inline int64_t PassReceiveSize(IPeerTask& task) {
    const int64_t allowance = task.DownloadAllowance();
    if (allowance <= 0) return TSocket::kDefaultReceiveSize;
    return std::min<int64_t>(allowance, TSocket::kDefaultReceiveSize);
}

// The environment for a socket the peer makes itself, with the task's clock.
inline SocketEnv PeerSocketEnv(const SocketEnv& env, IPeerTask& task) {
    SocketEnv out = env;
    if (!out.clock) out.clock = &task.clock();
    if (!out.seconds) out.seconds = [t = &task] { return t->EngineSeconds(); };
    return out;
}

}  // namespace zl
