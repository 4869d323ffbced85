// An in-process datagram network for DHT tests: every endpoint is an
// (address, port) pair with a consumer; sends are queued and delivered when
// the test says, in order, with the UDP server's rule (a KRPC datagram is
// longer than 8 bytes and starts with 'd'). Many DHT nodes run in one
// process on one test clock.
#pragma once
#include <arpa/inet.h>

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "engine/udp/udp_consumers.h"

namespace zl::test {

struct SimDatagram {
    std::string bytes;
    uint32_t from_address;
    uint16_t from_port;
    uint32_t to_address;
    uint16_t to_port;
};

class KadSimNetwork {
public:
    class Endpoint final : public IUdpSender {
    public:
        Endpoint(KadSimNetwork& net, uint32_t address, uint16_t port) : net_(net), address_(address), port_(port) {}
        bool Send(const uint8_t* data, size_t length, uint32_t address, uint16_t port) override {
            if (!data || length == 0 || length > kMaxUdpDatagram || address == 0 || port == 0) return false;
            net_.Queue(SimDatagram{std::string(reinterpret_cast<const char*>(data), length), address_, port_,
                                   address, port});
            return true;
        }
        uint32_t Address() const { return address_; }
        uint16_t Port() const { return port_; }

    private:
        KadSimNetwork& net_;
        uint32_t address_;
        uint16_t port_;
    };

    // The sender for an endpoint whose datagrams go to `consumer`.
    IUdpSender* Attach(uint32_t address, uint16_t port, IUdpDhtConsumer* consumer) {
        std::lock_guard guard(mutex_);
        auto& slot = endpoints_[Key(address, port)];
        slot.consumer = consumer;
        if (!slot.sender) slot.sender = std::make_unique<Endpoint>(*this, address, port);
        return slot.sender.get();
    }
    void Detach(uint32_t address, uint16_t port) {
        std::lock_guard guard(mutex_);
        auto it = endpoints_.find(Key(address, port));
        if (it != endpoints_.end()) it->second.consumer = nullptr;
    }

    // Datagrams a filter refuses are lost on the way.
    void SetFilter(std::function<bool(const SimDatagram&)> keep) { keep_ = std::move(keep); }

    // Delivers what is queued now (not what the deliveries queue); returns how many arrived.
    size_t DeliverQueued() {
        std::deque<SimDatagram> batch;
        {
            std::lock_guard guard(mutex_);
            batch.swap(queue_);
        }
        size_t delivered = 0;
        for (const SimDatagram& d : batch) {
            ++sent_;
            if (keep_ && !keep_(d)) continue;
            IUdpDhtConsumer* consumer = nullptr;
            {
                std::lock_guard guard(mutex_);
                auto it = endpoints_.find(Key(d.to_address, d.to_port));
                if (it != endpoints_.end()) consumer = it->second.consumer;
            }
            if (!consumer || d.bytes.size() <= 8 || d.bytes[0] != 'd') continue;
            // The server's buffer holds a NUL after the datagram.
            std::string buffer = d.bytes + '\0';
            consumer->OnDhtDatagram(reinterpret_cast<const uint8_t*>(buffer.data()), d.bytes.size(), d.from_address,
                                    d.from_port);
            ++delivered;
        }
        return delivered;
    }
    size_t Queued() {
        std::lock_guard guard(mutex_);
        return queue_.size();
    }
    uint64_t SentTotal() const { return sent_; }

private:
    struct Slot {
        IUdpDhtConsumer* consumer = nullptr;
        std::unique_ptr<Endpoint> sender;
    };
    static uint64_t Key(uint32_t address, uint16_t port) { return uint64_t(address) << 16 | port; }
    void Queue(SimDatagram d) {
        std::lock_guard guard(mutex_);
        queue_.push_back(std::move(d));
    }

    std::mutex mutex_;
    std::map<uint64_t, Slot> endpoints_;
    std::deque<SimDatagram> queue_;
    std::function<bool(const SimDatagram&)> keep_;
    uint64_t sent_ = 0;
};

// An endpoint that keeps what it receives and can answer through a script.
class SimClient final : public IUdpDhtConsumer {
public:
    struct Received {
        std::string bytes;
        uint32_t address;
        uint16_t port;
    };
    SimClient(KadSimNetwork& net, const char* address, uint16_t port)
        : address_(inet_addr(address)), port_(port), sender_(net.Attach(address_, port, this)) {}
    void OnDhtDatagram(const uint8_t* data, size_t length, uint32_t address, uint16_t port) override {
        received.push_back(Received{std::string(reinterpret_cast<const char*>(data), length), address, port});
        if (script) script(*this, received.back());
    }
    bool SendTo(const std::string& bytes, uint32_t address, uint16_t port) {
        return sender_->Send(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(), address, port);
    }
    uint32_t Address() const { return address_; }
    uint16_t Port() const { return port_; }

    std::vector<Received> received;
    std::function<void(SimClient&, const Received&)> script;

private:
    uint32_t address_;
    uint16_t port_;
    IUdpSender* sender_;
};

}  // namespace zl::test
