// SHA-1 with the RFC 3174 context. The context is part of the resume data
// (104 bytes, little-endian, the RFC's layout on a 32-bit machine), so its
// fields and their byte form are fixed; the compression itself runs on the
// fastest core libcrypto offers on this machine (SHA-NI where present).
#pragma once
#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

namespace zl {

enum Sha1Result : int {
    kShaSuccess = 0,
    kShaNull = 1,          // a null context or data pointer
    kShaInputTooLong = 2,  // more than 2^64 - 1 bits
    kShaStateError = 3,    // input after the result was taken
};

constexpr size_t kSha1DigestSize = 20;
constexpr size_t kSha1BlockSize = 64;
constexpr size_t kSha1ContextSize = 104;  // stored form

using Sha1Digest = std::array<uint8_t, kSha1DigestSize>;

struct SHA1Context {
    uint32_t intermediate_hash[5];
    uint32_t length_low;   // message length in bits
    uint32_t length_high;
    int16_t block_index;   // bytes in message_block
    uint8_t message_block[kSha1BlockSize];
    int32_t computed;
    int32_t corrupted;
};

// RFC 3174 interface.
int SHA1Reset(SHA1Context* context);
int SHA1Input(SHA1Context* context, const void* data, size_t length);
int SHA1Result(SHA1Context* context, uint8_t digest[kSha1DigestSize]);

// The 104-byte stored form, written and read field by field.
void Sha1ContextStore(const SHA1Context& context, uint8_t out[kSha1ContextSize]);
// False (and the context reset) when the bytes cannot be a context this code
// wrote: too short, a block index outside 0..63, or a length that is not a
// whole number of bytes or disagrees with the block index.
bool Sha1ContextLoad(const uint8_t* bytes, size_t length, SHA1Context* context);

// One-pass helpers.
Sha1Digest Sha1Of(const void* data, size_t length);

}  // namespace zl
