// The transport's lock holder, shared by the transport's source files.
#pragma once
#include <vector>

#include "engine/base/clock.h"
#include "engine/udp/udp_stream_transport.h"

namespace zl {

// Holds the transport's lock; on release hands the queued datagrams to the
// sender and wakes Select waiters, both after the lock is let go.
class UdpStreamTransport::Guard {
public:
    explicit Guard(UdpStreamTransport& t) : t_(t), lock_(t.mutex_) {}
    ~Guard() { Release(); }
    Guard(const Guard&) = delete;
    Guard& operator=(const Guard&) = delete;

    void Release() {
        if (!lock_.owns_lock()) return;
        // Each thread keeps its outbox's storage; a sender that calls back into
        // the transport on the same thread gets a fresh one.
        thread_local Outbox spare;
        thread_local int depth = 0;
        Outbox nested;
        Outbox& out = depth == 0 ? spare : nested;
        std::swap(out, t_.outbox_);
        const uint8_t wake = t_.wake_;
        t_.wake_ = 0;
        const bool report = t_.report_pending_;
        t_.report_pending_ = false;
        const uint32_t external_address = t_.external_address_;
        const uint16_t external_port = uint16_t(t_.external_port_);
        lock_.unlock();
        if (report && t_.config_.host) t_.config_.host->OnAddressReport(external_address, external_port);
        ++depth;
        thread_local std::vector<UdpDatagramRef> refs;
        std::vector<UdpDatagramRef> nested_refs;
        std::vector<UdpDatagramRef>& batch = depth == 1 ? refs : nested_refs;
        batch.clear();
        for (const Outbox::Item& item : out.items)
            batch.push_back(UdpDatagramRef{out.DataOf(item), item.length, item.address, item.port});
        if (!batch.empty()) t_.sender_.SendBatch(batch.data(), batch.size());
        t_.UnpinSegments(out);
        --depth;
        out.Clear();
        if (wake) t_.WakeWaiters(wake);
    }

private:
    UdpStreamTransport& t_;
    std::unique_lock<std::mutex> lock_;
};

}  // namespace zl
