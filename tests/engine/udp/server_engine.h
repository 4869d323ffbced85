// One engine's UDP server with the UDP stream transport on it, started on a
// loopback address against a rendezvous server (tests and the bench).
#pragma once
#include <arpa/inet.h>

#include <memory>

#include "engine/udp/udp_stream_service.h"

namespace zl::test {

struct ServerEngine {
    std::unique_ptr<UdpServer> server;
    std::unique_ptr<UdpStreamService> service;
    NodeId id{};
    ~ServerEngine() {
        if (server) server->StopServer();
        service.reset();
    }
    UdpStreamTransport& t() { return service->transport(); }
};

inline std::unique_ptr<ServerEngine> StartServerEngine(const char* address, const NodeId& id, uint16_t rendezvous_port,
                                                       UdpStreamConfig stream = {},
                                                       const char* rendezvous_host = "127.0.8.1") {
    auto e = std::make_unique<ServerEngine>();
    e->id = id;
    e->server = std::make_unique<UdpServer>();
    e->server->SetBindAddress(inet_addr(address));
    e->service = std::make_unique<UdpStreamService>(*e->server, stream);
    UdpServerConfig config;
    config.SetRendezvousHost(rendezvous_host);
    config.rendezvous_port = rendezvous_port;
    config.keep_alive_interval = 52;
    config.connect_timeout = 30;
    config.local_port = 0;
    config.local_address = inet_addr(address);
    config.node_id = id;
    if (e->server->StartServer(config) != 0) return nullptr;
    return e;
}

}  // namespace zl::test
