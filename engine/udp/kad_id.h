// KadId: a 160-bit DHT identifier held as five 32-bit words, word 0 the most
// significant. On the wire it is 20 bytes, big-endian. Ids compare as
// unsigned numbers; the distance between two ids is their XOR, compared the
// same way. The all-zero id stands for "no id".
#pragma once
#include <array>
#include <compare>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace zl {

inline constexpr size_t kKadIdSize = 20;

class KadId {
public:
    constexpr KadId() = default;
    constexpr KadId(uint32_t w0, uint32_t w1, uint32_t w2, uint32_t w3, uint32_t w4) : words_{w0, w1, w2, w3, w4} {}

    // 20 big-endian bytes.
    static KadId FromBytes(const uint8_t* bytes);
    // Zero unless the view holds exactly 20 bytes.
    static KadId FromBytes(std::string_view bytes);
    // The largest id, 2^160 - 1.
    static constexpr KadId Max() { return KadId(~0u, ~0u, ~0u, ~0u, ~0u); }
    // A fresh random id: four words of random bytes and, last, the calendar
    // seconds given. Zero when no random bytes could be had.
    static KadId Fresh(uint64_t calendar_seconds);

    void ToBytes(uint8_t* out) const;
    std::string Bytes() const;
    std::string Hex() const;

    bool IsZero() const { return (words_[0] | words_[1] | words_[2] | words_[3] | words_[4]) == 0; }
    uint32_t Word(int i) const { return words_[size_t(i)]; }

    friend constexpr bool operator==(const KadId&, const KadId&) = default;
    friend constexpr std::strong_ordering operator<=>(const KadId& a, const KadId& b) { return a.words_ <=> b.words_; }

    KadId operator^(const KadId& o) const;
    // Sum and difference modulo 2^160.
    KadId operator+(const KadId& o) const;
    KadId operator-(const KadId& o) const;
    KadId Plus(uint32_t small) const;
    // The whole number shifted right by one bit.
    KadId Halved() const;

private:
    std::array<uint32_t, 5> words_{};
};

// Whether a is nearer to target than b by XOR distance.
inline bool NearerTo(const KadId& target, const KadId& a, const KadId& b) { return (a ^ target) < (b ^ target); }

}  // namespace zl
