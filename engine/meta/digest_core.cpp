#include "engine/meta/digest_core.h"

// The low-level SHA1/MD5 functions are deprecated in OpenSSL 3 in favour of
// EVP, but EVP hides the chaining state, which the stored SHA-1 context needs.
// They remain exported and are the same optimised cores EVP uses.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
#include <openssl/md5.h>
#include <openssl/sha.h>

namespace zl {

void Sha1CompressBlocks(uint32_t state[5], const uint8_t* blocks, size_t count) {
    if (count == 0) return;
    SHA_CTX ctx;
    SHA1_Init(&ctx);
    ctx.h0 = state[0];
    ctx.h1 = state[1];
    ctx.h2 = state[2];
    ctx.h3 = state[3];
    ctx.h4 = state[4];
    // With nothing buffered, whole blocks go straight to the block function.
    SHA1_Update(&ctx, blocks, count * 64);
    state[0] = ctx.h0;
    state[1] = ctx.h1;
    state[2] = ctx.h2;
    state[3] = ctx.h3;
    state[4] = ctx.h4;
}

void Md5CompressBlocks(uint32_t state[4], const uint8_t* blocks, size_t count) {
    if (count == 0) return;
    MD5_CTX ctx;
    MD5_Init(&ctx);
    ctx.A = state[0];
    ctx.B = state[1];
    ctx.C = state[2];
    ctx.D = state[3];
    MD5_Update(&ctx, blocks, count * 64);
    state[0] = ctx.A;
    state[1] = ctx.B;
    state[2] = ctx.C;
    state[3] = ctx.D;
}

}  // namespace zl

#pragma GCC diagnostic pop
