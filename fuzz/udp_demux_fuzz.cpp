// Feeds runs of datagrams to the UDP server's demultiplexer the way the
// server's loop does (read into its buffer, NUL after the bytes) and checks
// that each goes to exactly the consumer its shape names. The input is a run
// of records: a two-byte length, a flag byte (bit 0: transport suspended),
// then the datagram's bytes.
#include <array>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "engine/udp/udp_consumers.h"
#include "engine/udp/udp_demux.h"

namespace {

class CheckingDht final : public zl::IUdpDhtConsumer {
public:
    void OnDhtDatagram(const uint8_t* data, size_t length, uint32_t, uint16_t) override {
        if (length <= 8 || data[0] != 'd' || data[length] != 0) std::abort();
        ++count;
    }
    size_t count = 0;
};

class CheckingStream final : public zl::IUdpStreamConsumer {
public:
    void OnStreamDatagram(const uint8_t* data, size_t length, uint32_t, uint16_t) override {
        if (length == 0 || (length > 8 && data[0] == 'd') || data[length] != 0) std::abort();
        ++count;
    }
    void RetransmitTick() override {}
    void AcknowledgeTick() override {}
    void MaintenanceTick() override {}
    void Register() override {}
    void KeepAlive() override {}
    bool HasPendingConnectBatch() override { return false; }
    void FlushConnectBatch() override {}
    void ResetTransport() override {}
    size_t count = 0;
};

std::array<uint8_t, 9216> buffer;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    CheckingDht dht;
    CheckingStream stream;
    size_t at = 0;
    while (at + 3 <= size) {
        size_t length = static_cast<size_t>(data[at]) << 8 | data[at + 1];
        const bool suspended = data[at + 2] & 1;
        at += 3;
        if (length > size - at) length = size - at;
        const size_t kept = length > zl::kMaxUdpDatagram ? zl::kMaxUdpDatagram : length;
        std::memcpy(buffer.data(), data + at, kept);
        buffer[kept] = 0;
        at += length;
        const size_t dht_before = dht.count, stream_before = stream.count;
        const bool taken = zl::DispatchDatagram(buffer.data(), kept, 0x0203007F, 6881, &dht, &stream, suspended);
        const size_t delivered = (dht.count - dht_before) + (stream.count - stream_before);
        if (delivered != (taken ? 1u : 0u)) std::abort();
        if (kept == 0 && taken) std::abort();
        if (suspended && stream.count != stream_before) std::abort();
    }
    return 0;
}
