#include "engine/meta/md5.h"

#include <algorithm>
#include <cstring>

#include "engine/base/text.h"
#include "engine/meta/digest_core.h"
#include "engine/meta/sha1.h"

namespace zl {

void MD5Init(MD5Context* c) {
    std::memset(c, 0, sizeof(*c));
    c->state[0] = 0x67452301;
    c->state[1] = 0xefcdab89;
    c->state[2] = 0x98badcfe;
    c->state[3] = 0x10325476;
}

void MD5Update(MD5Context* c, const void* data, size_t length) {
    if (!c || !data || length == 0) return;
    const uint8_t* p = static_cast<const uint8_t*>(data);
    size_t index = (c->count[0] >> 3) & 63;
    // The bit count wraps modulo 2^64, as the algorithm defines it.
    const uint64_t bits = (uint64_t(c->count[1]) << 32 | c->count[0]) + (uint64_t(length) << 3);
    c->count[0] = uint32_t(bits);
    c->count[1] = uint32_t(bits >> 32);
    if (index) {
        const size_t take = std::min(length, 64 - index);
        std::memcpy(c->buffer + index, p, take);
        index += take;
        p += take;
        length -= take;
        if (index < 64) return;
        Md5CompressBlocks(c->state, c->buffer, 1);
    }
    const size_t blocks = length / 64;
    Md5CompressBlocks(c->state, p, blocks);
    std::memcpy(c->buffer, p + blocks * 64, length - blocks * 64);
}

void MD5Final(uint8_t digest[kMd5DigestSize], MD5Context* c) {
    uint8_t bits[8];
    for (int i = 0; i < 8; ++i) bits[i] = uint8_t(c->count[i >> 2] >> (8 * (i & 3)));
    const size_t index = (c->count[0] >> 3) & 63;
    const size_t pad = index < 56 ? 56 - index : 120 - index;
    static const uint8_t kPadding[64] = {0x80};
    MD5Update(c, kPadding, pad);
    MD5Update(c, bits, 8);
    for (int i = 0; i < 16; ++i) digest[i] = uint8_t(c->state[i >> 2] >> (8 * (i & 3)));
    std::memset(c, 0, sizeof(*c));
}

Md5Digest Md5::Final() {
    Md5Digest d{};
    MD5Final(d.data(), &ctx_);
    MD5Init(&ctx_);
    return d;
}

Md5Digest Md5Of(const void* data, size_t length) {
    Md5 m;
    m.Update(data, length);
    return m.Final();
}

std::string Md5Hex(const Md5Digest& d) { return HexEncode(d); }

}  // namespace zl
