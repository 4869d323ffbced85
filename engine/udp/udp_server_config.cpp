#include "engine/udp/udp_server_config.h"

#include <algorithm>
#include <cstring>

namespace zl {

void UdpServerConfig::SetRendezvousHost(const std::string& host) {
    std::memset(rendezvous_host, 0, sizeof rendezvous_host);
    std::memcpy(rendezvous_host, host.data(), std::min(host.size(), kHostCapacity - 1));
}

std::string UdpServerConfig::RendezvousHost() const {
    return std::string(rendezvous_host, strnlen(rendezvous_host, kHostCapacity - 1));
}

bool UdpServerConfig::Valid() const {
    return rendezvous_host[0] != 0 && rendezvous_port >= 1 && rendezvous_port <= 65535 && local_port >= 0 &&
           local_port <= 65535 && connect_timeout > 0;
}

UdpServerConfig DefaultUdpServerConfig(const std::string& rendezvous_host, const std::array<uint8_t, 16>& node_identity) {
    UdpServerConfig config;
    config.SetRendezvousHost(rendezvous_host);
    config.rendezvous_port = 82;
    config.keep_alive_interval = 52;
    config.connect_timeout = 30;
    config.local_port = 8000;
    config.local_address = 0;
    std::memcpy(config.node_id.data(), node_identity.data(), config.node_id.size());
    if (config.node_id[0] == 0) config.node_id[0] = 1;
    return config;
}

EndpointTag MakeEndpointTag(const std::array<uint8_t, 8>& node_id) {
    EndpointTag tag{};
    std::memcpy(tag.data(), node_id.data(), 8);
    if (tag[0] == 0) tag[0] = 1;
    if (tag[1] == 0) tag[1] = 2;
    tag[8] = 'U';
    tag[9] = 'D';
    tag[10] = 'P';
    tag[11] = '0';
    return tag;
}

}  // namespace zl
