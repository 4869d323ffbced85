// A growable byte buffer whose byte after the last data byte is always zero,
// so its contents can also be read as text. Used for encoding output, resume
// data and file contents.
#pragma once
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace zl {

class ByteBuffer {
public:
    ByteBuffer() = default;
    ByteBuffer(const void* data, size_t length) { Append(data, length); }
    ByteBuffer(const ByteBuffer& other) { Append(other.Data(), other.Length()); }
    ByteBuffer& operator=(const ByteBuffer& other);
    ByteBuffer(ByteBuffer&& other) noexcept;
    ByteBuffer& operator=(ByteBuffer&& other) noexcept;

    const uint8_t* Data() const { return data_ ? data_.get() : reinterpret_cast<const uint8_t*>(""); }
    uint8_t* MutableData() { EnsureAllocated(); return data_.get(); }
    size_t Length() const { return length_; }
    size_t Capacity() const { return capacity_; }
    bool Empty() const { return length_ == 0; }
    std::string_view View() const { return {reinterpret_cast<const char*>(Data()), length_}; }
    std::string ToString() const { return std::string(View()); }

    // Appends n bytes; when fewer than n are free the capacity grows by n,
    // plus 2048 for small appends so that runs of small appends stay cheap.
    // False (and nothing appended) when the size would overflow or memory runs out.
    bool Append(const void* data, size_t n);
    bool Append(std::string_view text) { return Append(text.data(), text.size()); }
    bool AppendByte(uint8_t b) { return Append(&b, 1); }
    bool AppendDecimal(int64_t value);

    // Sets the capacity to exactly `capacity` (never below the kept length);
    // without keep the contents are dropped.
    bool Reserve(size_t capacity, bool keep = true);
    // Sets the length (<= capacity), zero-terminating; for callers that wrote into MutableData().
    bool SetLength(size_t length);
    void Clear();

private:
    void EnsureAllocated() { if (!data_) Reserve(0, false); }

    std::unique_ptr<uint8_t[]> data_;
    size_t length_ = 0;
    size_t capacity_ = 0;  // usable bytes; one more is allocated for the zero
};

}  // namespace zl
