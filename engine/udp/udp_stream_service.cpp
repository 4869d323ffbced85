#include "engine/udp/udp_stream_service.h"

namespace zl {

IUdpStreamHost::View UdpServerStreamHost::Read() {
    const UdpServer::Rendezvous r = server_.RendezvousState();
    View v;
    v.rendezvous_address = r.address;
    v.rendezvous_port = r.port;
    v.connect_timeout = r.connect_timeout;
    v.local_address = server_.LocalAddress();
    v.local_port = server_.BoundPort();
    v.tag = server_.Tag();
    return v;
}

void UdpServerStreamHost::OnAddressReport(uint32_t address, uint16_t port) {
    server_.SetExternalEndpoint(address, port);
    server_.NoteRendezvousAnswer();
}

namespace {
UdpStreamConfig WithHost(UdpStreamConfig config, IUdpStreamHost* host) {
    config.host = host;
    return config;
}
}  // namespace

UdpStreamService::UdpStreamService(UdpServer& server, UdpStreamConfig config, std::function<bool()> suspended)
    : server_(server),
      host_(server, std::move(suspended)),
      transport_(std::make_unique<UdpStreamTransport>(server, WithHost(std::move(config), &host_))),
      socket_calls_(*transport_) {
    server_.SetStreamConsumer(transport_.get());
}

UdpStreamService::~UdpStreamService() { server_.SetStreamConsumer(nullptr); }

}  // namespace zl
