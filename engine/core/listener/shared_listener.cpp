#include "engine/core/listener/shared_listener.h"

#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cstring>

#include "engine/core/listener/incoming_sniff.h"
#include "engine/meta/sha1.h"
#include "engine/net/address.h"

namespace zl {

std::string ListenAddressText(const PublishedEndpoint& endpoint, bool p2p) {
    if (!p2p) return "Service Disabled!";
    if (endpoint.address == 0 || endpoint.port <= 0) return {};
    return FormatAddress(endpoint.address) + " : " + std::to_string(endpoint.port);
}

SharedListener::SharedListener(ListenerEnv env) : env_(std::move(env)) {}

SharedListener::~SharedListener() {
    ScopedLock lock(env_.data_lock);
    CloseLocked(true);
}

uint32_t SharedListener::MachineAddress() const {
    const uint32_t bound = env_.switches->bind_address.load();
    if (IsValidAddress(bound)) return bound;
    return env_.host_address ? env_.host_address() : 0;
}

// --- the service step ------------------------------------------------------------------------

SharedListener::ServiceResult SharedListener::ServiceIncoming(const ServiceRequest& request) {
    ServiceResult result;
    ScopedLock lock(env_.data_lock);
    if (request.info_hash) NoteActive(request.task, *request.info_hash);
    AcceptWaiting(request);
    SortPending(request, &result);
    ThinCrowd(env_.tick_ms());
    result.services_ok = RefreshLocked(&result.published);
    lock.Release();
    TellUdpServer();
    return result;
}

void SharedListener::AcceptWaiting(const ServiceRequest& request) {
    const uint64_t now = env_.tick_ms();
    for (int i = 0; i < kAcceptsPerStep && pending_.size() < kMaxPending; ++i) {
        std::unique_ptr<TSocket> s = AcceptOne();
        if (!s) break;
        const uint32_t remote = s->remote_address();
        // A peer from outside our /24 network (not this machine) reached us
        // directly over TCP: we are reachable, and relayed connections are no
        // longer needed.
        const bool loopback = (remote & 0xFF) == 127;  // first byte in memory order
        if (!s->udp_mode() && !env_.switches->directly_reachable.load() && !loopback &&
            std::memcmp(&remote, &published_.address, 3) != 0) {
            env_.switches->directly_reachable = true;
            env_.switches->udp_stream_off = true;
        }
        if (request.blocked && request.blocked(remote)) continue;  // closed as it goes
        pending_.push_back(Pending{std::move(s), now, nullptr});
    }
}

// TCP first; the UDP stream when TCP has nothing waiting.
std::unique_ptr<TSocket> SharedListener::AcceptOne() {
    if (listener_ && listener_->listening())
        if (std::unique_ptr<TSocket> s = listener_->Accept()) return s;
    if (udp_listener_ && udp_listener_->listening() && !env_.switches->udp_stream_off.load())
        return udp_listener_->Accept();
    return nullptr;
}

void SharedListener::SortPending(const ServiceRequest& request, ServiceResult* result) {
    const uint64_t now = env_.tick_ms();
    for (Pending& p : pending_) {
        TSocket& s = *p.socket;
        const int64_t limit = p.obfuscated ? kObfuscatedReceiveLimit : kReceiveBelow + kReceiveChunk;
        if ((p.obfuscated || s.received_length() < kReceiveBelow) && s.Receive(kReceiveChunk, limit) < 0) {
            p.socket.reset();  // closed by the remote, or failed
            continue;
        }
        IncomingSniff sniff = SniffIncoming(s.received(), static_cast<size_t>(s.received_length()));
        if (p.obfuscated || (sniff.verdict == IncomingSniff::Verdict::kForeign && sniff.obfuscated_candidate &&
                             s.received_length() >= static_cast<int64_t>(MseAccept::kKeySize))) {
            if (!Deobfuscate(p)) {
                p.socket.reset();
                continue;
            }
            sniff = SniffIncoming(s.received(), static_cast<size_t>(s.received_length()));
        }
        const bool short_noise = sniff.obfuscated_candidate && s.received_length() < int64_t(MseAccept::kKeySize);
        if (sniff.verdict == IncomingSniff::Verdict::kForeign && !p.obfuscated && !short_noise) {
            // Another protocol, a failed obfuscated handshake or noise: it
            // can never be ours, so it does not wait out its time.
            p.socket.reset();
            continue;
        }
        if (sniff.verdict == IncomingSniff::Verdict::kHandshake) {
            if (request.info_hash && std::memcmp(sniff.info_hash, request.info_hash->data(), 20) == 0) {
                result->accepted.push_back(std::move(p.socket));
                continue;
            }
            if (!IsActiveHash(sniff.info_hash)) {
                p.socket.reset();  // a torrent no task of ours has
                continue;
            }
        }
        // Still arriving (perhaps the keys of an obfuscated handshake), or for
        // another task that has not looked yet.
        const uint64_t age = now >= p.arrived_ms ? now - p.arrived_ms : 0;
        const bool whole = sniff.verdict == IncomingSniff::Verdict::kHandshake && sniff.handshake_bytes >= kSniffHandshakeSize;
        if (age >= kHandshakeMs || (age >= kSilentMs && !whole)) p.socket.reset();
    }
    pending_.erase(std::remove_if(pending_.begin(), pending_.end(), [](const Pending& p) { return !p.socket; }),
                   pending_.end());
}

bool SharedListener::Deobfuscate(Pending& p) {
    TSocket& s = *p.socket;
    if (!p.obfuscated) p.obfuscated = std::make_unique<MseAccept>();
    const auto find = [this](const std::array<uint8_t, 20>& req2, MseAccept::InfoHash* hash) {
        for (const ActiveTask& a : active_) {
            if (a.req2 != req2) continue;
            *hash = a.info_hash;
            return true;
        }
        return false;
    };
    std::vector<uint8_t> reply;
    const MseAccept::Result r =
        p.obfuscated->Advance(s.received(), static_cast<size_t>(s.received_length()), find, &reply);
    if (!reply.empty() && s.Send(reply.data(), static_cast<int64_t>(reply.size())) < 0) return false;
    if (r == MseAccept::Result::kFailed) return false;
    if (r == MseAccept::Result::kNeedMore) return true;
    // Negotiated: the initial payload, decrypted where it lies, and what
    // follows it read like any other connection's first bytes (deciphered
    // from here on when the stream stays encrypted).
    MseAccept& mse = *p.obfuscated;
    const std::vector<uint8_t>& payload = mse.initial_payload();
    const size_t at = mse.payload_offset();
    const size_t length = static_cast<size_t>(s.received_length());
    if (at + payload.size() > length) return false;
    uint8_t* bytes = s.received_for_rewrite();
    if (!payload.empty()) std::memcpy(bytes + at, payload.data(), payload.size());
    if (mse.rc4()) {
        std::unique_ptr<StreamCipher> incoming = mse.TakeIncomingCipher();
        const size_t after = at + payload.size();
        if (after < length) incoming->Apply(bytes + after, length - after);
        s.SetStreamCiphers(std::move(incoming), mse.TakeOutgoingCipher());
    }
    s.Consume(static_cast<int64_t>(at), true);
    p.obfuscated.reset();
    return true;
}

void SharedListener::ThinCrowd(uint64_t now) {
    if (pending_.size() <= kCrowded) return;
    pending_.erase(std::remove_if(pending_.begin(), pending_.end(),
                                  [&](const Pending& p) {
                                      const uint64_t age = now >= p.arrived_ms ? now - p.arrived_ms : 0;
                                      const bool short_handshake =
                                          p.obfuscated ||
                                          p.socket->received_length() < static_cast<int64_t>(kSniffHandshakeSize);
                                      return age > kSilentMs || (age > kCrowdedShortMs && short_handshake);
                                  }),
                   pending_.end());
}

void SharedListener::NoteActive(const void* task, const InfoHashBytes& hash) {
    for (ActiveTask& a : active_) {
        if (a.task != task) continue;
        if (a.info_hash == hash) return;
        active_.erase(active_.begin() + (&a - active_.data()));
        break;
    }
    ActiveTask a{task, hash, {}};
    std::vector<uint8_t> bytes = {'r', 'e', 'q', '2'};
    bytes.insert(bytes.end(), hash.begin(), hash.end());
    const Sha1Digest d = Sha1Of(bytes.data(), bytes.size());
    std::memcpy(a.req2.data(), d.data(), a.req2.size());
    active_.push_back(a);
}

bool SharedListener::IsActiveHash(const uint8_t* hash) const {
    for (const ActiveTask& a : active_)
        if (std::memcmp(a.info_hash.data(), hash, 20) == 0) return true;
    return false;
}

// --- the listener and the LAN socket ---------------------------------------------------------

bool SharedListener::RefreshNetworkServices(PublishedEndpoint* published) {
    ScopedLock lock(env_.data_lock);
    const bool ok = RefreshLocked(published);
    lock.Release();
    TellUdpServer();
    return ok;
}

void SharedListener::TellUdpServer() {
    // Outside the data lock: the UDP server takes its own lock.
    PublishedEndpoint due;
    {
        ScopedLock lock(env_.data_lock);
        if (!udp_due_) return;
        udp_due_ = false;
        due = given_to_udp_;
    }
    if (env_.publish_udp) env_.publish_udp(due.address, due.port);
}

bool SharedListener::RefreshLocked(PublishedEndpoint* published) {
    EngineSwitches& sw = *env_.switches;
    if (!sw.p2p.load()) {
        if (listener_ && listener_->listening()) CloseLocked(true);
        lan_.Close();
        if (published) *published = PublishedEndpoint{};
        return true;
    }
    const uint64_t now_s = env_.seconds();
    const uint32_t machine = MachineAddress();
    if (listener_ && listener_->listening() && now_s > last_listen_s_ + kRelistenSeconds) {
        // The machine's address changed (a new network): listen and publish afresh.
        if (listener_->local_address() != machine) CloseLocked(true);
        last_listen_s_ = now_s;
    }
    if (!listener_ || !listener_->listening() ||
        (IsValidAddress(sw.bind_address.load()) && listener_->local_address() != sw.bind_address.load())) {
        published_ = PublishedEndpoint{};
        if (!listener_) listener_ = std::make_unique<TSocket>(env_.socket_env());
        const uint32_t bind = sw.bind_address.load();
        if (!listener_->Listen(sw.EffectiveListenPort(), IsValidAddress(bind) ? bind : 0) ||
            !IsValidAddress(machine)) {
            listener_->Close();
            if (udp_listener_) udp_listener_->Close();  // nothing is published
            if (published) *published = published_;
            return false;
        }
        // Bound to every address, the listener stands for the machine's own.
        listener_->SetLocalAddress(machine);
        // Between two service steps a burst of connections waits in the
        // kernel's queue; a short queue would drop honest peers' connects
        // during a flood. (A simulated transport has no such queue.)
        if (!env_.socket_env().tcp) ::listen(listener_->handle(), kKernelBacklog);
        published_.address = machine;
        published_.port = listener_->local_port();
        last_listen_s_ = now_s;
        if (udp_listener_) udp_listener_->Close();  // it follows the new endpoint
    }
    RefreshUdpListener();
    if (published) *published = published_;
    if (IsValidPort(published_.port) && published_ != given_to_udp_) {
        given_to_udp_ = published_;
        udp_due_ = true;
    }
    if (!sw.lan_discovery.load()) {
        lan_.Close();
        return true;
    }
    if (!lan_.ready() && !lan_.Open(published_.address)) return false;
    return true;
}

// The UDP-stream listener on the published endpoint, while the UDP stream is
// on (a peer that reached us over TCP from outside turns it off for good).
// A failed listen (the UDP server not running yet) is tried at the next step.
void SharedListener::RefreshUdpListener() {
    if (env_.switches->udp_stream_off.load()) {
        if (udp_listener_) udp_listener_->Close();
        return;
    }
    if (udp_listener_ && udp_listener_->listening()) return;
    if (!listener_ || !listener_->listening() || !IsValidPort(published_.port) || !env_.udp_identity) return;
    SocketEnv socket_env = env_.socket_env();
    if (!socket_env.udp) return;
    if (!udp_listener_) udp_listener_ = std::make_unique<TSocket>(socket_env);
    const TSocket::Identity identity = env_.udp_identity();
    if (!udp_listener_->Listen(published_.port, published_.address, &identity)) udp_listener_->Close();
}

bool SharedListener::HasWork() {
    ScopedLock lock(env_.data_lock);
    if (!listener_ || !listener_->listening()) return false;
    // One look at the listener and the pending connections: only bytes or a
    // new connection make work (a silent flood does not).
    std::vector<pollfd> entries;
    listener_->AddWaitEntry(entries);
    // UDP-stream connections have no descriptor: the transport is asked at once.
    if (udp_listener_ && udp_listener_->listening() && udp_listener_->WaitReadable(0)) return true;
    bool simulated = false;
    for (const Pending& p : pending_) {
        const size_t before = entries.size();
        p.socket->AddWaitEntry(entries);
        if (entries.size() != before) continue;
        if (p.socket->udp_mode()) {
            if (p.socket->WaitReadable(0)) return true;
        } else {
            simulated = true;  // a simulated transport: nothing to poll
        }
    }
    if (simulated || entries.empty()) return simulated;
    if (::poll(entries.data(), entries.size(), 0) <= 0) return false;
    for (const pollfd& e : entries)
        if (e.revents & (POLLIN | POLLERR | POLLHUP)) return true;
    return false;
}

void SharedListener::CloseListeners(bool drop_pending) {
    ScopedLock lock(env_.data_lock);
    CloseLocked(drop_pending);
}

void SharedListener::CloseLocked(bool drop_pending) {
    if (listener_) listener_->Close();
    if (udp_listener_) udp_listener_->Close();
    published_ = PublishedEndpoint{};
    if (drop_pending) pending_.clear();
    lan_.Close();
}

void SharedListener::Forget(const void* task) {
    ScopedLock lock(env_.data_lock);
    active_.erase(std::remove_if(active_.begin(), active_.end(), [&](const ActiveTask& a) { return a.task == task; }),
                  active_.end());
    lan_.Forget(task);
}

void SharedListener::Shutdown() {
    ScopedLock lock(env_.data_lock);
    CloseLocked(true);
    listener_.reset();
    udp_listener_.reset();
    active_.clear();
    given_to_udp_ = PublishedEndpoint{};
}

std::vector<LanPeer> SharedListener::LanExchange(const LanTaskFacts& facts) {
    ScopedLock lock(env_.data_lock);
    if (!env_.switches->p2p.load() || !env_.switches->lan_discovery.load() || !lan_.ready()) return {};
    LanTaskFacts f = facts;
    f.published_address = published_.address;
    f.published_port = published_.port;
    return lan_.Exchange(f);
}

void SharedListener::SetLanGroup(uint32_t group, uint16_t port) {
    ScopedLock lock(env_.data_lock);
    lan_.SetGroup(group, port);
}

PublishedEndpoint SharedListener::Published() {
    ScopedLock lock(env_.data_lock);
    return published_;
}

bool SharedListener::Listening() {
    ScopedLock lock(env_.data_lock);
    return listener_ && listener_->listening();
}

bool SharedListener::UdpListening() {
    ScopedLock lock(env_.data_lock);
    return udp_listener_ && udp_listener_->listening();
}

size_t SharedListener::PendingCount() {
    ScopedLock lock(env_.data_lock);
    return pending_.size();
}

size_t SharedListener::ActiveTasks() {
    ScopedLock lock(env_.data_lock);
    return active_.size();
}

size_t SharedListener::LanPeerCount() {
    ScopedLock lock(env_.data_lock);
    return lan_.stored();
}

bool SharedListener::LanReady() {
    ScopedLock lock(env_.data_lock);
    return lan_.ready();
}

}  // namespace zl
