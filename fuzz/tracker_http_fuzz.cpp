// Feeds arbitrary bytes to the HTTP tracker reply reader and, when a body is
// complete, to the announce answer parser. The first byte says whether the
// connection has ended.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "engine/net/address.h"
#include "engine/net/tracker_answer.h"
#include "engine/net/tracker_http.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const bool closed = data[0] & 1;
    const std::string_view buffered(reinterpret_cast<const char*>(data + 1), size - 1);
    const zl::TrackerReply reply = zl::ReadTrackerReply(buffered, closed);
    // The answer parser also sees the raw bytes: a body is whatever a tracker sends.
    for (std::string_view body : {reply.body, buffered}) {
        if (body.data() && (body.data() < buffered.data() || body.data() + body.size() > buffered.data() + buffered.size()))
            std::abort();
        const zl::TrackerAnswer answer = zl::ParseTrackerAnswer(body);
        if (answer.interval < zl::kMinTrackerInterval || answer.peers.size() > zl::kMaxTrackerPeers) std::abort();
        for (const zl::TrackerPeerEntry& peer : answer.peers)
            if (!zl::IsValidAddress(peer.address) || peer.port == 0) std::abort();
    }
    return 0;
}
