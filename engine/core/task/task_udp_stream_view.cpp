// What a task's BitTorrent peers take from the engine's UDP stream.
#include "engine/core/api/engine_context.h"
#include "engine/core/task/task_work_with_peers.h"

namespace zl {

IStreamTransport* TWorkWithPeers::ViewUdpStream() { return Context().UdpStreamCalls(); }

bool TWorkWithPeers::ViewWantsRelayedPeers() { return Context().WantsRelayedPeers(); }

}  // namespace zl
