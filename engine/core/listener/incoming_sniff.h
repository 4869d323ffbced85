// What the first bytes of an accepted connection say before any task takes
// it: an optional HTTP-looking preamble, then the start of a BitTorrent
// handshake whose info hash names the task it is for. Pure function over the
// bytes received so far; nothing is consumed.
#pragma once
#include <cstddef>
#include <cstdint>

namespace zl {

struct IncomingSniff {
    enum class Verdict {
        kWait,       // a preamble or a handshake has begun; more bytes are needed
        kForeign,    // these bytes can never become a handshake: drop the connection
        kHandshake,  // the protocol text and the info hash are here (48 bytes or more)
    };
    Verdict verdict = Verdict::kWait;
    bool wrapped = false;        // a complete preamble stands in front of the handshake
    size_t preamble_length = 0;  // bytes of that preamble
    size_t handshake_bytes = 0;  // bytes present after the preamble
    const uint8_t* info_hash = nullptr;  // 20 bytes, with kHandshake
    const uint8_t* peer_id = nullptr;    // 20 bytes, once 68 handshake bytes are here
    // kForeign bytes without any preamble: perhaps an obfuscated handshake.
    bool obfuscated_candidate = false;
};

// Bytes of the handshake up to the end of the info hash, and in all.
inline constexpr size_t kSniffInfoHashEnd = 48;
inline constexpr size_t kSniffHandshakeSize = 68;

IncomingSniff SniffIncoming(const uint8_t* data, size_t size);

}  // namespace zl
