#include "engine/meta/adler32.h"

#include <zlib.h>

namespace zl {

// zlib's own routine: the same sums modulo 65521 over blocks of at most 5552
// bytes, and 1 for a null pointer; it is considerably faster than a plain loop.
uint32_t Adler32(uint32_t initial, const void* data, size_t length) {
    if (!data) return 1;
    return uint32_t(adler32_z(initial, static_cast<const Bytef*>(data), length));
}

}  // namespace zl
