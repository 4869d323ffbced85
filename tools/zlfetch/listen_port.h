// The listening port of zlfetch's engine: a requested port is checked before
// the engine starts (a port in use is an error at once, not a silent retry),
// and without one a free port is chosen.
#pragma once
#include <cstdint>
#include <string>

namespace zlfetch {

// Whether a TCP listener can take `port` on `address` (network order, 0: any).
// False with *why ("in use", "not allowed", ...).
bool ListenPortFree(uint32_t address, int port, std::string* why);
// A port no one listens on at `address` now; 0 when none could be found.
int PickFreeListenPort(uint32_t address);

}  // namespace zlfetch
