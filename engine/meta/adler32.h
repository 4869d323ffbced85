// Adler-32 (zlib's algorithm) continued from a caller-given value; used for
// resume data, the piece-cache file and the UDP stream's checksum.
#pragma once
#include <cstddef>
#include <cstdint>

namespace zl {

// A null data pointer gives 1, the start value, whatever `initial` is.
uint32_t Adler32(uint32_t initial, const void* data, size_t length);

}  // namespace zl
