// The transport's lists, pool, handle table, lock and outbox, and Select.
#include "engine/udp/udp_stream_transport.h"

#include <linux/futex.h>
#include <sys/eventfd.h>
#include <sys/syscall.h>
#include <sys/random.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <ctime>
#include <cstring>

#include "engine/base/clock.h"
#include "engine/meta/buffer_pool.h"
#include "engine/udp/udp_stream_guard.h"

namespace zl {
namespace {

uint32_t SystemRandom() {
    uint32_t value = 0;
    while (::getrandom(&value, sizeof value, 0) != sizeof value) {
    }
    return value;
}

}  // namespace

const char* UdpStreamStateName(UdpStreamState state) {
    switch (state) {
        case UdpStreamState::kNew: return "new";
        case UdpStreamState::kBound: return "bound";
        case UdpStreamState::kListening: return "listening";
        case UdpStreamState::kViaRendezvous: return "via-rendezvous";
        case UdpStreamState::kConnecting: return "connecting";
        case UdpStreamState::kAccepting: return "accepting";
        case UdpStreamState::kEstablished: return "established";
        case UdpStreamState::kClosed: return "closed";
    }
    return "?";
}

bool UdpHandleSet::Has(int handle) const {
    return std::find(handles_.begin(), handles_.end(), handle) != handles_.end();
}

uint8_t* UdpStreamTransport::Outbox::Emit(size_t length, uint32_t address, uint16_t port) {
    const size_t offset = bytes.size();
    bytes.resize(offset + length);
    items.push_back(Item{offset, nullptr, uint32_t(length), address, port});
    return bytes.data() + offset;
}

UdpStreamTransport::UdpStreamTransport(IUdpSender& sender, UdpStreamConfig config)
    : sender_(sender),
      config_(std::move(config)),
      clock_(config_.clock ? *config_.clock : SystemClock()),
      pool_(config_.pool ? *config_.pool : SharedBufferPools().socket_buffer),
      tag_(TagOfNodeId(NormaliseLocalNodeId(config_.node_id))),
      system_clock_(&clock_ == &SystemClock()) {
    if (!config_.random) config_.random = SystemRandom;
    if (config_.connect_timeout <= 0) config_.connect_timeout = 30;
    read_queue_ = std::clamp(config_.read_queue, udpstream::kWindow, UdpStream::kReadableSlots);
    read_wake_segments_ = read_queue_ > 3 * udpstream::kWindow ? read_queue_ - 2 * udpstream::kWindow : 0;
    send_queue_ = config_.send_on_ack ? std::clamp(config_.send_queue, 0, UdpStream::kSendSlots - udpstream::kWindow) : 0;
    SyncWithHost();
}

UdpStreamTransport::~UdpStreamTransport() {
    std::lock_guard lock(mutex_);
    for (auto& [id, s] : table_) {
        ReleaseSendBuffers(s.get());
        ReleaseReceiveBuffers(s.get());
    }
    ReturnSpareSegments();
}

uint64_t UdpStreamTransport::NowMs() { return clock_.TickMs(); }

uint64_t UdpStreamTransport::NowSeconds() { return config_.seconds ? config_.seconds() : clock_.TickMs() / 1000; }

// --- streams, lists and pool ---------------------------------------------

UdpStream* UdpStreamTransport::Find(int handle) {
    if (handle <= 0) return nullptr;
    auto it = table_.find(uint32_t(handle));
    return it == table_.end() ? nullptr : it->second.get();
}

UdpStream* UdpStreamTransport::FindOn(uint32_t id, UdpStreamList list) {
    auto it = table_.find(id);
    if (it == table_.end() || it->second->list != list) return nullptr;
    return it->second.get();
}

std::vector<UdpStream*>& UdpStreamTransport::ListOf(UdpStreamList list) {
    switch (list) {
        case UdpStreamList::kBound: return bound_;
        case UdpStreamList::kAcceptQueue: return accept_;
        default: return open_;
    }
}

void UdpStreamTransport::Detach(UdpStream* s) {
    if (s->list == UdpStreamList::kNone) return;
    auto& list = ListOf(s->list);
    list.erase(std::find(list.begin(), list.end(), s));
    s->list = UdpStreamList::kNone;
}

void UdpStreamTransport::Attach(UdpStream* s, UdpStreamList list) {
    Detach(s);
    if (list == UdpStreamList::kNone) return;
    ListOf(list).push_back(s);
    s->list = list;
}

UdpStream* UdpStreamTransport::NewStream() {
    std::unique_ptr<UdpStream> s;
    uint32_t nonce;
    if (!free_pool_.empty()) {
        s = std::move(free_pool_.back());
        free_pool_.pop_back();
        nonce = s->nonce + 1;
    } else {
        s = std::make_unique<UdpStream>();
        nonce = uint32_t(NowMs());
    }
    *s = UdpStream{};
    s->nonce = nonce;
    // Ids are handles too, so they stay positive as an int.
    uint32_t id;
    do id = config_.random() & 0x7FFFFFFFu;
    while (id == 0 || table_.count(id) != 0);
    s->id = id;
    s->last_activity = NowSeconds();
    s->counters_reset_time = s->last_activity;
    UdpStream* raw = s.get();
    table_.emplace(id, std::move(s));
    return raw;
}

uint8_t* UdpStreamTransport::TakeSegmentBuffer() {
    if (spare_segments_.empty()) {
        uint8_t* fresh = pool_.Get(int64_t(kSegmentBufferSize));
        if (fresh) PinWord(fresh).store(0, std::memory_order_relaxed);
        return fresh;
    }
    uint8_t* buffer = spare_segments_.back();
    spare_segments_.pop_back();
    return buffer;
}

void UdpStreamTransport::GiveBackSegmentBuffer(uint8_t* buffer) {
    // Still queued to send on another thread: its last unpin frees it.
    if ((PinWord(buffer).fetch_or(kOrphaned, std::memory_order_acq_rel) & ~kOrphaned) != 0) return;
    PinWord(buffer).store(0, std::memory_order_relaxed);
    if (spare_segments_.size() < kSpareSegmentLimit)
        spare_segments_.push_back(buffer);
    else
        pool_.Release(buffer);
}

void UdpStreamTransport::UnpinSegments(const Outbox& out) {
    for (const Outbox::Item& item : out.items) {
        if (!item.segment) continue;
        uint8_t* buffer = const_cast<uint8_t*>(item.segment);
        if (PinWord(buffer).fetch_sub(1, std::memory_order_acq_rel) == (kOrphaned | 1)) {
            PinWord(buffer).store(0, std::memory_order_relaxed);
            pool_.Release(buffer);
        }
    }
}

void UdpStreamTransport::ReturnSpareSegments() {
    for (uint8_t* buffer : spare_segments_) pool_.Release(buffer);
    spare_segments_.clear();
}

void UdpStreamTransport::ReleaseSendBuffers(UdpStream* s) {
    for (int i = 0; i < s->send_used; ++i) {
        if (s->send[size_t(i)].packet) GiveBackSegmentBuffer(s->send[size_t(i)].packet);
        s->send[size_t(i)] = UdpSendSlot{};
    }
    s->send_used = 0;
}

void UdpStreamTransport::ReleaseReceiveBuffers(UdpStream* s) {
    for (auto& seg : s->receive) {
        if (seg.stored) GiveBackSegmentBuffer(seg.stored);
        seg = UdpSegment{};
    }
    for (int i = 0; i < s->readable_count; ++i) {
        if (s->Readable(i).stored) GiveBackSegmentBuffer(s->Readable(i).stored);
        s->Readable(i) = UdpSegment{};
    }
    s->readable_count = 0;
    s->readable_head = 0;
    s->read_offset = 0;
}

void UdpStreamTransport::ReleaseStream(UdpStream* s) {
    if (s->event_fd >= 0) ::close(s->event_fd);
    s->event_fd = -1;
    s->event_raised = false;
    Detach(s);
    ReleaseSendBuffers(s);
    ReleaseReceiveBuffers(s);
    auto it = table_.find(s->id);
    if (it == table_.end()) return;
    std::unique_ptr<UdpStream> owned = std::move(it->second);
    table_.erase(it);
    if (free_pool_.size() < kFreePoolLimit) free_pool_.push_back(std::move(owned));
}

void UdpStreamTransport::CloseStream(UdpStream* s, int32_t reason) {
    s->state = UdpStreamState::kClosed;
    s->close_error = reason;
    s->request_number = -1;
    ReleaseSendBuffers(s);
    Notify(s);
    Wake();
}

void UdpStreamTransport::Notify(UdpStream* s) {
    if (s->event_fd < 0 || s->event_raised) return;
    const uint64_t one = 1;
    s->event_raised = ::write(s->event_fd, &one, sizeof one) == sizeof one;
}

void UdpStreamTransport::Lower(UdpStream* s) {
    if (!s->event_raised) return;
    uint64_t count = 0;
    if (::read(s->event_fd, &count, sizeof count) < 0) count = 0;
    s->event_raised = false;
}

void UdpStreamTransport::TellReader(UdpStream* s, bool at_once) {
    if (read_wake_segments_ > 0 && !at_once && s->readable_count < read_wake_segments_) {
        s->read_held = true;
        if (!holding_.load(std::memory_order_relaxed)) held_since_ms_ = NowMs();
        holding_.store(true, std::memory_order_release);
        return;
    }
    s->read_held = false;
    Notify(s);
    Wake(kWakeReaders);  // a reader waits only while there is nothing to read
}

void UdpStreamTransport::ReleaseHeldWakes() {
    Guard g(*this);
    ReleaseHeldLocked();
}

void UdpStreamTransport::ReleaseHeldLocked() {
    if (!holding_.load(std::memory_order_relaxed)) return;
    holding_.store(false, std::memory_order_release);
    for (auto* list : {&open_, &accept_})
        for (UdpStream* s : *list)
            if (s->read_held) TellReader(s, true);
}

void UdpStreamTransport::NotifyListener(UdpStream* accepted) {
    for (UdpStream* b : bound_)
        if (b->state == UdpStreamState::kListening && b->service_port == accepted->service_port) Notify(b);
}

int UdpStreamTransport::EventDescriptor(int handle) {
    Guard g(*this);
    UdpStream* s = Find(handle);
    if (!s) return -1;
    if (s->event_fd < 0) {
        s->event_fd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
        if (s->event_fd < 0) return -1;
        // What happened before anyone asked counts too.
        if (IsReadable(s) || IsInError(s) || s->connected) Notify(s);
    }
    return s->event_fd;
}

// --- settings and inspection ------------------------------------------------

bool UdpStreamTransport::Suspended() const { return suspended_ || (config_.host && config_.host->Suspended()); }

void UdpStreamTransport::SyncWithHost() {
    if (!config_.host) return;
    const IUdpStreamHost::View v = config_.host->Read();
    Guard g(*this);
    config_.rendezvous_address = v.rendezvous_address;
    config_.rendezvous_port = v.rendezvous_port;
    if (v.local_address != 0 && v.local_address != 0xFFFFFFFFu) config_.local_address = v.local_address;
    if (v.local_port != 0) config_.local_port = v.local_port;
    if (v.connect_timeout > 0) config_.connect_timeout = v.connect_timeout;
    if (v.tag != EndpointTag{}) tag_ = v.tag;
}

void UdpStreamTransport::SetSuspended(bool suspended) {
    Guard g(*this);
    suspended_ = suspended;
}

void UdpStreamTransport::SetServerRunning(bool running) {
    Guard g(*this);
    server_running_ = running;
}

void UdpStreamTransport::SetLocalEndpoint(uint32_t address, uint16_t port) {
    Guard g(*this);
    if (address != 0 && address != 0xFFFFFFFFu) config_.local_address = address;
    if (port != 0) config_.local_port = port;
}

void UdpStreamTransport::SetRendezvousServer(uint32_t address, uint16_t port) {
    Guard g(*this);
    config_.rendezvous_address = address;
    config_.rendezvous_port = port;
}

void UdpStreamTransport::SetConnectTimeout(int32_t seconds) {
    Guard g(*this);
    if (seconds > 0) config_.connect_timeout = seconds;
}

NodeId UdpStreamTransport::node_id() {
    Guard g(*this);
    return NodeIdOfTag(tag_);
}

EndpointTag UdpStreamTransport::local_tag() {
    Guard g(*this);
    return tag_;
}

uint32_t UdpStreamTransport::ExternalAddress() {
    Guard g(*this);
    return external_address_;
}

uint32_t UdpStreamTransport::ExternalPort() {
    Guard g(*this);
    return external_port_;
}

bool UdpStreamTransport::BehindNat() {
    Guard g(*this);
    return BehindNatLocked();
}

bool UdpStreamTransport::ServerAnswered() {
    Guard g(*this);
    return server_answered_;
}

UdpStreamSnapshot UdpStreamTransport::Inspect(int handle) {
    Guard g(*this);
    UdpStreamSnapshot out;
    UdpStream* s = Find(handle);
    if (!s) return out;
    out.exists = true;
    out.state = s->state;
    out.list = s->list;
    out.connected = s->connected;
    out.id = s->id;
    out.remote_stream_id = s->remote_stream_id;
    out.remote_address = s->remote_address;
    out.remote_port = s->remote_port;
    out.service_port = s->service_port;
    out.remote_id = NodeIdOfTag(s->remote_tag);
    out.nonce = s->nonce;
    out.request_number = s->request_number;
    out.send_used = s->send_used;
    out.send_base = s->send_base;
    for (int i = 0; i < std::min(s->send_used, udpstream::kWindow); ++i) {
        out.send_retries[size_t(i)] = s->send[size_t(i)].retries;
        out.send_sent[size_t(i)] = s->send[size_t(i)].sent_ms != 0;
    }
    out.next_expected = s->next_expected;
    out.readable_count = s->readable_count;
    for (const auto& seg : s->receive) out.receive_filled += seg.stored ? 1 : 0;
    out.bytes_acknowledged = s->bytes_acknowledged;
    out.bytes_received = s->bytes_received;
    out.loss_percent = LossPercent(s);
    uint32_t segment = 0;
    out.window_limit = WindowLimit(s, &segment);
    out.segment_size = segment;
    out.send_count = s->send_count;
    out.resend_count = s->resend_count;
    out.close_error = s->close_error;
    return out;
}

UdpStreamCounters UdpStreamTransport::Counters() {
    Guard g(*this);
    return counters_;
}

size_t UdpStreamTransport::FreePoolSize() {
    Guard g(*this);
    return free_pool_.size();
}

size_t UdpStreamTransport::PunchListSize() {
    Guard g(*this);
    return punch_list_.size();
}

size_t UdpStreamTransport::PendingRequestCount() {
    Guard g(*this);
    return pending_requests_.size();
}

size_t UdpStreamTransport::AcceptQueueSize() {
    Guard g(*this);
    return accept_.size();
}

int UdpStreamTransport::backlog() {
    Guard g(*this);
    return backlog_;
}

void UdpStreamTransport::ResetTransport() {
    Guard g(*this);
    // Sends queued under this hold are dropped with the streams.
    UnpinSegments(outbox_);
    outbox_.Clear();
    while (!table_.empty()) ReleaseStream(table_.begin()->second.get());
    free_pool_.clear();
    open_.clear();
    bound_.clear();
    accept_.clear();
    batch_.Clear();
    pending_requests_.clear();
    punch_list_.clear();
    external_address_ = 0;
    external_port_ = 0;
    server_answered_ = false;
    ReturnSpareSegments();
    Wake();
}

// --- Select -----------------------------------------------------------------

bool UdpStreamTransport::IsReadable(UdpStream* s) {
    if (s->list == UdpStreamList::kOpen)
        return s->state == UdpStreamState::kClosed || (s->connected && s->HasReadableData());
    if (s->list == UdpStreamList::kBound && s->state == UdpStreamState::kListening) {
        for (UdpStream* a : accept_)
            if (a->state == UdpStreamState::kEstablished && a->service_port == s->service_port) return true;
    }
    return false;
}

bool UdpStreamTransport::IsWritable(UdpStream* s) {
    if (s->list != UdpStreamList::kOpen) return false;
    return s->state == UdpStreamState::kClosed || (s->connected && s->send_used < WritableBelow());
}

bool UdpStreamTransport::IsInError(UdpStream* s) {
    return s->list == UdpStreamList::kOpen && s->state == UdpStreamState::kClosed;
}

int UdpStreamTransport::SelectOnce(UdpHandleSet* read, UdpHandleSet* write, UdpHandleSet* except, bool shrink) {
    int ready = 0;
    // Counted first; the sets are cut to their ready members only when some
    // are ready (so a wait that goes on copies nothing).
    auto visit = [&](UdpHandleSet* set, bool (UdpStreamTransport::*test)(UdpStream*)) {
        if (!set) return;
        auto& handles = set->mutable_handles();
        if (!shrink) {
            for (int h : handles) {
                UdpStream* s = Find(h);
                if (s && (this->*test)(s)) ++ready;
            }
            return;
        }
        size_t kept = 0;
        for (int h : handles) {
            UdpStream* s = Find(h);
            if (s && (this->*test)(s)) handles[kept++] = h;
        }
        handles.resize(kept);
        ready += int(kept);
    };
    visit(read, &UdpStreamTransport::IsReadable);
    visit(write, &UdpStreamTransport::IsWritable);
    visit(except, &UdpStreamTransport::IsInError);
    return ready;
}

void UdpStreamTransport::WakeWaiters(uint8_t kinds) {
    const bool readers = (kinds & kWakeReaders) && read_waiters_.load(std::memory_order_acquire) > 0;
    const bool writers = (kinds & kWakeWriters) && write_waiters_.load(std::memory_order_acquire) > 0;
    if (!readers && !writers) return;
    wait_word_.fetch_add(1, std::memory_order_acq_rel);
    if (system_clock_) {
        // Only waiters of the kinds concerned wake: a writer sleeps on while data arrives.
        const uint32_t bits = (readers ? kWakeReaders : 0) | (writers ? kWakeWriters : 0);
        ::syscall(SYS_futex, WaitWord(), FUTEX_WAKE_BITSET_PRIVATE, INT_MAX, nullptr, nullptr, bits);
    } else {
        clock_.WakeSleepers();
    }
}

void UdpStreamTransport::WaitForChange(uint32_t seen, uint32_t ms, uint8_t kinds) {
    if (system_clock_) {
        timespec deadline{};
        ::clock_gettime(CLOCK_MONOTONIC, &deadline);
        deadline.tv_sec += time_t(ms / 1000);
        deadline.tv_nsec += long(ms % 1000) * 1000000L;
        if (deadline.tv_nsec >= 1000000000L) {
            deadline.tv_nsec -= 1000000000L;
            ++deadline.tv_sec;
        }
        // Returns at once when the word moved since `seen`; else sleeps until
        // a wake of these kinds or the deadline.
        ::syscall(SYS_futex, WaitWord(), FUTEX_WAIT_BITSET_PRIVATE, seen, &deadline, nullptr, uint32_t(kinds));
    } else {
        clock_.SleepMsUnless(ms, [&] { return wait_word_.load(std::memory_order_acquire) != seen; });
    }
}

int UdpStreamTransport::Select(UdpHandleSet* read, UdpHandleSet* write, UdpHandleSet* except, int timeout_ms) {
    static constexpr uint64_t kPollStepMs = 10;
    const uint64_t start = NowMs();
    // Counted as waiting before readiness is checked, so that a change made
    // between the check and the sleep still wakes this caller.
    const bool writes = write && !write->empty();
    const bool reads = !writes || (read && !read->empty()) || (except && !except->empty());
    struct Waiting {
        std::atomic<int>* n;
        ~Waiting() {
            if (n) n->fetch_sub(1, std::memory_order_acq_rel);
        }
    } as_reader{reads ? &read_waiters_ : nullptr}, as_writer{writes ? &write_waiters_ : nullptr};
    if (reads) read_waiters_.fetch_add(1, std::memory_order_acq_rel);
    if (writes) write_waiters_.fetch_add(1, std::memory_order_acq_rel);
    const uint8_t kinds = uint8_t((reads ? kWakeReaders : 0) | (writes ? kWakeWriters : 0));
    for (;;) {
        const uint32_t generation = wait_word_.load(std::memory_order_acquire);
        uint64_t elapsed;
        {
            Guard g(*this);
            elapsed = NowMs() - start;
            const bool last = timeout_ms >= 0 && elapsed >= uint64_t(timeout_ms);
            // Both passes run under one hold of the lock: the sets are cut to
            // exactly what was counted.
            if (SelectOnce(read, write, except, false) > 0 || last) return SelectOnce(read, write, except, true);
        }
        uint64_t step = kPollStepMs;
        if (timeout_ms >= 0) step = std::min<uint64_t>(step, uint64_t(timeout_ms) - elapsed);
        WaitForChange(generation, uint32_t(step), kinds);
    }
}

}  // namespace zl
