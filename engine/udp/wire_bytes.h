// Big-endian fields of the UDP stream and rendezvous datagrams, read through
// one bounds-checked view: a field that does not lie wholly inside the
// datagram reads as absent, never past its end.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace zl {

inline void StoreBe32(uint8_t* p, uint32_t v) {
    p[0] = uint8_t(v >> 24);
    p[1] = uint8_t(v >> 16);
    p[2] = uint8_t(v >> 8);
    p[3] = uint8_t(v);
}

inline void StoreBe16(uint8_t* p, uint16_t v) {
    p[0] = uint8_t(v >> 8);
    p[1] = uint8_t(v);
}

// Stores an address that is already in network order as its four bytes.
inline void StoreNetAddress(uint8_t* p, uint32_t address) { std::memcpy(p, &address, 4); }

class WireView {
public:
    WireView(const uint8_t* data, size_t length) : data_(data), length_(data ? length : 0) {}

    size_t size() const { return length_; }
    const uint8_t* data() const { return data_; }
    bool Has(size_t offset, size_t count) const { return offset <= length_ && count <= length_ - offset; }

    // Absent fields read as 0; callers check Has() first where 0 is meaningful.
    uint32_t Be32(size_t offset) const {
        if (!Has(offset, 4)) return 0;
        const uint8_t* p = data_ + offset;
        return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | uint32_t(p[3]);
    }
    uint16_t Be16(size_t offset) const {
        if (!Has(offset, 2)) return 0;
        return uint16_t(data_[offset] << 8 | data_[offset + 1]);
    }
    // Four bytes kept in network order (an IPv4 address).
    uint32_t NetAddress(size_t offset) const {
        uint32_t v = 0;
        if (Has(offset, 4)) std::memcpy(&v, data_ + offset, 4);
        return v;
    }
    // Copies `count` bytes; false (and nothing copied) when they are not all there.
    bool Copy(size_t offset, void* out, size_t count) const {
        if (!Has(offset, count)) return false;
        std::memcpy(out, data_ + offset, count);
        return true;
    }
    bool Equals(size_t offset, const void* bytes, size_t count) const {
        return Has(offset, count) && std::memcmp(data_ + offset, bytes, count) == 0;
    }
    bool IsZero(size_t offset, size_t count) const {
        if (!Has(offset, count)) return false;
        for (size_t i = 0; i < count; ++i)
            if (data_[offset + i] != 0) return false;
        return true;
    }

private:
    const uint8_t* data_;
    size_t length_;
};

}  // namespace zl
