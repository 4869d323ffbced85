// The first bytes of an accepted connection, as the shared listener sniffs
// them before any task takes the connection: every prefix of the input is
// judged (bytes arrive in pieces), and what the verdict points at must lie
// inside the bytes.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "engine/core/listener/incoming_sniff.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    bool foreign = false;
    for (size_t n = 0; n <= size; n += 1 + n / 8) {
        const zl::IncomingSniff s = zl::SniffIncoming(data, n);
        if (s.preamble_length + s.handshake_bytes > n) std::abort();
        if (s.info_hash && (s.info_hash < data || s.info_hash + 20 > data + n)) std::abort();
        if (s.peer_id && (s.peer_id < data || s.peer_id + 20 > data + n)) std::abort();
        if (s.verdict == zl::IncomingSniff::Verdict::kHandshake && !s.info_hash) std::abort();
        // More bytes never turn foreign bytes into a handshake.
        if (foreign && s.verdict == zl::IncomingSniff::Verdict::kHandshake) std::abort();
        foreign = foreign || s.verdict == zl::IncomingSniff::Verdict::kForeign;
    }
    return 0;
}
