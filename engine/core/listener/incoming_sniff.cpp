#include "engine/core/listener/incoming_sniff.h"

#include <cstring>

#include "engine/net/bt_wire.h"

namespace zl {
namespace {

// The byte 19 and "BitTorrent protocol": the first 20 bytes of every handshake.
constexpr uint8_t kProtocol[20] = {19, 'B', 'i', 't', 'T', 'o', 'r', 'r', 'e', 'n',
                                   't', ' ', 'p', 'r', 'o', 't', 'o', 'c', 'o', 'l'};

}  // namespace

IncomingSniff SniffIncoming(const uint8_t* data, size_t size) {
    IncomingSniff s;
    if (!data || size == 0) return s;
    size_t preamble = 0;
    switch (bt::FindPreamble(data, size, &preamble)) {
        case bt::Preamble::kNeedMore:
            return s;
        case bt::Preamble::kInvalid:
            s.verdict = IncomingSniff::Verdict::kForeign;
            return s;
        case bt::Preamble::kFound:
            s.wrapped = true;
            s.preamble_length = preamble;
            break;
        case bt::Preamble::kNone:
            break;
    }
    const uint8_t* h = data + preamble;
    const size_t n = size - preamble;
    s.handshake_bytes = n;
    // Every byte present must agree with the protocol text: anything else (an
    // encrypted handshake, another protocol, noise) never becomes ours.
    const size_t prefix = n < sizeof kProtocol ? n : sizeof kProtocol;
    if (std::memcmp(h, kProtocol, prefix) != 0) {
        s.verdict = IncomingSniff::Verdict::kForeign;
        s.obfuscated_candidate = !s.wrapped;
        return s;
    }
    if (n < kSniffInfoHashEnd) return s;
    s.verdict = IncomingSniff::Verdict::kHandshake;
    s.info_hash = h + bt::kInfoHashOffset;
    if (n >= kSniffHandshakeSize) s.peer_id = h + bt::kPeerIdOffset;
    return s;
}

}  // namespace zl
