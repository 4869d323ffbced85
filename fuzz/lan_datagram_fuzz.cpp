// Datagrams heard on the LAN discovery group: each 56-byte slice of the input
// (its source address the payload's, or one that differs, as the padding
// bytes say) is decoded, judged for
// two tasks, stored or taken; the stored list must stay within its cap and
// every peer found must carry the address the datagram came from.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "engine/core/listener/lan_datagram.h"
#include "engine/core/listener/lan_discovery.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    int task_a = 0, task_b = 0;
    zl::LanDiscovery lan;
    zl::LanTaskFacts a, b;
    a.task = &task_a;
    b.task = &task_b;
    a.info_hash.fill('A');
    b.info_hash.fill('B');
    a.peer_id.fill('a');
    b.peer_id.fill('b');
    a.published_address = b.published_address = 0x0A05A8C0;
    a.published_port = b.published_port = 6881;
    a.registered_tasks = b.registered_tasks = 2;
    uint64_t now = 1000;
    for (size_t at = 0; at + zl::kLanDatagramSize <= size; at += zl::kLanDatagramSize) {
        zl::LanDatagram d;
        if (!zl::DecodeLanDatagram(data + at, zl::kLanDatagramSize, &d)) continue;
        const uint32_t from = (data[at + 10] & 1) ? d.address ^ data[at + 11] : d.address;
        const auto bytes = zl::EncodeLanDatagram(d);
        zl::LanDatagram again;
        if (!zl::DecodeLanDatagram(bytes.data(), bytes.size(), &again) || again.address != d.address ||
            again.port != d.port || again.peer_id != d.peer_id)
            std::abort();
        now += data[at + 3] % 20;
        a.now_s = b.now_s = now;
        zl::LanTaskFacts& f = (data[at + 1] & 1) ? a : b;
        switch (zl::LanDiscovery::Judge(d, from, f)) {
            case zl::LanDiscovery::Verdict::kOtherTask:
                lan.Store(d, from, f);
                break;
            case zl::LanDiscovery::Verdict::kMine:
                if (d.address != from) std::abort();
                break;
            case zl::LanDiscovery::Verdict::kIgnore:
                break;
        }
        if (lan.stored() > zl::LanDiscovery::kMaxStored) std::abort();
        for (const zl::LanPeer& p : lan.TakeStored((data[at + 2] & 1) ? a : b))
            if (p.port == 0 || p.address == 0) std::abort();
    }
    return 0;
}
