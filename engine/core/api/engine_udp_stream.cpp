// The engine context's UDP stream transport: created with the UDP server,
// installed as its stream consumer, suspended while the UDP-stream-off
// switch is set.
#include "engine/core/api/engine_context.h"
#include "engine/udp/udp_stream_service.h"

namespace zl {

void EngineContext::AttachUdpStream() {
    bool on;
    {
        std::lock_guard<std::mutex> guard(hooks_mutex_);
        on = udp_stream_on_;
    }
    udp_stream_.reset();
    if (!on) return;
    UdpStreamConfig config;
    config.clock = clock_;
    config.pool = &pools_->socket_buffer;
    udp_stream_ = std::make_unique<UdpStreamService>(*udp_server_, config,
                                                     [this] { return switches_.udp_stream_off.load(); });
}

void EngineContext::ApplyRendezvous(UdpServerConfig* config) {
    if (udp_port_ >= 0) config->local_port = udp_port_;
    if (rendezvous_host_.empty()) return;
    config->SetRendezvousHost(rendezvous_host_);
    config->rendezvous_port = rendezvous_port_;
}

void EngineContext::SetUdpStream(bool on, const std::string& rendezvous_host, int32_t rendezvous_port,
                                 int32_t udp_port) {
    {
        std::lock_guard<std::mutex> guard(hooks_mutex_);
        udp_stream_on_ = on;
        rendezvous_host_ = rendezvous_host;
        rendezvous_port_ = rendezvous_port;
        udp_port_ = udp_port;
    }
    // Only while nothing uses the transport: before the first task.
    if (registry_.Size() == 0 && udp_server_->GetThreadId() == 0) AttachUdpStream();
}

IStreamTransport* EngineContext::UdpStreamCalls() { return udp_stream_ ? &udp_stream_->stream_calls() : nullptr; }

bool EngineContext::WantsRelayedPeers() {
    return !switches_.directly_reachable.load() && udp_stream_ && udp_stream_->transport().ExternalAddress() != 0;
}

}  // namespace zl
