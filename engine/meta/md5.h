// MD5 after RFC 1321 (peer ids, whole-file verification).
#pragma once
#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

namespace zl {

constexpr size_t kMd5DigestSize = 16;
using Md5Digest = std::array<uint8_t, kMd5DigestSize>;

// RFC 1321's context: state (ABCD), bit count (low word first), input buffer.
struct MD5Context {
    uint32_t state[4];
    uint32_t count[2];
    uint8_t buffer[64];
};

void MD5Init(MD5Context* context);
void MD5Update(MD5Context* context, const void* data, size_t length);
void MD5Final(uint8_t digest[kMd5DigestSize], MD5Context* context);

// Incremental helper for streaming whole files.
class Md5 {
public:
    Md5() { MD5Init(&ctx_); }
    void Update(const void* data, size_t length) { MD5Update(&ctx_, data, length); }
    Md5Digest Final();

private:
    MD5Context ctx_;
};

Md5Digest Md5Of(const void* data, size_t length);
std::string Md5Hex(const Md5Digest& digest);

}  // namespace zl
