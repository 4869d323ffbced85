#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include <openssl/evp.h>

#include "engine/base/text.h"
#include "engine/meta/adler32.h"
#include "engine/meta/md5.h"
#include "engine/meta/sha1.h"

namespace zl {
namespace {

std::string Sha1Hex(const std::string& s) { return HexEncode(Sha1Of(s.data(), s.size())); }

std::vector<uint8_t> RandomBytes(size_t n, uint32_t seed) {
    std::mt19937 rng(seed);
    std::vector<uint8_t> v(n);
    for (auto& b : v) b = uint8_t(rng());
    return v;
}

std::string EvpHex(const EVP_MD* md, const uint8_t* p, size_t n) {
    unsigned char out[EVP_MAX_MD_SIZE];
    unsigned int len = 0;
    EVP_Digest(p, n, out, &len, md, nullptr);
    return HexEncode(out, len);
}

TEST(Sha1, Rfc3174TestVectors) {
    EXPECT_EQ(Sha1Hex("abc"), "a9993e364706816aba3e25717850c26c9cd0d89d");
    EXPECT_EQ(Sha1Hex("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"),
              "84983e441c3bd26ebaae4aa1f95129e5e54670f1");
    SHA1Context c;
    SHA1Reset(&c);
    const std::string a(1000, 'a');
    for (int i = 0; i < 1000; ++i) ASSERT_EQ(SHA1Input(&c, a.data(), a.size()), kShaSuccess);
    uint8_t d[20];
    ASSERT_EQ(SHA1Result(&c, d), kShaSuccess);
    EXPECT_EQ(HexEncode(d, 20), "34aa973cd4c4daa4f61eeb2bdbad27316534016f");
    const std::string rep = [] {
        std::string s;
        for (int i = 0; i < 10; ++i) s += "0123456701234567012345670123456701234567012345670123456701234567";
        return s;
    }();
    EXPECT_EQ(Sha1Hex(rep), "dea356a2cddd90c7a7ecedc5ebb563934f460452");
    EXPECT_EQ(Sha1Hex(""), "da39a3ee5e6b4b0d3255bfef95601890afd80709");
}

TEST(Sha1, SplitInputMatchesLibcryptoAtEveryBoundary) {
    const auto data = RandomBytes(1000, 1);
    for (size_t len : {0, 1, 55, 56, 63, 64, 65, 119, 120, 128, 999}) {
        for (size_t cut : {size_t(0), size_t(1), len / 2, len}) {
            if (cut > len) continue;
            SHA1Context c;
            SHA1Reset(&c);
            SHA1Input(&c, data.data(), cut);
            SHA1Input(&c, data.data() + cut, len - cut);
            uint8_t d[20];
            SHA1Result(&c, d);
            EXPECT_EQ(HexEncode(d, 20), EvpHex(EVP_sha1(), data.data(), len)) << len << "/" << cut;
        }
    }
}

// A partly hashed piece is stored as 104 bytes, restored in a later run and
// finished; the result equals hashing the piece in one pass.
TEST(Sha1, StoredContextRoundTrip) {
    const auto piece = RandomBytes(262144, 7);
    const Sha1Digest whole = Sha1Of(piece.data(), piece.size());
    for (size_t first : {size_t(16384), size_t(131072), size_t(100001)}) {
        SHA1Context c;
        SHA1Reset(&c);
        SHA1Input(&c, piece.data(), first);
        uint8_t stored[kSha1ContextSize];
        Sha1ContextStore(c, stored);

        // The stored form: little-endian fields at fixed offsets.
        uint32_t h0 = stored[0] | stored[1] << 8 | stored[2] << 16 | uint32_t(stored[3]) << 24;
        EXPECT_EQ(h0, c.intermediate_hash[0]);
        uint32_t bits = stored[20] | stored[21] << 8 | stored[22] << 16 | uint32_t(stored[23]) << 24;
        EXPECT_EQ(bits, uint32_t(first * 8));
        EXPECT_EQ(stored[28] | stored[29] << 8, int(first % 64));
        EXPECT_EQ(0, std::memcmp(stored + 30, piece.data() + first - first % 64, first % 64));

        SHA1Context restored;
        ASSERT_TRUE(Sha1ContextLoad(stored, sizeof stored, &restored));
        SHA1Input(&restored, piece.data() + first, piece.size() - first);
        Sha1Digest d{};
        SHA1Result(&restored, d.data());
        EXPECT_EQ(d, whole) << first;
    }
}

TEST(Sha1, RejectsDamagedStoredContext) {
    SHA1Context c;
    SHA1Reset(&c);
    SHA1Input(&c, "abcde", 5);
    uint8_t stored[kSha1ContextSize];
    Sha1ContextStore(c, stored);
    SHA1Context out;
    EXPECT_FALSE(Sha1ContextLoad(stored, 103, &out));
    uint8_t bad[kSha1ContextSize];
    std::memcpy(bad, stored, sizeof bad);
    bad[28] = 64;  // block index out of range
    EXPECT_FALSE(Sha1ContextLoad(bad, sizeof bad, &out));
    std::memcpy(bad, stored, sizeof bad);
    bad[20] = 3 * 8;  // bit count disagrees with the block index
    EXPECT_FALSE(Sha1ContextLoad(bad, sizeof bad, &out));
    EXPECT_TRUE(Sha1ContextLoad(stored, sizeof stored, &out));
}

TEST(Sha1, InputAfterResultIsAStateError) {
    SHA1Context c;
    SHA1Reset(&c);
    SHA1Input(&c, "abc", 3);
    uint8_t d[20], d2[20];
    ASSERT_EQ(SHA1Result(&c, d), kShaSuccess);
    ASSERT_EQ(SHA1Result(&c, d2), kShaSuccess);
    EXPECT_EQ(0, std::memcmp(d, d2, 20));
    EXPECT_EQ(SHA1Input(&c, "x", 1), kShaStateError);
    EXPECT_EQ(SHA1Result(&c, d), kShaStateError);
    EXPECT_EQ(SHA1Input(nullptr, "x", 1), kShaNull);
}

TEST(Md5, Rfc1321TestVectors) {
    const std::pair<std::string, std::string> cases[] = {
        {"", "d41d8cd98f00b204e9800998ecf8427e"},
        {"a", "0cc175b9c0f1b6a831c399e269772661"},
        {"abc", "900150983cd24fb0d6963f7d28e17f72"},
        {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
        {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
        {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789", "d174ab98d277d9f5a5611c2c9f419d9f"},
        {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
         "57edf4a22be3c955ac49da2e2107b67a"},
    };
    for (const auto& [in, hex] : cases) EXPECT_EQ(Md5Hex(Md5Of(in.data(), in.size())), hex) << in;
}

TEST(Md5, StreamingMatchesLibcrypto) {
    const auto data = RandomBytes(70000, 3);
    Md5 m;
    size_t pos = 0;
    for (size_t step : {1, 63, 64, 65, 1000, 16384}) {
        m.Update(data.data() + pos, step);
        pos += step;
    }
    m.Update(data.data() + pos, data.size() - pos);
    EXPECT_EQ(Md5Hex(m.Final()), EvpHex(EVP_md5(), data.data(), data.size()));
}

uint32_t NaiveAdler(uint32_t init, const uint8_t* p, size_t n) {
    uint64_t a = init & 0xffff, b = init >> 16;
    for (size_t i = 0; i < n; ++i) {
        a = (a + p[i]) % 65521;
        b = (b + a) % 65521;
    }
    return uint32_t(b << 16 | a);
}

TEST(Adler32, KnownValuesAndInitialValue) {
    EXPECT_EQ(Adler32(1, "Wikipedia", 9), 0x11E60398u);
    EXPECT_EQ(Adler32(1, "", 0), 1u);
    EXPECT_EQ(Adler32(12345, nullptr, 10), 1u);
    const auto data = RandomBytes(20000, 9);  // crosses the 5552-byte blocks
    for (uint32_t init : {1u, 0u, 7u, 0xfff0fff0u}) {
        EXPECT_EQ(Adler32(init, data.data(), data.size()), NaiveAdler(init, data.data(), data.size())) << init;
    }
    // Continuing from a previous value equals one pass.
    const uint32_t first = Adler32(1, data.data(), 7777);
    EXPECT_EQ(Adler32(first, data.data() + 7777, data.size() - 7777), Adler32(1, data.data(), data.size()));
}

}  // namespace
}  // namespace zl
