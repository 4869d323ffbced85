#include "engine/udp/udp_stream_socket.h"

#include <algorithm>
#include <limits>

#include "engine/base/errnum.h"
#include "engine/udp/udp_stream_transport.h"

namespace zl {

int UdpStreamSocketTransport::Open(int32_t* error) { return t_.Open(error); }

int UdpStreamSocketTransport::Bind(int handle, const StreamEndpoint& local, int32_t* error) {
    if (local.port == 0) {
        *error = err::kNone;
        return 0;
    }
    return t_.Bind(handle, local.address, local.port, error);
}

int UdpStreamSocketTransport::Listen(int handle, int backlog, int32_t* error) { return t_.Listen(handle, backlog, error); }

int UdpStreamSocketTransport::Connect(int handle, const StreamEndpoint& remote, int32_t* error) {
    return t_.Connect(handle, remote, error);
}

int UdpStreamSocketTransport::Accept(int handle, StreamEndpoint* remote, int32_t* error) {
    return t_.Accept(handle, remote, error);
}

int64_t UdpStreamSocketTransport::Send(int handle, const uint8_t* data, size_t length, int32_t* error) {
    const auto n = int64_t(std::min<size_t>(length, size_t(std::numeric_limits<int32_t>::max())));
    return t_.Send(handle, data, n, error);
}

int64_t UdpStreamSocketTransport::Recv(int handle, uint8_t* data, size_t length, int32_t* error) {
    const auto n = int64_t(std::min<size_t>(length, size_t(std::numeric_limits<int32_t>::max())));
    const int64_t got = t_.Receive(handle, data, n, error);
    if (got >= 0 || *error != err::kNotConnected) return got;
    const UdpStreamSnapshot s = t_.Inspect(handle);
    if (s.exists && s.state == UdpStreamState::kClosed) {
        if (s.close_error == err::kNone) {
            *error = err::kNone;
            return 0;  // the other end closed the stream
        }
        *error = s.close_error;
    }
    return -1;
}

int UdpStreamSocketTransport::Wait(int handle, bool writable, int timeout_ms, int32_t* error) {
    UdpHandleSet set;
    set.Add(handle);
    const int ready = writable ? t_.Select(nullptr, &set, nullptr, timeout_ms) : t_.Select(&set, nullptr, nullptr, timeout_ms);
    *error = err::kNone;
    return ready > 0 ? 1 : 0;
}

int32_t UdpStreamSocketTransport::PendingError(int handle) {
    const UdpStreamSnapshot s = t_.Inspect(handle);
    if (!s.exists) return err::kNotSocket;
    if (s.state != UdpStreamState::kClosed) return err::kNone;
    return s.close_error != err::kNone ? s.close_error : err::kConnReset;
}

int UdpStreamSocketTransport::LocalEndpoint(int handle, StreamEndpoint* local, int32_t* error) {
    return t_.LocalName(handle, local, error);
}

int UdpStreamSocketTransport::SetReceiveBuffer(int handle, int bytes, int32_t* error) {
    (void)handle;
    (void)bytes;
    *error = err::kNone;  // the windows are fixed by the protocol
    return 0;
}

int UdpStreamSocketTransport::EventDescriptor(int handle) { return t_.EventDescriptor(handle); }

void UdpStreamSocketTransport::Close(int handle) {
    int32_t error = 0;
    t_.Close(handle, &error);
}

}  // namespace zl
