#include "engine/net/socket.h"

#include <poll.h>

#include <algorithm>
#include <cstring>

#include "engine/base/clock.h"
#include "engine/base/errnum.h"
#include "engine/meta/buffer_pool.h"
#include "engine/net/address.h"
#include "engine/net/resolver.h"

namespace zl {
namespace {
BufferPool* PoolOf(const SocketEnv& env) { return env.pool ? env.pool : &SharedBufferPools().socket_buffer; }
}  // namespace

TSocket::TSocket(const SocketEnv& env) : env_(env), send_queue_(PoolOf(env)), receive_(PoolOf(env)) {}

TSocket::~TSocket() { Close(); }

IStreamTransport* TSocket::Transport() const {
    if (udp_mode_) return env_.udp;
    return env_.tcp ? env_.tcp : &TcpTransport();
}

void TSocket::AddWaitEntry(std::vector<pollfd>& entries) const {
    if (handle_ < 0 || env_.tcp) return;
    pollfd entry{};
    if (udp_mode_) {
        entry.fd = env_.udp ? env_.udp->EventDescriptor(handle_) : -1;
        entry.events = POLLIN;
        if (entry.fd >= 0) entries.push_back(entry);
        return;
    }
    entry.fd = handle_;
    entry.events = POLLIN;
    if (!connected_ || !send_queue_.empty()) entry.events |= POLLOUT;
    entries.push_back(entry);
}

uint64_t TSocket::NowSeconds() const {
    if (env_.seconds) return env_.seconds();
    return env_.clock ? env_.clock->TickMs() / 1000 : 0;
}

void TSocket::ResetFields() {
    remote_address_ = 0;
    local_address_ = 0;
    handle_ = -1;
    remote_port_ = 0;
    local_port_ = 0;
    readable_latch_ = false;
    writable_latch_ = false;
    connected_ = false;
    listening_ = false;
    blocking_ = false;
    bytes_sent_ = 0;
    bytes_received_ = 0;
    last_error_ = 0;
    connect_time_ = 0;
    last_activity_ = 0;
    udp_mode_ = false;
    identity_ = {};
    tag_ = {};
    host_text_.clear();
}

void TSocket::Close() {
    if (handle_ >= 0) {
        IStreamTransport* transport = Transport();
        if (transport) transport->Close(handle_);
    }
    send_queue_.Free();
    receive_.Free();
    incoming_cipher_.reset();
    outgoing_cipher_.reset();
    cipher_scratch_ = {};
    ResetFields();
}

void TSocket::Drop() {
    if (handle_ >= 0) {
        IStreamTransport* transport = Transport();
        if (transport) transport->Close(handle_);
    }
    handle_ = -1;
    connected_ = false;
    listening_ = false;
    receive_.Free();
}

bool TSocket::Create(bool udp, int32_t* error) {
    udp_mode_ = udp;
    IStreamTransport* transport = Transport();
    if (!transport) {
        *error = err::kAddressFamily;  // no UDP stream in this engine
        udp_mode_ = false;
        return false;
    }
    handle_ = transport->Open(error);
    return handle_ >= 0;
}

void TSocket::SetTag(const Identity& identity) {
    std::memcpy(tag_.data(), identity.data(), 8);
    tag_[8] = 'U';
    tag_[9] = 'D';
    tag_[10] = 'P';
}

void TSocket::Complete() {
    connected_ = true;
    connect_time_ = NowSeconds();
    StreamEndpoint local;
    int32_t error = 0;
    if (Transport()->LocalEndpoint(handle_, &local, &error) == 0) {
        local_address_ = local.address;
        local_port_ = local.port;
    }
    SetTag(identity_);
}

bool TSocket::Connect(uint32_t address, int32_t port, bool blocking, uint32_t local_address,
                      const Identity* udp_identity) {
    Close();
    if (!IsValidAddress(address) || !IsValidPort(port)) return false;
    remote_address_ = address;
    remote_port_ = static_cast<uint16_t>(port);
    int32_t error = 0;
    auto fail = [&](int32_t code) {
        Close();
        last_error_ = code;
        return false;
    };
    if (!Create(udp_identity != nullptr, &error)) return fail(error);
    blocking_ = blocking;
    identity_ = udp_identity ? *udp_identity : Identity{};
    IStreamTransport* transport = Transport();
    if (local_address != 0) {
        StreamEndpoint local;
        local.address = local_address;
        if (transport->Bind(handle_, local, &error) != 0) return fail(error);
    }
    StreamEndpoint remote;
    remote.address = address;
    remote.port = remote_port_;
    remote.tag = identity_;
    if (transport->Connect(handle_, remote, &error) == 0) {
        Complete();
    } else if (error == err::kWouldBlock) {
        if (blocking_) {
            Wait(true, -1);
            const int32_t pending = transport->PendingError(handle_);
            if (pending != err::kNone) return fail(pending);
            Complete();
        }
    } else {
        return fail(error);
    }
    last_activity_ = NowSeconds();
    return true;
}

bool TSocket::ConnectHost(const std::string& host, int32_t port, bool blocking, uint32_t local_address,
                          const Identity* udp_identity) {
    const uint32_t address = env_.resolver ? env_.resolver->ResolveHost(host) : InetAddr(host);
    if (!Connect(address, port, blocking, local_address, udp_identity)) return false;
    host_text_ = host;
    return true;
}

bool TSocket::Listen(int32_t port, uint32_t local_address, const Identity* udp_identity) {
    Close();
    if (!IsValidPort(port)) return false;
    local_address_ = local_address != 0 ? local_address
                                        : (env_.resolver ? env_.resolver->LocalAddress() : 0);
    int32_t error = 0;
    auto fail = [&](int32_t code) {
        Close();
        last_error_ = code;
        return false;
    };
    if (!Create(udp_identity != nullptr, &error)) return fail(error);
    identity_ = udp_identity ? *udp_identity : Identity{};
    StreamEndpoint local;
    local.address = local_address;  // the given address, or any
    local.port = static_cast<uint16_t>(port);
    local.tag = identity_;
    IStreamTransport* transport = Transport();
    if (transport->Bind(handle_, local, &error) != 0) return fail(error);
    if (transport->Listen(handle_, udp_mode_ ? kUdpBacklog : kTcpBacklog, &error) != 0) return fail(error);
    listening_ = true;
    local_port_ = static_cast<uint16_t>(port);
    last_activity_ = NowSeconds();
    return true;
}

std::unique_ptr<TSocket> TSocket::Accept() {
    if (!listening_ || handle_ < 0 || !IsValidAddress(local_address_)) return nullptr;
    if (blocking_) Wait(false, -1);
    StreamEndpoint remote;
    int32_t error = 0;
    const int h = Transport()->Accept(handle_, &remote, &error);
    if (h < 0) {
        last_error_ = error;
        if (error != err::kWouldBlock && !udp_mode_) Close();
        return nullptr;
    }
    auto s = std::make_unique<TSocket>(env_);
    s->handle_ = h;
    s->udp_mode_ = udp_mode_;
    s->local_address_ = local_address_;
    s->local_port_ = local_port_;
    s->remote_address_ = remote.address;
    s->remote_port_ = remote.port;
    s->connected_ = true;
    s->host_text_ = FormatAddress(remote.address);
    s->connect_time_ = s->last_activity_ = NowSeconds();
    s->identity_ = remote.tag;
    s->SetTag(remote.tag);
    last_activity_ = s->last_activity_;
    return s;
}

bool TSocket::IsConnected() {
    if (handle_ < 0) return false;
    if (connected_) return true;
    if (listening_ || !IsValidAddress(remote_address_)) return false;
    int32_t error = 0;
    if (Transport()->Wait(handle_, true, 0, &error) <= 0) return false;
    // A refused or unreachable connect also polls writable: only the pending
    // error tells success from failure.
    const int32_t pending = Transport()->PendingError(handle_);
    if (pending != err::kNone) {
        last_error_ = pending;
        Drop();
        return false;
    }
    Complete();
    return true;
}

bool TSocket::Wait(bool writable, int32_t seconds) {
    bool& latch = writable ? writable_latch_ : readable_latch_;
    if (latch) {
        latch = false;
        return true;
    }
    if (handle_ < 0) return false;
    if (seconds == -2) seconds = blocking_ ? -1 : 0;
    const int timeout_ms = seconds < 0 ? -1 : static_cast<int>(std::min<int64_t>(int64_t{seconds} * 1000, INT32_MAX));
    int32_t error = 0;
    return Transport()->Wait(handle_, writable, timeout_ms, &error) > 0;
}

bool TSocket::WaitReadable(int32_t seconds) { return Wait(false, seconds); }
bool TSocket::WaitWritable(int32_t seconds) { return Wait(true, seconds); }

// Writes up to `budget` queued bytes once. Returns the bytes written (0 when
// the transport would block); *failed after an error (the socket is dropped).
int64_t TSocket::WriteQueued(int64_t budget, bool* failed) {
    *failed = false;
    const int64_t count = std::min(budget, send_queue_.length());
    if (count <= 0) return 0;
    int32_t error = 0;
    const int64_t n = Transport()->Send(handle_, send_queue_.data(), static_cast<size_t>(count), &error);
    if (n < 0 && error == err::kWouldBlock) return 0;
    if (n < 0 || n > count) {
        last_error_ = n < 0 ? error : err::kFault;
        Drop();
        *failed = true;
        return -1;
    }
    send_queue_.Consume(n, false);
    bytes_sent_ += static_cast<uint64_t>(n);
    return n;
}

int64_t TSocket::WriteQueueFully() {
    bool failed = false;
    int64_t total = WriteQueued(send_queue_.length(), &failed);
    if (failed) return -1;
    while (!send_queue_.empty() && Wait(true, blocking_ ? -1 : 0)) {
        const int64_t n = WriteQueued(send_queue_.length(), &failed);
        if (failed) return -1;
        total += n;
    }
    return total;
}

int64_t TSocket::Send(const void* bytes, int64_t length) {
    const auto* p = static_cast<const uint8_t*>(bytes);
    if (!p || length < 0) length = 0;
    if (handle_ < 0 || !IsValidAddress(remote_address_)) return 0;
    if (send_queue_.empty() && length == 0) return 0;
    if (outgoing_cipher_ && length > 0) {
        // Enciphered once, in the order handed over; queued bytes are already.
        cipher_scratch_.assign(p, p + length);
        outgoing_cipher_->Apply(cipher_scratch_.data(), cipher_scratch_.size());
        p = cipher_scratch_.data();
    }
    auto queue = [&](const uint8_t* data, int64_t count) {
        if (count <= 0) return true;
        if (send_queue_.length() + count > send_queue_limit_ || !send_queue_.Append(data, count, kSendGrowth)) {
            last_error_ = err::kNoBuffers;
            return false;
        }
        return true;
    };
    if (!IsConnected()) {
        if (handle_ < 0) return -1;  // the pending connect failed
        return queue(p, length) ? 0 : -1;
    }

    int64_t written = 0;
    bool failed = false;
    if (!send_queue_.empty()) {
        const int64_t n = WriteQueued(length, &failed);
        if (failed) return -1;
        if (n == 0) return queue(p, length) ? 0 : -1;
        written = n;
    }
    if (!send_queue_.empty() || written >= length) {
        if (!queue(p, length)) return -1;
    } else {
        int32_t error = 0;
        const int64_t budget = length - written;
        int64_t n = Transport()->Send(handle_, p, static_cast<size_t>(budget), &error);
        if (n < 0 && error == err::kWouldBlock) n = 0;
        if (n < 0 || n > budget) {
            last_error_ = n < 0 ? error : err::kFault;
            Drop();
            return -1;
        }
        bytes_sent_ += static_cast<uint64_t>(n);
        written += n;
        if (!queue(p + n, length - n)) return -1;
    }
    send_queue_.Consume(0, false);
    if (!blocking_) return written;
    // A blocking send reports everything it wrote, not only the queue's share.
    const int64_t rest = WriteQueueFully();
    return rest < 0 ? -1 : written + rest;
}

int64_t TSocket::Flush() {
    if (handle_ < 0 || !IsValidAddress(remote_address_)) return 0;
    if (send_queue_.empty()) return 0;
    if (!IsConnected()) return handle_ < 0 ? -1 : 0;
    return WriteQueueFully();
}

int64_t TSocket::Receive(int64_t maximum, int64_t limit) {
    if (handle_ < 0) return -1;
    if (limit <= 0) {
        last_error_ = err::kInvalid;
        return -1;
    }
    if (!IsConnected()) return handle_ < 0 ? -1 : 0;
    int64_t want = maximum <= 0 ? kDefaultReceiveSize : maximum;
    const int64_t room = limit - receive_.length();
    if (room <= 0) {
        last_error_ = err::kNoBuffers;
        Drop();
        return -1;
    }
    want = std::min(want, room);
    if (!receive_.Reserve(want, kReceiveGrowth, limit)) {
        last_error_ = err::kNoBuffers;
        Drop();
        return -1;
    }
    if (blocking_) Wait(false, -1);
    int32_t error = 0;
    const int64_t n = Transport()->Recv(handle_, receive_.data() + receive_.length(), static_cast<size_t>(want), &error);
    if (n <= 0) return SettleEmptyRead(n, error);
    receive_.Commit(n);
    if (incoming_cipher_) incoming_cipher_->Apply(receive_.data() + receive_.length() - n, static_cast<size_t>(n));
    bytes_received_ += static_cast<uint64_t>(n);
    return receive_.length();
}

int64_t TSocket::SettleEmptyRead(int64_t n, int32_t error) {
    if (n < 0 && error == err::kWouldBlock) return 0;
    last_error_ = n == 0 ? err::kNone : error;  // 0: the other side closed the connection
    Drop();
    return -1;
}

int64_t TSocket::ReceiveInto(const StreamPart* parts, int count) {
    if (handle_ < 0) return -1;
    if (!parts || count <= 0 || receive_.length() > 0) {
        last_error_ = err::kInvalid;
        return -1;
    }
    if (!IsConnected()) return handle_ < 0 ? -1 : 0;
    if (blocking_) Wait(false, -1);
    int32_t error = 0;
    const int64_t n = Transport()->RecvParts(handle_, parts, count, &error);
    if (n <= 0) return SettleEmptyRead(n, error);
    if (incoming_cipher_) {
        int64_t left = n;
        for (int i = 0; i < count && left > 0; ++i) {
            const size_t part = static_cast<size_t>(std::min<int64_t>(left, static_cast<int64_t>(parts[i].length)));
            incoming_cipher_->Apply(parts[i].data, part);
            left -= static_cast<int64_t>(part);
        }
    }
    bytes_received_ += static_cast<uint64_t>(n);
    return n;
}

bool TSocket::KeepReceived(const uint8_t* bytes, int64_t length) {
    return length <= 0 || receive_.Append(bytes, length, kReceiveGrowth);
}

void TSocket::SetStreamCiphers(std::unique_ptr<StreamCipher> incoming, std::unique_ptr<StreamCipher> outgoing) {
    incoming_cipher_ = std::move(incoming);
    outgoing_cipher_ = std::move(outgoing);
}

void TSocket::Consume(int64_t count, bool keep) { receive_.Consume(count, keep); }

bool TSocket::SetReceiveBufferSize(int32_t bytes) {
    if (bytes <= 0 || bytes > 1048576) bytes = 8192;
    if (udp_mode_ || handle_ < 0 || !connected_) return false;
    int32_t error = 0;
    return Transport()->SetReceiveBuffer(handle_, bytes, &error) == 0;
}

uint64_t TSocket::SendRate(uint64_t now) const {
    if (connect_time_ == 0 || bytes_sent_ == 0) return 0;
    if (now == 0) now = NowSeconds();
    const uint64_t interval = now > connect_time_ + 1 ? now - connect_time_ : 1;
    return bytes_sent_ / interval;
}

uint64_t TSocket::ReceiveRate(uint64_t now) const {
    if (connect_time_ == 0 || bytes_received_ == 0) return 0;
    if (now == 0) now = NowSeconds();
    const uint64_t interval = now > connect_time_ + 1 ? now - connect_time_ : 1;
    return bytes_received_ / interval;
}

}  // namespace zl
