#include "engine/core/api/engine_listener.h"

#include <ifaddrs.h>
#include <netinet/in.h>

#include <algorithm>

#include "engine/core/api/engine_context.h"
#include "engine/net/address.h"

namespace zl {

uint32_t HostInterfaceAddress() {
    ifaddrs* list = nullptr;
    if (::getifaddrs(&list) != 0) return kNoAddress;
    uint32_t last = kNoAddress;
    uint32_t chosen = kNoAddress;
    for (ifaddrs* i = list; i && chosen == kNoAddress; i = i->ifa_next) {
        if (!i->ifa_addr || i->ifa_addr->sa_family != AF_INET) continue;
        const uint32_t address = reinterpret_cast<const sockaddr_in*>(i->ifa_addr)->sin_addr.s_addr;
        if (!IsValidAddress(address)) continue;
        last = address;
        if (!IsPrivateAddress(address)) chosen = address;
    }
    ::freeifaddrs(list);
    return IsValidAddress(chosen) ? chosen : last;
}

std::unique_ptr<SharedListener> MakeSharedListener(EngineContext& c) {
    ListenerEnv env;
    env.data_lock = &c.DataLock();
    env.switches = &c.Switches();
    env.tick_ms = [&c] { return c.GetClock().TickMs(); };
    env.seconds = [&c] { return c.ClockSeconds(); };
    env.socket_env = [&c] {
        SocketEnv s;
        s.clock = &c.GetClock();
        s.seconds = [&c] { return c.ClockSeconds(); };
        s.pool = &c.Pools().socket_buffer;
        s.tcp = c.StreamTransport();
        s.udp = c.UdpStreamCalls();
        return s;
    };
    env.udp_identity = [&c] {
        const std::array<uint8_t, 16> node = c.NodeIdentity();
        TSocket::Identity id;
        std::copy(node.begin(), node.begin() + id.size(), id.begin());
        return id;
    };
    env.host_address = [] { return HostInterfaceAddress(); };
    env.publish_udp = [&c](uint32_t address, int32_t port) {
        const uint32_t bind = c.Switches().bind_address.load();
        if (IsValidAddress(bind)) c.GetUdpServer().SetBindAddress(bind);
        c.GetUdpServer().SetLocalEndpoint(address, port);
    };
    return std::make_unique<SharedListener>(std::move(env));
}

}  // namespace zl
