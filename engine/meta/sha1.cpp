#include "engine/meta/sha1.h"

#include <algorithm>
#include <cstring>

#include "engine/meta/digest_core.h"

namespace zl {
namespace {

void ProcessBlocks(SHA1Context* c, const uint8_t* data, size_t blocks) {
    Sha1CompressBlocks(c->intermediate_hash, data, blocks);
}

void PutLe32(uint8_t* p, uint32_t v) {
    p[0] = uint8_t(v);
    p[1] = uint8_t(v >> 8);
    p[2] = uint8_t(v >> 16);
    p[3] = uint8_t(v >> 24);
}
uint32_t GetLe32(const uint8_t* p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

// Adds length bytes to the 64-bit bit count; false on overflow.
bool AddLength(SHA1Context* c, uint64_t length) {
    const uint64_t bits_now = uint64_t(c->length_high) << 32 | c->length_low;
    if (length > (UINT64_MAX >> 3)) return false;
    const uint64_t add = length << 3;
    if (bits_now > UINT64_MAX - add) return false;
    const uint64_t bits = bits_now + add;
    c->length_low = uint32_t(bits);
    c->length_high = uint32_t(bits >> 32);
    return true;
}

void PadMessage(SHA1Context* c) {
    int idx = c->block_index;
    c->message_block[idx++] = 0x80;
    if (idx > 56) {
        std::memset(c->message_block + idx, 0, kSha1BlockSize - idx);
        ProcessBlocks(c, c->message_block, 1);
        idx = 0;
    }
    std::memset(c->message_block + idx, 0, 56 - idx);
    const uint32_t hi = c->length_high, lo = c->length_low;
    const uint32_t words[2] = {hi, lo};
    for (int w = 0; w < 2; ++w)
        for (int b = 0; b < 4; ++b) c->message_block[56 + w * 4 + b] = uint8_t(words[w] >> (24 - 8 * b));
    ProcessBlocks(c, c->message_block, 1);
    c->block_index = 0;
}

}  // namespace

int SHA1Reset(SHA1Context* c) {
    if (!c) return kShaNull;
    std::memset(c, 0, sizeof(*c));
    c->intermediate_hash[0] = 0x67452301;
    c->intermediate_hash[1] = 0xEFCDAB89;
    c->intermediate_hash[2] = 0x98BADCFE;
    c->intermediate_hash[3] = 0x10325476;
    c->intermediate_hash[4] = 0xC3D2E1F0;
    return kShaSuccess;
}

int SHA1Input(SHA1Context* c, const void* data, size_t length) {
    if (length == 0) return kShaSuccess;
    if (!c || !data) return kShaNull;
    if (c->computed) {
        c->corrupted = kShaStateError;
        return kShaStateError;
    }
    if (c->corrupted) return c->corrupted;
    if (c->block_index < 0 || c->block_index >= int(kSha1BlockSize)) {
        c->corrupted = kShaStateError;
        return kShaStateError;
    }
    if (!AddLength(c, length)) {
        c->corrupted = kShaInputTooLong;
        return kShaInputTooLong;
    }
    const uint8_t* p = static_cast<const uint8_t*>(data);
    if (c->block_index > 0) {
        const size_t take = std::min(length, kSha1BlockSize - c->block_index);
        std::memcpy(c->message_block + c->block_index, p, take);
        c->block_index = int16_t(c->block_index + take);
        p += take;
        length -= take;
        if (c->block_index < int(kSha1BlockSize)) return kShaSuccess;
        ProcessBlocks(c, c->message_block, 1);
        c->block_index = 0;
    }
    const size_t blocks = length / kSha1BlockSize;
    if (blocks) ProcessBlocks(c, p, blocks);
    p += blocks * kSha1BlockSize;
    length -= blocks * kSha1BlockSize;
    std::memcpy(c->message_block, p, length);
    c->block_index = int16_t(length);
    return kShaSuccess;
}

int SHA1Result(SHA1Context* c, uint8_t digest[kSha1DigestSize]) {
    if (!c || !digest) return kShaNull;
    if (c->corrupted) return c->corrupted;
    if (!c->computed) {
        PadMessage(c);
        // As the RFC does: the message is cleared once the hash is final.
        std::memset(c->message_block, 0, kSha1BlockSize);
        c->length_low = 0;
        c->length_high = 0;
        c->computed = 1;
    }
    for (int i = 0; i < 20; ++i) digest[i] = uint8_t(c->intermediate_hash[i >> 2] >> (8 * (3 - (i & 3))));
    return kShaSuccess;
}

void Sha1ContextStore(const SHA1Context& c, uint8_t out[kSha1ContextSize]) {
    for (int i = 0; i < 5; ++i) PutLe32(out + 4 * i, c.intermediate_hash[i]);
    PutLe32(out + 20, c.length_low);
    PutLe32(out + 24, c.length_high);
    const uint16_t idx = uint16_t(c.block_index);
    out[28] = uint8_t(idx);
    out[29] = uint8_t(idx >> 8);
    std::memcpy(out + 30, c.message_block, kSha1BlockSize);
    out[94] = 0;
    out[95] = 0;
    PutLe32(out + 96, uint32_t(c.computed));
    PutLe32(out + 100, uint32_t(c.corrupted));
}

bool Sha1ContextLoad(const uint8_t* in, size_t length, SHA1Context* c) {
    if (!c) return false;
    SHA1Reset(c);
    if (!in || length < kSha1ContextSize) return false;
    SHA1Context t{};
    for (int i = 0; i < 5; ++i) t.intermediate_hash[i] = GetLe32(in + 4 * i);
    t.length_low = GetLe32(in + 20);
    t.length_high = GetLe32(in + 24);
    t.block_index = int16_t(uint16_t(in[28] | in[29] << 8));
    std::memcpy(t.message_block, in + 30, kSha1BlockSize);
    t.computed = int32_t(GetLe32(in + 96));
    t.corrupted = int32_t(GetLe32(in + 100));
    if (t.block_index < 0 || t.block_index >= int(kSha1BlockSize)) return false;
    if (!t.computed) {
        // The bit count of an unfinished hash is whole bytes and ends in the block.
        if (t.length_low & 7) return false;
        if (((t.length_low >> 3) & 63) != uint32_t(t.block_index)) return false;
    }
    *c = t;
    return true;
}

Sha1Digest Sha1Of(const void* data, size_t length) {
    SHA1Context c;
    SHA1Reset(&c);
    static const uint8_t kNothing = 0;
    SHA1Input(&c, data ? data : &kNothing, data ? length : 0);
    Sha1Digest d{};
    SHA1Result(&c, d.data());
    return d;
}

}  // namespace zl
