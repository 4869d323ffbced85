// The UDP stream transport behind the socket object's stream calls, so that
// a TSocket in UDP mode (and every peer above it) uses it unchanged.
#pragma once
#include "engine/net/stream_transport.h"

namespace zl {

class UdpStreamTransport;

class UdpStreamSocketTransport final : public IStreamTransport {
public:
    explicit UdpStreamSocketTransport(UdpStreamTransport& transport) : t_(transport) {}

    int Open(int32_t* error) override;
    // Binding port 0 (a connect from a chosen local address) names nothing on
    // the shared UDP socket and succeeds without effect.
    int Bind(int handle, const StreamEndpoint& local, int32_t* error) override;
    int Listen(int handle, int backlog, int32_t* error) override;
    int Connect(int handle, const StreamEndpoint& remote, int32_t* error) override;
    int Accept(int handle, StreamEndpoint* remote, int32_t* error) override;
    int64_t Send(int handle, const uint8_t* data, size_t length, int32_t* error) override;
    // 0 once the other end closed and every byte it sent was read.
    int64_t Recv(int handle, uint8_t* data, size_t length, int32_t* error) override;
    int Wait(int handle, bool writable, int timeout_ms, int32_t* error) override;
    int32_t PendingError(int handle) override;
    int LocalEndpoint(int handle, StreamEndpoint* local, int32_t* error) override;
    int SetReceiveBuffer(int handle, int bytes, int32_t* error) override;
    void Close(int handle) override;
    int EventDescriptor(int handle) override;

private:
    UdpStreamTransport& t_;
};

}  // namespace zl
