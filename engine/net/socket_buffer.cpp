#include "engine/net/socket_buffer.h"

#include <algorithm>
#include <cstring>

#include "engine/meta/buffer_pool.h"

namespace zl {
namespace {
constexpr int64_t kShrinkSpareLimit = 2101248;
}

bool SocketBuffer::Reallocate(int64_t capacity) {
    uint8_t* fresh = pool_->Get(capacity);
    if (!fresh) return false;
    if (length_ > 0) std::memcpy(fresh, data_, static_cast<size_t>(length_));
    fresh[length_] = 0;
    if (data_) pool_->Release(data_);
    data_ = fresh;
    capacity_ = capacity;
    return true;
}

bool SocketBuffer::Reserve(int64_t request, int64_t growth_extra, int64_t capacity_limit) {
    if (request < 0) return false;
    if (capacity_ - length_ >= request && data_) return true;
    int64_t wanted = request + capacity_ + growth_extra;
    const int64_t needed = length_ + request;
    if (capacity_limit >= needed) wanted = std::min(wanted, capacity_limit);
    return Reallocate(std::max(wanted, needed));
}

bool SocketBuffer::Append(const uint8_t* bytes, int64_t count, int64_t growth_extra) {
    if (count <= 0) return true;
    if (!Reserve(count, growth_extra)) return false;
    std::memcpy(data_ + length_, bytes, static_cast<size_t>(count));
    Commit(count);
    return true;
}

void SocketBuffer::Commit(int64_t count) {
    length_ += count;
    data_[length_] = 0;
}

void SocketBuffer::Consume(int64_t count, bool keep) {
    if (count < 0 || count > length_) count = length_;
    const int64_t rest = length_ - count;
    if (keep) {
        if (data_) {
            std::memmove(data_, data_ + count, static_cast<size_t>(rest));
            length_ = rest;
            data_[length_] = 0;
        }
        return;
    }
    if (rest == 0) {
        Free();
        return;
    }
    length_ = rest;
    // A buffer much larger than what it still holds moves the rest into a smaller one.
    int64_t target = 0;
    if (capacity_ > 4096 && capacity_ / rest >= 6) {
        target = std::max<int64_t>(rest + 1024, 1024);
    } else if (capacity_ - rest > kShrinkSpareLimit && rest < 10 * kShrinkSpareLimit) {
        target = rest + rest / 10;
    }
    if (target > 0) {
        if (uint8_t* fresh = pool_->Get(target)) {
            std::memcpy(fresh, data_ + count, static_cast<size_t>(rest));
            fresh[rest] = 0;
            pool_->Release(data_);
            data_ = fresh;
            capacity_ = target;
            return;
        }
    }
    std::memmove(data_, data_ + count, static_cast<size_t>(rest));
    data_[rest] = 0;
}

void SocketBuffer::Free() {
    if (data_) pool_->Release(data_);
    data_ = nullptr;
    length_ = 0;
    capacity_ = 0;
}

}  // namespace zl
