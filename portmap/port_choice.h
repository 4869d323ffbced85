// The choice of the engine's listening port: a walk over 40000..50000 from a
// random start, past a few excluded ports, to the first port that no TCP
// socket of this host uses; and the address rule that decides whether a
// gateway mapping is needed at all.
#pragma once
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace zl {

inline constexpr uint16_t kFirstListenPort = 40000;
inline constexpr uint16_t kLastListenPort = 50000;
inline constexpr uint16_t kExcludedListenPorts[] = {40412, 40421, 40422, 40423, 40426, 43958, 44444, 47262};

bool IsExcludedListenPort(uint32_t port);

// From `start` (40000 + random mod 10000): the first candidate is the first
// port above start that is not excluded; each busy candidate gives way to the
// next port that is not excluded, wrapping from past 50000 (or below 40000) to
// 40000. 0 when the walk comes back to its first candidate.
uint16_t WalkListenPorts(uint32_t start, const std::function<bool(uint16_t)>& in_use);

// Local ports of the sockets listed in a /proc/net/tcp or tcp6 text (any state).
std::vector<uint16_t> ParseProcNetTcpLocalPorts(std::string_view text);

// Whether a TCP port is in use here: listed in <proc_root>/proc/net/tcp or tcp6,
// or (when `bind_test`) refused by a bind to it on every address.
bool TcpPortInUse(uint16_t port, const std::string& proc_root = "/", bool bind_test = true);

// Private for this purpose: first octet 0 to 6, 10 or 127; 192.168/16;
// 169.254/16; 172.16/12. `address` is in host byte order.
bool IsPrivateHostAddress(uint32_t address);

// The host's first IPv4 address on an interface that is up and not loopback,
// in dotted form; nullopt when it has none.
std::optional<std::string> FirstLocalIPv4();

}  // namespace zl
