// The engine's shared listener, wired to its context: the data lock, the
// switches, the clock, the sockets' buffers and transport, the machine's
// address and the UDP server, which follows the listener's endpoint.
#pragma once
#include <memory>

#include "engine/core/listener/shared_listener.h"

namespace zl {

class EngineContext;

std::unique_ptr<SharedListener> MakeSharedListener(EngineContext& context);

// The host's own IPv4 address from its interfaces (no name lookup): the
// first one that is not private, else the last one found.
uint32_t HostInterfaceAddress();

}  // namespace zl
