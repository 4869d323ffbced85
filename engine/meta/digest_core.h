// The block functions behind SHA-1 and MD5: whole 64-byte blocks on top of a
// chaining state. They run on libcrypto's cores, which pick the fastest code
// path the processor offers (SHA-NI, AVX2, ...).
#pragma once
#include <cstddef>
#include <cstdint>

namespace zl {

void Sha1CompressBlocks(uint32_t state[5], const uint8_t* blocks, size_t count);
void Md5CompressBlocks(uint32_t state[4], const uint8_t* blocks, size_t count);

}  // namespace zl
