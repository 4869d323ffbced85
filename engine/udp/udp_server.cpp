#include "engine/udp/udp_server.h"

#include <ifaddrs.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <vector>

#include "engine/base/engine_log.h"
#include "engine/meta/buffer_pool.h"
#include "engine/net/address.h"
#include "engine/udp/udp_demux.h"

namespace zl {
namespace {

uint64_t Since(uint64_t now, uint64_t then) { return now >= then ? now - then : then - now; }

uint64_t MonotonicMicros() {
    timespec t{};
    ::clock_gettime(CLOCK_MONOTONIC, &t);
    return uint64_t(t.tv_sec) * 1000000u + uint64_t(t.tv_nsec) / 1000u;
}

// Every 300 s the socket buffers kept for reuse are cut back once use has
// fallen: more than 2048 KiB held and at most 35 % of it in use leaves free
// buffers worth a fifth of what is in use.
void TrimByUse(BufferPool& pool) {
    const BufferPool::Sizes sizes = pool.GetSizes();
    const int64_t in_use_kib = sizes.in_use / 1024;
    const int64_t total_kib = (sizes.in_use + sizes.free) / 1024;
    if (total_kib <= 2048 || in_use_kib * 100 > total_kib * 35) return;
    pool.TrimTo(sizes.in_use / 5);
}

// The host's own IPv4 address from its interfaces (no name lookup): the
// first one that is not private, else the last one found.
uint32_t InterfaceAddress() {
    ifaddrs* list = nullptr;
    if (::getifaddrs(&list) != 0) return kNoAddress;
    uint32_t last = kNoAddress;
    uint32_t chosen = kNoAddress;
    for (ifaddrs* i = list; i; i = i->ifa_next) {
        if (!i->ifa_addr || i->ifa_addr->sa_family != AF_INET) continue;
        const uint32_t address = reinterpret_cast<const sockaddr_in*>(i->ifa_addr)->sin_addr.s_addr;
        if (!IsValidAddress(address)) continue;
        last = address;
        if (!IsPrivateAddress(address)) {
            chosen = address;
            break;
        }
    }
    ::freeifaddrs(list);
    return IsValidAddress(chosen) ? chosen : last;
}

}  // namespace

UdpServer::UdpServer(Clock& clock, std::shared_ptr<IResolverBackend> names)
    : QThread(clock), clock_(clock), resolver_(std::move(names)), buffers_(new uint8_t[kReadBatch * kBufferSize]) {
    for (size_t i = 0; i < kReadBatch; ++i) buffer_at_[i] = buffers_.get() + i * kBufferSize;
    wake_fd_ = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
}

UdpServer::~UdpServer() {
    RequestStop();
    Wake();
    Stop();
    if (wake_fd_ >= 0) ::close(wake_fd_);
}

int UdpServer::StartServer(const UdpServerConfig& config) {
    if (!config.Valid()) return -1;
    {
        ScopedLock lock(Lock());
        if (GetThreadId() != 0) return 0;
        Configure(config);
    }
    return Start("UDPServer") ? 0 : -1;
}

bool UdpServer::Configure(const UdpServerConfig& config) {
    if (!config.Valid()) return false;
    {
        ScopedLock lock(Lock());
        local_address_ = config.local_address;
        local_port_ = config.local_port;
        rendezvous_host_ = config.RendezvousHost();
        rendezvous_port_ = static_cast<uint16_t>(config.rendezvous_port);
        keep_alive_interval_ = std::max(config.keep_alive_interval, UdpServerConfig::kMinKeepAliveSeconds);
        connect_timeout_ = config.connect_timeout;
        tag_ = MakeEndpointTag(config.node_id);
        rendezvous_address_ = 0;
        resolve_tried_ = false;
        registration_due_ = true;
        timers_started_ = false;
        burst_ = 0;
        idle_ = 0;
        // A stop left in the wake counter must not cut the new thread's first wait.
        uint64_t drained = 0;
        if (wake_fd_ >= 0 && ::read(wake_fd_, &drained, sizeof drained) < 0) drained = 0;
    }
    return true;
}

void UdpServer::StopServer() {
    RequestStop();
    Wake();
    Stop();
    ScopedLock lock(Lock());
    socket_.Close();
    if (stream_) stream_->ResetTransport();
    external_address_ = 0;
    external_port_ = 0;
    lock.Release();
    LogWrite("UDPServer Thread Stopped.. ", 22, 22);
}

void UdpServer::ResetTransport() {
    ScopedLock lock(Lock());
    if (stream_) stream_->ResetTransport();
    external_address_ = 0;
    external_port_ = 0;
}

void UdpServer::SetLocalEndpoint(uint32_t address, int32_t port) {
    ScopedLock lock(Lock());
    if (address == local_address_ && port == local_port_) return;
    if (IsValidAddress(address)) local_address_ = address;
    if (IsValidPort(port)) local_port_ = port;
    lock.Release();
    Wake();  // the loop re-binds at its next pass
}

bool UdpServer::BehindNat() {
    ScopedLock lock(Lock());
    return external_address_ != 0 && external_address_ != local_address_;
}

void UdpServer::SetDhtConsumer(IUdpDhtConsumer* consumer) {
    ScopedLock lock(Lock());
    dht_ = consumer;
}

void UdpServer::SetStreamConsumer(IUdpStreamConsumer* consumer) {
    ScopedLock lock(Lock());
    stream_ = consumer;
}

void UdpServer::SetTransportSuspendedProbe(std::function<bool()> probe) {
    ScopedLock lock(Lock());
    suspended_probe_ = std::move(probe);
}

void UdpServer::SetDhtRunningProbe(std::function<bool()> probe) {
    ScopedLock lock(Lock());
    dht_running_probe_ = std::move(probe);
}

void UdpServer::SetBindAddress(uint32_t address) {
    ScopedLock lock(Lock());
    bind_address_ = IsValidAddress(address) ? address : 0;
}

void UdpServer::SetTrimPool(BufferPool* pool) {
    ScopedLock lock(Lock());
    trim_pool_ = pool;
}

void UdpServer::SetExternalEndpoint(uint32_t address, uint16_t port) {
    ScopedLock lock(Lock());
    external_address_ = address;
    external_port_ = port;
}

void UdpServer::NoteRendezvousAnswer() {
    ScopedLock lock(Lock());
    rendezvous_answered_ = true;
}

UdpServer::Rendezvous UdpServer::RendezvousState() {
    ScopedLock lock(Lock());
    Rendezvous r;
    r.host = rendezvous_host_;
    r.address = rendezvous_address_;
    r.port = rendezvous_port_;
    r.keep_alive_interval = keep_alive_interval_;
    r.connect_timeout = connect_timeout_;
    r.external_address = external_address_;
    r.external_port = external_port_;
    return r;
}

EndpointTag UdpServer::Tag() {
    ScopedLock lock(Lock());
    return tag_;
}

uint16_t UdpServer::BoundPort() {
    ScopedLock lock(Lock());
    return socket_.bound_port();
}

uint32_t UdpServer::LocalAddress() {
    ScopedLock lock(Lock());
    return local_address_;
}

int32_t UdpServer::ConfiguredPort() {
    ScopedLock lock(Lock());
    return local_port_;
}

UdpServer::Counters UdpServer::GetCounters() {
    ScopedLock lock(Lock());
    return counters_;
}

bool UdpServer::Suspended() { return suspended_probe_ && suspended_probe_(); }

bool UdpServer::OpenSocket(bool force) {
    ScopedLock lock(Lock());
    if (!force && socket_.IsOpen()) return true;
    if (!IsValidAddress(local_address_))
        local_address_ = IsValidAddress(bind_address_) ? bind_address_ : InterfaceAddress();
    UdpSocket::Options options;
    options.coalesce_reads = true;
    if (socket_.Open(static_cast<uint16_t>(local_port_), bind_address_, options)) return true;
    if (!socket_.bind_failed()) {
        char line[64];
        std::snprintf(line, sizeof line, "socket bind error : Last Error(%lu)",
                      static_cast<unsigned long>(socket_.last_error()));
        LogWrite(line, 7, 7);
    }
    external_address_ = 0;
    return false;
}

bool UdpServer::Send(const uint8_t* data, size_t length, uint32_t address, uint16_t port) {
    if (!data || length == 0 || length > kMaxUdpDatagram || address == 0 || port == 0) return false;
    ScopedLock lock(Lock());
    if (!socket_.IsOpen() && !OpenSocket(true)) return false;
    return socket_.SendTo(data, length, address, port);
}

size_t UdpServer::SendBatch(const UdpDatagramRef* items, size_t count) {
    if (count == 0) return 0;
    thread_local std::vector<UdpSocket::Outgoing> out;
    out.clear();
    for (size_t i = 0; i < count; ++i) {
        const UdpDatagramRef& d = items[i];
        out.push_back(UdpSocket::Outgoing{d.data, d.length, d.address, d.port});
    }
    ScopedLock lock(Lock());
    if (!socket_.IsOpen() && !OpenSocket(true)) return 0;
    return socket_.SendMany(out.data(), out.size());
}

void UdpServer::DispatchRead(const UdpSocket::ReadResult* reads, size_t count, bool suspended) {
    thread_local std::vector<UdpDatagramRef> run;
    run.clear();
    auto flush_run = [&] {
        if (run.empty()) return;
        if (stream_ && !suspended) {
            stream_->OnStreamBatch(run.data(), run.size());
            counters_.dispatched += run.size();
        } else {
            counters_.unclaimed += run.size();
        }
        run.clear();
    };
    // One datagram; `terminated` when a NUL may be written after it.
    auto one = [&](uint8_t* data, size_t length, uint32_t address, uint16_t port, bool terminated) {
        if (RouteDatagram(data, length) == UdpRoute::kStream) {
            run.push_back(UdpDatagramRef{data, length, address, port});
            return;
        }
        flush_run();
        if (!terminated) {
            std::memcpy(single_.data(), data, length);
            data = single_.data();
        }
        data[length] = 0;
        if (DispatchDatagram(data, length, address, port, dht_, stream_, suspended))
            ++counters_.dispatched;
        else
            ++counters_.unclaimed;
    };
    for (size_t i = 0; i < count; ++i) {
        const UdpSocket::ReadResult& r = reads[i];
        if (r.kind == UdpSocket::ReadKind::kSkipped) {
            ++counters_.skipped;
            continue;
        }
        if (r.kind != UdpSocket::ReadKind::kDatagram) continue;
        uint8_t* data = buffer_at_[i];
        data[r.length] = 0;
        if (r.segment == 0) {
            one(data, r.length, r.address, r.port, true);
            continue;
        }
        // A coalesced run: cut it into its datagrams (items of a stream batch
        // are not followed by a NUL; anything else gets its own copy).
        for (size_t at = 0; at < r.length; at += r.segment) {
            const size_t length = std::min(r.segment, r.length - at);
            one(data + at, length, r.address, r.port, at + length == r.length);
        }
    }
    flush_run();
}

// Datagrams a read holds: a coalesced run counts each of its own.
size_t UdpServer::DatagramsIn(const UdpSocket::ReadResult* reads, size_t count) {
    size_t total = 0;
    for (size_t i = 0; i < count; ++i)
        total += reads[i].segment != 0 ? (reads[i].length + reads[i].segment - 1) / reads[i].segment : 1;
    return total;
}

uint32_t UdpServer::RunPass() {
    ScopedLock lock(Lock());
    spin_due_ = false;
    const bool suspended = Suspended();
    if (suspended && !(dht_running_probe_ && dht_running_probe_())) {
        // Nobody listens: the socket closes until the transport or the DHT
        // needs it again.
        socket_.Close();
        external_address_ = 0;
        was_suspended_ = true;
        return kSuspendedPollMs;
    }
    if (was_suspended_) {
        was_suspended_ = false;
        registration_due_ = true;
        last_keep_alive_s_ = 0;
        rendezvous_answered_ = false;
    }
    if (!socket_.IsOpen() || (local_port_ != 0 && socket_.bound_port() != local_port_)) {
        if (!OpenSocket(true)) return kOpenRetryMs;
    }

    uint32_t wait = 0;
    // One call reads what the rest of the burst allows.
    std::array<UdpSocket::ReadResult, kReadBatch> reads;
    const size_t room = size_t(kBurstLimit - std::min(burst_, kBurstLimit));
    const size_t got = socket_.ReceiveMany(buffer_at_.data(), kBufferSize - 1, reads.data(), std::max<size_t>(room, 1));
    const bool closed = got > 0 && reads[got - 1].kind == UdpSocket::ReadKind::kClosed;
    const size_t read = closed ? got - 1 : got;
    if (read > 0) {
        idle_ = 0;
        DispatchRead(reads.data(), read, suspended);
        // Datagrams of any length count toward the burst: a flood of short
        // ones must not starve the timers or keep the lock from senders.
        burst_ += int32_t(std::min<size_t>(DatagramsIn(reads.data(), read), size_t(kBurstLimit)));
        // A full read may have left more waiting: read again at once until
        // the burst is used up. A short one emptied the socket.
        if (burst_ < kBurstLimit && read == room && !closed) return 0;
        if (burst_ < kBurstLimit && !closed) wait = kIdleWaitMs;
    } else if (closed) {
        if (!OpenSocket(true)) return kOpenRetryMs;
        wait = kReadErrorPauseMs;
    } else {
        if (burst_ == 0) wait = kIdleWaitMs;
        ++idle_;
        // The socket is empty: readers whose wake-up waited for more data hear now.
        if (stream_ && !suspended && stream_->HoldsWakes()) stream_->ReleaseHeldWakes();
    }

    if (!suspended) RunTimers(lock);
    if (idle_ >= kIdleLimit) wait += kLongIdleExtraMs;
    if (burst_ >= kBurstLimit)
        wait += kBurstYieldMs;
    else if (wait > kHeldWakeMs && stream_ && !suspended && stream_->HoldsWakes())
        wait = kHeldWakeMs;
    // Datagrams came in this burst, and it did not hit its limit: an answer
    // may follow within the spin.
    spin_due_ = burst_ > 0 && burst_ < kBurstLimit;
    burst_ = 0;
    return wait;
}

void UdpServer::RunTimers(ScopedLock& lock) {
    ++counters_.timer_passes;
    const uint64_t now_ms = clock_.TickMs();
    const uint64_t now_s = now_ms / 1000;
    if (!timers_started_) {
        timers_started_ = true;
        last_retransmit_ms_ = last_acknowledge_ms_ = last_maintenance_ms_ = now_ms;
        last_trim_s_ = now_s;
    }
    if (stream_) {
        if (Since(now_ms, last_retransmit_ms_) >= kRetransmitMs) {
            stream_->RetransmitTick();
            last_retransmit_ms_ = last_acknowledge_ms_ = now_ms;
        } else if (Since(now_ms, last_acknowledge_ms_) >= kAcknowledgeMs) {
            stream_->AcknowledgeTick();
            last_acknowledge_ms_ = now_ms;
        }
        if (Since(now_ms, last_maintenance_ms_) > kMaintenanceMs) {
            stream_->MaintenanceTick();
            last_maintenance_ms_ = now_ms;
        }
    }
    if (Since(now_s, last_trim_s_) >= kRegistrationSeconds) {
        last_trim_s_ = now_s;
        TrimPool();
    }

    // The rendezvous server's name is looked up here, not before the first
    // read: while it does not resolve, the DHT and the transport still hear
    // their datagrams; registration waits until it does.
    if (rendezvous_address_ == 0) ResolveRendezvous(lock);
    if (!stream_ || rendezvous_address_ == 0) return;
    if (registration_due_ || Since(now_s, last_registration_s_) >= kRegistrationSeconds) {
        stream_->Register();
        rendezvous_answered_ = false;
        registration_due_ = false;
        last_registration_s_ = last_keep_alive_s_ = now_s;
    }
    if (Since(now_s, last_keep_alive_s_) >= static_cast<uint64_t>(keep_alive_interval_)) {
        if (external_address_ != 0 && external_address_ != local_address_) stream_->KeepAlive();
        last_keep_alive_s_ = now_s;
        if (!rendezvous_answered_) registration_due_ = true;
    }
    if (stream_->HasPendingConnectBatch()) stream_->FlushConnectBatch();
}

void UdpServer::ResolveRendezvous(ScopedLock& lock) {
    const uint64_t now_s = clock_.TickMs() / 1000;
    if (resolve_tried_ && Since(now_s, last_resolve_s_) < kResolveRetrySeconds) return;
    resolve_tried_ = true;
    last_resolve_s_ = now_s;
    const std::string host = rendezvous_host_;
    // The lookup may take seconds: senders must not wait for it.
    lock.Release();
    resolver_.ClearNegativeCache();  // a retry must really ask again
    std::vector<uint32_t> found;
    const bool ok = !host.empty() && resolver_.ResolveHostTimed(host, &found) > 0 && !found.empty();
    lock.Acquire();
    if (ok && host == rendezvous_host_) rendezvous_address_ = found.front();
}

void UdpServer::TrimPool() {
    if (trim_pool_) TrimByUse(*trim_pool_);
}

void UdpServer::Wake() {
    if (wake_fd_ < 0) return;
    const uint64_t one = 1;
    if (::write(wake_fd_, &one, sizeof one) < 0) {
        // The counter is already non-zero: the thread wakes anyway.
    }
}

void UdpServer::WaitReal(uint32_t ms) {
    pollfd entries[2] = {};
    nfds_t count = 0;
    if (wake_fd_ >= 0) {
        entries[count].fd = wake_fd_;
        entries[count].events = POLLIN;
        ++count;
    }
    {
        ScopedLock lock(Lock());
        // After a burst the wait is a yield to senders, not a wait for data.
        if (socket_.IsOpen() && ms != kBurstYieldMs) {
            entries[count].fd = socket_.handle();
            entries[count].events = POLLIN;
            ++count;
        }
    }
    if (::poll(entries, count, static_cast<int>(ms)) > 0 && wake_fd_ >= 0 && (entries[0].revents & POLLIN)) {
        uint64_t drained = 0;
        if (::read(wake_fd_, &drained, sizeof drained) < 0) drained = 0;
    }
}

bool UdpServer::SpinForData() {
    if (!spin_due_) return false;
    spin_due_ = false;
    if (!spin_budget_.Allows()) return false;
    pollfd entries[2] = {};
    nfds_t count = 0;
    {
        ScopedLock lock(Lock());
        if (!socket_.IsOpen()) return false;
        entries[count++] = pollfd{socket_.handle(), POLLIN, 0};
        ++counters_.spins;
    }
    if (wake_fd_ >= 0) entries[count++] = pollfd{wake_fd_, POLLIN, 0};
    const uint64_t until = MonotonicMicros() + kSpinMicros;
    do {
        if (::poll(entries, count, 0) > 0) {
            // A wake-up request is left for the wait to take.
            if (!(entries[0].revents & POLLIN)) return false;
            spin_budget_.Record(true);
            ScopedLock lock(Lock());
            ++counters_.spin_hits;
            return true;
        }
        // Whatever else wants this core (the threads that read and write
        // the streams) runs first.
        ::sched_yield();
    } while (MonotonicMicros() < until && !CheckStop());
    spin_budget_.Record(false);
    return false;
}

void UdpServer::Run() {
    OpenSocket(true);
    while (!CheckStop()) {
        const uint32_t wait = RunPass();
        if (wait > 0 && !CheckStop() && !SpinForData()) WaitReal(wait);
    }
    ScopedLock lock(Lock());
    socket_.Close();
}

}  // namespace zl
