// --rendezvous HOST:PORT: the rendezvous server the engine registers with.
// Given, it turns on registration and the UDP stream (peers behind NAT are
// then reached by hole punching); without it the engine does neither.
#pragma once
#include <cstdint>
#include <string>

namespace zlfetch {

// HOST (a name or a dotted address) and a port of 1 to 65535. False with *why otherwise.
bool ParseRendezvous(const std::string& text, std::string* host, int32_t* port, std::string* why);
// Sets the default engine's UDP stream on with that server, its UDP socket on
// `udp_port` (0: any free port), or off when `host` is empty.
void UseRendezvous(const std::string& host, int32_t port, int32_t udp_port);

}  // namespace zlfetch
