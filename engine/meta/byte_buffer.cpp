#include "engine/meta/byte_buffer.h"

#include <cstring>
#include <new>

namespace zl {

ByteBuffer& ByteBuffer::operator=(const ByteBuffer& other) {
    if (this != &other) {
        Clear();
        Append(other.Data(), other.Length());
    }
    return *this;
}

ByteBuffer::ByteBuffer(ByteBuffer&& other) noexcept
    : data_(std::move(other.data_)), length_(other.length_), capacity_(other.capacity_) {
    other.length_ = 0;
    other.capacity_ = 0;
}

ByteBuffer& ByteBuffer::operator=(ByteBuffer&& other) noexcept {
    if (this != &other) {
        data_ = std::move(other.data_);
        length_ = other.length_;
        capacity_ = other.capacity_;
        other.length_ = 0;
        other.capacity_ = 0;
    }
    return *this;
}

bool ByteBuffer::Reserve(size_t capacity, bool keep) {
    const size_t kept = keep ? length_ : 0;
    if (capacity < kept) capacity = kept;
    if (capacity >= SIZE_MAX / 2) return false;
    std::unique_ptr<uint8_t[]> fresh(new (std::nothrow) uint8_t[capacity + 1]);
    if (!fresh) return false;
    if (kept) std::memcpy(fresh.get(), data_.get(), kept);
    fresh[kept] = 0;
    data_ = std::move(fresh);
    length_ = kept;
    capacity_ = capacity;
    return true;
}

bool ByteBuffer::Append(const void* data, size_t n) {
    if (n == 0) {
        EnsureAllocated();
        return data_ != nullptr;
    }
    if (!data) return false;
    if (!data_ || capacity_ - length_ < n) {
        if (n > SIZE_MAX / 4 || capacity_ > SIZE_MAX / 4) return false;
        const size_t grow = n + (n < 2048 ? 2048 : 0);
        if (!Reserve(capacity_ + grow, true)) return false;
    }
    std::memcpy(data_.get() + length_, data, n);
    length_ += n;
    data_[length_] = 0;
    return true;
}

bool ByteBuffer::AppendDecimal(int64_t value) {
    char text[24];
    char* end = text + sizeof text;
    char* p = end;
    uint64_t magnitude = value < 0 ? 0 - uint64_t(value) : uint64_t(value);
    do {
        *--p = char('0' + magnitude % 10);
        magnitude /= 10;
    } while (magnitude);
    if (value < 0) *--p = '-';
    return Append(p, size_t(end - p));
}

bool ByteBuffer::SetLength(size_t length) {
    EnsureAllocated();
    if (!data_ || length > capacity_) return false;
    length_ = length;
    data_[length_] = 0;
    return true;
}

void ByteBuffer::Clear() {
    length_ = 0;
    if (data_) data_[0] = 0;
}

}  // namespace zl
