// Real-time helpers for transports on real sockets: wait for a stream to be
// set up, and move bytes through it with a sending and a receiving thread.
#pragma once
#include <openssl/sha.h>

#include <array>
#include <chrono>
#include <cstring>
#include <random>
#include <thread>
#include <vector>

#include "engine/base/errnum.h"
#include "engine/udp/udp_stream_transport.h"

namespace zl::test {

inline std::vector<uint8_t> RandomBytes(size_t n, uint64_t seed) {
    std::vector<uint8_t> out(n);
    std::mt19937_64 g(seed);
    for (size_t i = 0; i + 8 <= n; i += 8) {
        const uint64_t v = g();
        std::memcpy(&out[i], &v, 8);
    }
    return out;
}

inline std::array<uint8_t, 32> Sha256(const std::vector<uint8_t>& v) {
    std::array<uint8_t, 32> d{};
    SHA256(v.data(), v.size(), d.data());
    return d;
}

inline int ListenOn(UdpStreamTransport& b, uint16_t port) {
    int32_t e = 0;
    const int listener = b.Open(&e);
    if (b.Bind(listener, 0, port, &e) != 0 || b.Listen(listener, 32, &e) != 0) return -1;
    return listener;
}

// Waits until the listener has a stream to accept and the connector's stream is established.
inline std::pair<int, int> WaitConnected(UdpStreamTransport& a, int h, UdpStreamTransport& b, int listener,
                                         int seconds) {
    int accepted = -1;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (std::chrono::steady_clock::now() < deadline) {
        int32_t e = 0;
        UdpHandleSet readable;
        readable.Add(listener);
        b.Select(&readable, nullptr, nullptr, 50);
        if (accepted < 0) accepted = b.Accept(listener, nullptr, &e);
        if (accepted > 0 && a.Inspect(h).state == UdpStreamState::kEstablished) return {h, accepted};
    }
    return {-1, -1};
}

// Moves `data` from a to b: a thread sends while this one receives.
inline std::vector<uint8_t> Transfer(UdpStreamTransport& a, int ha, UdpStreamTransport& b, int hb,
                                     const std::vector<uint8_t>& data, int seconds) {
    std::vector<uint8_t> got;
    got.reserve(data.size());
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    std::thread sender([&] {
        size_t sent = 0;
        while (sent < data.size() && std::chrono::steady_clock::now() < deadline) {
            int32_t e = 0;
            const int64_t n = a.Send(ha, data.data() + sent, int64_t(std::min<size_t>(data.size() - sent, 1 << 20)), &e);
            if (n > 0) {
                sent += size_t(n);
                continue;
            }
            if (e != err::kWouldBlock) return;
            UdpHandleSet writable;
            writable.Add(ha);
            a.Select(nullptr, &writable, nullptr, 100);
        }
    });
    std::vector<uint8_t> buffer(65536);
    while (got.size() < data.size() && std::chrono::steady_clock::now() < deadline) {
        int32_t e = 0;
        const int64_t n = b.Receive(hb, buffer.data(), int64_t(buffer.size()), &e);
        if (n > 0) {
            got.insert(got.end(), buffer.begin(), buffer.begin() + n);
            continue;
        }
        if (e != err::kWouldBlock) break;
        UdpHandleSet readable;
        readable.Add(hb);
        b.Select(&readable, nullptr, nullptr, 100);
    }
    sender.join();
    return got;
}

}  // namespace zl::test
