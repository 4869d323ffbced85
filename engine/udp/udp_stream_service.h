// The UDP stream transport carried by the engine's UDP server: the transport
// reads the server's rendezvous and local settings and reports the external
// address back to it, the server feeds the transport its datagrams and ticks,
// and sockets in UDP mode reach the transport through the stream calls.
#pragma once
#include <functional>
#include <memory>

#include "engine/udp/udp_server.h"
#include "engine/udp/udp_stream_socket.h"
#include "engine/udp/udp_stream_transport.h"

namespace zl {

class UdpServerStreamHost final : public IUdpStreamHost {
public:
    // `suspended` is read under the transport's lock: it must take no lock.
    UdpServerStreamHost(UdpServer& server, std::function<bool()> suspended)
        : server_(server), suspended_(std::move(suspended)) {}
    View Read() override;
    void OnAddressReport(uint32_t address, uint16_t port) override;
    bool Suspended() override { return suspended_ && suspended_(); }
    bool Running() override { return server_.GetThreadId() != 0; }

private:
    UdpServer& server_;
    std::function<bool()> suspended_;
};

// One engine's transport on its server. Install before the server starts;
// the server must outlive it (it uninstalls itself when destroyed).
class UdpStreamService {
public:
    UdpStreamService(UdpServer& server, UdpStreamConfig config, std::function<bool()> suspended = {});
    ~UdpStreamService();
    UdpStreamService(const UdpStreamService&) = delete;
    UdpStreamService& operator=(const UdpStreamService&) = delete;

    UdpStreamTransport& transport() { return *transport_; }
    // For SocketEnv::udp.
    IStreamTransport& stream_calls() { return socket_calls_; }

private:
    UdpServer& server_;
    UdpServerStreamHost host_;
    std::unique_ptr<UdpStreamTransport> transport_;
    UdpStreamSocketTransport socket_calls_;
};

}  // namespace zl
