// What a task's BitTorrent peers take from the engine's UDP stream.
#include "engine/core/api/engine_context.h"
#include "engine/core/task/task_work_with_trans_statis.h"

namespace zl {

IStreamTransport* TWorkWithTransStatis::ViewUdpStream() { return Context().UdpStreamCalls(); }

bool TWorkWithTransStatis::ViewWantsRelayedPeers() { return Context().WantsRelayedPeers(); }

}  // namespace zl
