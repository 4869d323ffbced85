#include "engine/udp/kad_id.h"

#include <sys/random.h>

#include "engine/base/text.h"

namespace zl {

KadId KadId::FromBytes(const uint8_t* bytes) {
    KadId id;
    for (size_t w = 0; w < 5; ++w) {
        const uint8_t* p = bytes + 4 * w;
        id.words_[w] = uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | uint32_t(p[3]);
    }
    return id;
}

KadId KadId::FromBytes(std::string_view bytes) {
    if (bytes.size() != kKadIdSize) return {};
    return FromBytes(reinterpret_cast<const uint8_t*>(bytes.data()));
}

KadId KadId::Fresh(uint64_t calendar_seconds) {
    uint8_t random[16];
    size_t filled = 0;
    while (filled < sizeof random) {
        const ssize_t n = ::getrandom(random + filled, sizeof random - filled, 0);
        if (n <= 0) return {};
        filled += size_t(n);
    }
    // Words 0 to 3 from the random bytes, word 4 the calendar seconds.
    uint8_t bytes[kKadIdSize];
    for (size_t i = 0; i < 16; ++i) bytes[i] = random[i];
    const uint32_t seconds = uint32_t(calendar_seconds);
    for (size_t i = 0; i < 4; ++i) bytes[16 + i] = uint8_t(seconds >> (24 - 8 * i));
    return FromBytes(bytes);
}

void KadId::ToBytes(uint8_t* out) const {
    for (size_t w = 0; w < 5; ++w) {
        out[4 * w] = uint8_t(words_[w] >> 24);
        out[4 * w + 1] = uint8_t(words_[w] >> 16);
        out[4 * w + 2] = uint8_t(words_[w] >> 8);
        out[4 * w + 3] = uint8_t(words_[w]);
    }
}

std::string KadId::Bytes() const {
    std::string s(kKadIdSize, '\0');
    ToBytes(reinterpret_cast<uint8_t*>(s.data()));
    return s;
}

std::string KadId::Hex() const {
    uint8_t b[kKadIdSize];
    ToBytes(b);
    return HexEncode(b, sizeof b);
}

KadId KadId::operator^(const KadId& o) const {
    KadId r;
    for (size_t w = 0; w < 5; ++w) r.words_[w] = words_[w] ^ o.words_[w];
    return r;
}

KadId KadId::operator+(const KadId& o) const {
    KadId r;
    uint64_t carry = 0;
    for (size_t w = 5; w-- > 0;) {
        const uint64_t sum = uint64_t(words_[w]) + o.words_[w] + carry;
        r.words_[w] = uint32_t(sum);
        carry = sum >> 32;
    }
    return r;
}

KadId KadId::operator-(const KadId& o) const {
    KadId r;
    uint64_t borrow = 0;
    for (size_t w = 5; w-- > 0;) {
        const uint64_t sub = uint64_t(o.words_[w]) + borrow;
        r.words_[w] = uint32_t(uint64_t(words_[w]) - sub);
        borrow = uint64_t(words_[w]) < sub ? 1 : 0;
    }
    return r;
}

KadId KadId::Plus(uint32_t small) const { return *this + KadId(0, 0, 0, 0, small); }

KadId KadId::Halved() const {
    KadId r;
    uint32_t carry = 0;
    for (size_t w = 0; w < 5; ++w) {
        r.words_[w] = (words_[w] >> 1) | carry;
        carry = words_[w] << 31;
    }
    return r;
}

}  // namespace zl
