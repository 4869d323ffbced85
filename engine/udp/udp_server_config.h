// The start-up record of the engine's UDP server and the local endpoint tag
// that names this engine on the UDP stream transport.
#pragma once
#include <array>
#include <cstdint>
#include <string>

namespace zl {

struct UdpServerConfig {
    static constexpr size_t kHostCapacity = 128;  // at most 127 characters used
    static constexpr int32_t kMinKeepAliveSeconds = 10;

    char rendezvous_host[kHostCapacity] = {};
    int32_t rendezvous_port = 0;
    int32_t keep_alive_interval = 0;  // seconds; at or below 10 becomes 10
    int32_t connect_timeout = 0;      // seconds, > 0 (the UDP stream's connection set-up)
    // UDP port to bind. 0 binds any free port (tests, and a listen port of "any").
    int32_t local_port = 0;
    uint32_t local_address = 0;  // network order; 0 or 255.255.255.255: found by the server
    std::array<uint8_t, 8> node_id{};

    void SetRendezvousHost(const std::string& host);
    std::string RendezvousHost() const;
    // An empty rendezvous host, a rendezvous port or local port outside their
    // ranges or a connect timeout <= 0 make the record unusable.
    bool Valid() const;
};

// The engine's defaults: the given rendezvous host, port 82, keep-alive 52 s,
// connect timeout 30 s, local port 8000, the address found by the server, and
// the first 8 bytes of the engine's node identity.
UdpServerConfig DefaultUdpServerConfig(const std::string& rendezvous_host, const std::array<uint8_t, 16>& node_identity);

// The 8-byte node id, "UDP" and the version character '0'. A first id byte of
// 0 becomes 1, a second of 0 becomes 2.
using EndpointTag = std::array<uint8_t, 12>;
EndpointTag MakeEndpointTag(const std::array<uint8_t, 8>& node_id);

}  // namespace zl
