#include "tests/engine/udp/sim_udp_net.h"

#include <algorithm>

namespace zl::test {

bool SimHost::Send(const uint8_t* data, size_t length, uint32_t address, uint16_t port) {
    if (!data || length == 0 || length > kMaxUdpDatagram || address == 0 || port == 0) return false;
    if (capture) {
        SimDatagram d;
        d.bytes.assign(data, data + length);
        d.from_address = public_address();
        d.from_port = public_port();
        d.to_address = address;
        d.to_port = port;
        captured.push_back(std::move(d));
    }
    contacted_.insert({address, port});
    net_.Enqueue(*this, data, length, address, port);
    return true;
}

void SimHost::Serve(UdpStreamTransport* transport, uint32_t keepalive_seconds) {
    transport_ = transport;
    keepalive_ms_ = uint64_t(std::max<uint32_t>(keepalive_seconds, 10)) * 1000;
    const uint64_t now = net_.clock().TickMs();
    last_retransmit_ = last_ack_ = last_maintenance_ = last_keepalive_ = now;
    registered_once_ = false;
}

void SimHost::SetPublicEndpoint(uint32_t address, uint16_t port) {
    public_address_ = address;
    public_port_ = port;
}

void SimHost::Deliver(const SimDatagram& d) {
    if (nat_filtering && contacted_.count({d.from_address, d.from_port}) == 0) {
        ++filtered;
        return;
    }
    if (raw_receiver) {
        raw_receiver(d.bytes.data(), d.bytes.size(), d.from_address, d.from_port);
    } else if (transport_) {
        transport_->OnStreamDatagram(d.bytes.data(), d.bytes.size(), d.from_address, d.from_port);
    }
}

// The timer step of the UDP server's loop.
void SimHost::RunTimers(uint64_t now) {
    if (!transport_ || !timers_enabled) return;
    // Every simulated millisecond ends with the socket empty.
    if (transport_->HoldsWakes()) transport_->ReleaseHeldWakes();
    if (now - last_retransmit_ >= 40) {
        transport_->RetransmitTick();
        last_retransmit_ = last_ack_ = now;
    } else if (now - last_ack_ >= 20) {
        transport_->AcknowledgeTick();
        last_ack_ = now;
    }
    if (now - last_maintenance_ > 2000) {
        transport_->MaintenanceTick();
        last_maintenance_ = now;
    }
    if (!registered_once_ || now - last_register_ >= 300000) {
        transport_->Register();
        registered_once_ = true;
        last_register_ = last_keepalive_ = now;
    }
    if (now - last_keepalive_ >= keepalive_ms_) {
        transport_->KeepAlive();
        last_keepalive_ = now;
        if (!transport_->ServerAnswered()) registered_once_ = false;
    }
    if (transport_->HasPendingConnectBatch()) transport_->FlushConnectBatch();
}

SimHost& SimUdpNet::AddHost(uint32_t address, uint16_t port) {
    hosts_.push_back(std::make_unique<SimHost>(*this, address, port));
    return *hosts_.back();
}

void SimUdpNet::Enqueue(SimHost& from, const uint8_t* data, size_t length, uint32_t address, uint16_t port) {
    ++sent_;
    SimDatagram d;
    d.bytes.assign(data, data + length);
    d.from_address = from.public_address();
    d.from_port = from.public_port();
    d.to_address = address;
    d.to_port = port;
    d.due_ms = clock_.TickMs() + conditions_.delay_ms;
    if (drop_filter && drop_filter(d)) {
        ++lost_;
        return;
    }
    std::uniform_real_distribution<double> chance(0.0, 1.0);
    if (conditions_.loss > 0 && chance(random_) < conditions_.loss) {
        ++lost_;
        return;
    }
    if (conditions_.reorder > 0 && chance(random_) < conditions_.reorder) {
        d.due_ms += conditions_.reorder_extra_ms;
        ++reordered_;
    }
    if (conditions_.duplicate > 0 && chance(random_) < conditions_.duplicate) {
        SimDatagram copy = d;
        copy.order = order_++;
        copy.due_ms += 1;
        in_flight_.push_back(std::move(copy));
        ++duplicated_;
    }
    d.order = order_++;
    in_flight_.push_back(std::move(d));
}

void SimUdpNet::DeliverDue() {
    const uint64_t now = clock_.TickMs();
    // Deliveries may send more datagrams; those are due later.
    std::vector<SimDatagram> due;
    for (auto it = in_flight_.begin(); it != in_flight_.end();) {
        if (it->due_ms <= now) {
            due.push_back(std::move(*it));
            it = in_flight_.erase(it);
        } else {
            ++it;
        }
    }
    std::stable_sort(due.begin(), due.end(), [](const SimDatagram& a, const SimDatagram& b) {
        return a.due_ms != b.due_ms ? a.due_ms < b.due_ms : a.order < b.order;
    });
    for (const SimDatagram& d : due) {
        for (auto& host : hosts_) {
            if ((host->public_address() == d.to_address && host->public_port() == d.to_port) ||
                (host->address() == d.to_address && host->port() == d.to_port)) {
                host->Deliver(d);
                break;
            }
        }
    }
}

void SimUdpNet::Run(uint64_t ms, const std::function<void()>& each_ms) {
    RunUntil([] { return false; }, ms, each_ms);
}

bool SimUdpNet::RunUntil(const std::function<bool()>& done, uint64_t max_ms, const std::function<void()>& each_ms) {
    for (uint64_t i = 0; i < max_ms; ++i) {
        if (done()) return true;
        clock_.Advance(1);
        DeliverDue();
        const uint64_t now = clock_.TickMs();
        for (auto& host : hosts_) host->RunTimers(now);
        if (each_ms) each_ms();
    }
    return done();
}

}  // namespace zl::test
