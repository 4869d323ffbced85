// SHA-1, MD5 and Adler-32 over 16 KiB blocks and whole 4 MiB pieces, each
// next to the reference implementation: libcrypto's EVP digests, zlib's adler32.
#include <benchmark/benchmark.h>
#include <openssl/evp.h>

#include <cstdint>
#include <random>
#include <vector>

#include <zlib.h>

#include "engine/meta/adler32.h"
#include "engine/meta/md5.h"
#include "engine/meta/sha1.h"

namespace {

const std::vector<uint8_t>& Data() {
    static const std::vector<uint8_t> data = [] {
        std::vector<uint8_t> v(4 << 20);
        std::mt19937 rng(42);
        for (auto& b : v) b = uint8_t(rng());
        return v;
    }();
    return data;
}

void ZlSha1(benchmark::State& state) {
    const auto& d = Data();
    const size_t n = size_t(state.range(0));
    for (auto _ : state) {
        zl::SHA1Context c;
        zl::SHA1Reset(&c);
        zl::SHA1Input(&c, d.data(), n);
        uint8_t out[20];
        zl::SHA1Result(&c, out);
        benchmark::DoNotOptimize(out);
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(n));
}

// A piece hashed in 16 KiB blocks as they arrive, the context stored and
// restored halfway through as a restart would.
void ZlSha1Incremental(benchmark::State& state) {
    const auto& d = Data();
    const size_t n = size_t(state.range(0));
    for (auto _ : state) {
        zl::SHA1Context c;
        zl::SHA1Reset(&c);
        for (size_t off = 0; off < n; off += 16384) {
            zl::SHA1Input(&c, d.data() + off, 16384);
            if (off == n / 2) {
                uint8_t stored[zl::kSha1ContextSize];
                zl::Sha1ContextStore(c, stored);
                zl::Sha1ContextLoad(stored, sizeof stored, &c);
            }
        }
        uint8_t out[20];
        zl::SHA1Result(&c, out);
        benchmark::DoNotOptimize(out);
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(n));
}

void ZlMd5(benchmark::State& state) {
    const auto& d = Data();
    const size_t n = size_t(state.range(0));
    for (auto _ : state) {
        zl::Md5Digest out = zl::Md5Of(d.data(), n);
        benchmark::DoNotOptimize(out);
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(n));
}

void EvpDigest(benchmark::State& state, const EVP_MD* md) {
    const auto& d = Data();
    const size_t n = size_t(state.range(0));
    EVP_MD_CTX* ctx = EVP_MD_CTX_new();
    for (auto _ : state) {
        unsigned char out[EVP_MAX_MD_SIZE];
        unsigned int len = 0;
        EVP_DigestInit_ex(ctx, md, nullptr);
        EVP_DigestUpdate(ctx, d.data(), n);
        EVP_DigestFinal_ex(ctx, out, &len);
        benchmark::DoNotOptimize(out);
    }
    EVP_MD_CTX_free(ctx);
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(n));
}
void LibcryptoSha1(benchmark::State& state) { EvpDigest(state, EVP_sha1()); }
void LibcryptoMd5(benchmark::State& state) { EvpDigest(state, EVP_md5()); }

void ZlAdler32(benchmark::State& state) {
    const auto& d = Data();
    const size_t n = size_t(state.range(0));
    for (auto _ : state) benchmark::DoNotOptimize(zl::Adler32(1, d.data(), n));
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(n));
}

void ZlibAdler32(benchmark::State& state) {
    const auto& d = Data();
    const size_t n = size_t(state.range(0));
    for (auto _ : state) benchmark::DoNotOptimize(adler32(1, d.data(), uInt(n)));
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(n));
}
BENCHMARK(ZlibAdler32)->Arg(16384)->Arg(4 << 20);

BENCHMARK(ZlSha1)->Arg(16384)->Arg(4 << 20);
BENCHMARK(LibcryptoSha1)->Arg(16384)->Arg(4 << 20);
BENCHMARK(ZlSha1Incremental)->Arg(4 << 20);
BENCHMARK(ZlMd5)->Arg(16384)->Arg(4 << 20);
BENCHMARK(LibcryptoMd5)->Arg(16384)->Arg(4 << 20);
BENCHMARK(ZlAdler32)->Arg(16384)->Arg(4 << 20);

}  // namespace

BENCHMARK_MAIN();
