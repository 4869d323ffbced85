#include "engine/meta/adler32.h"

namespace zl {
namespace {
constexpr uint32_t kBase = 65521;
// Largest n such that 255 n (n + 1) / 2 + (n + 1) (kBase - 1) fits in 32 bits.
constexpr size_t kNmax = 5552;
}  // namespace

uint32_t Adler32(uint32_t adler, const void* data, size_t length) {
    if (!data) return 1;
    const uint8_t* p = static_cast<const uint8_t*>(data);
    uint32_t a = adler & 0xffff;
    uint32_t b = adler >> 16;
    // An out-of-range start value (halves >= kBase) is folded as zlib does.
    if (a >= kBase) a -= kBase;
    if (b >= kBase) b %= kBase;
    while (length > 0) {
        size_t n = length < kNmax ? length : kNmax;
        length -= n;
        while (n >= 16) {
            for (int i = 0; i < 16; ++i) {
                a += p[i];
                b += a;
            }
            p += 16;
            n -= 16;
        }
        while (n--) {
            a += *p++;
            b += a;
        }
        a %= kBase;
        b %= kBase;
    }
    return b << 16 | a;
}

}  // namespace zl
