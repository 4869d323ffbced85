// Engine-wide settings, set through the interface (some without the API lock)
// and read by the task threads, hence atomic.
#pragma once
#include <atomic>
#include <cstdint>

namespace zl {

struct EngineSwitches {
    std::atomic<int32_t> listen_port{0};  // 0 means 8080
    std::atomic<bool> p2p{false};
    std::atomic<bool> http_wrap{false};
    std::atomic<bool> dht{true};  // cleared by the first task's set-up before anything tests it
    // The process switch (EngineSetDhtSwitch): the first task's set-up copies
    // it into `dht` and then starts the DHT thread when it is on. Off by default.
    std::atomic<bool> dht_enabled{false};
    std::atomic<bool> udp_stream_off{true};
    std::atomic<bool> directly_reachable{false};
    std::atomic<int32_t> half_open_limit{32};
    // Local address (network order) outgoing connections bind to; 0: any.
    std::atomic<uint32_t> bind_address{0};
    // Tasks announce to the trackers their torrent names (off: only to those given as sources).
    std::atomic<bool> torrent_trackers{true};
    // LAN discovery (multicast announcements on the published address's
    // network). Off until the application or the front end asks for it.
    std::atomic<bool> lan_discovery{false};

    int32_t EffectiveListenPort() const {
        const int32_t port = listen_port.load();
        return port == 0 ? 8080 : port;
    }
};

}  // namespace zl
