// A full check of a 1 GiB file in the page cache, next to `openssl dgst -sha1`
// of the same file in the same run. Memory: the check reads through a buffer
// of at most 4 MiB + one piece, below the configured memory cache.
#include <benchmark/benchmark.h>
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "engine/base/clock.h"
#include "engine/base/qmutex.h"
#include "engine/meta/pieces.h"

namespace {

constexpr int64_t kFileSize = int64_t(1) << 30;

struct BenchFile {
    std::string dir;
    std::string path;
    zl::StorageLayout layout;

    explicit BenchFile(int64_t piece_length) {
        dir = (std::filesystem::temp_directory_path() / ("zl-check-bench-" + std::to_string(::getpid()) + "-" +
                                                         std::to_string(piece_length)))
                  .string();
        std::filesystem::create_directories(dir);
        path = dir + "/data.bin";
        layout.name = "data.bin";
        layout.single_file = true;
        layout.piece_length = piece_length;
        layout.files.push_back({{"data.bin"}, kFileSize});
        std::vector<char> piece(static_cast<size_t>(piece_length));
        std::mt19937_64 rng(1);
        FILE* f = std::fopen(path.c_str(), "wb");
        for (int64_t off = 0; off < kFileSize; off += piece_length) {
            for (size_t i = 0; i < piece.size(); i += 8) {
                const uint64_t r = rng();
                std::memcpy(piece.data() + i, &r, 8);
            }
            std::fwrite(piece.data(), 1, piece.size(), f);
            const zl::Sha1Digest d = zl::Sha1Of(piece.data(), piece.size());
            layout.piece_hashes.append(reinterpret_cast<const char*>(d.data()), d.size());
        }
        std::fclose(f);
    }
    ~BenchFile() { std::filesystem::remove_all(dir); }
};

BenchFile& FileFor(int64_t piece_length) {
    static std::map<int64_t, std::unique_ptr<BenchFile>> files;
    auto& f = files[piece_length];
    if (!f) f = std::make_unique<BenchFile>(piece_length);
    return *f;
}

class NullHost : public zl::PiecesHost {
public:
    void OnPieceNotice(const zl::PieceNotice&) override {}
};

long MaxRssKiB() {
    rusage u{};
    ::getrusage(RUSAGE_SELF, &u);
    return u.ru_maxrss;
}

void BM_FullCheck(benchmark::State& state) {
    BenchFile& file = FileFor(state.range(0));
    NullHost host;
    zl::QTMutex disk_lock;
    bool all = true;
    const long rss_before = MaxRssKiB();
    for (auto _ : state) {
        auto* map = new zl::TPieces(&host, disk_lock, zl::SystemClock());
        zl::StorageOptions options;
        options.read_only = true;
        options.always_temp_name = false;
        options.resume_enabled = false;
        map->SetOptions(options);
        map->SetSaveDirectory(file.dir);
        all = map->LoadLayout(file.layout) && map->AllFinished() && all;
        state.counters["cache_MiB"] = double(map->MemoryCacheSize()) / (1 << 20);
        map->Release();
    }
    if (!all) state.SkipWithError("the check did not verify every piece");
    state.SetBytesProcessed(int64_t(state.iterations()) * kFileSize);
    state.counters["maxrss_growth_MiB"] = double(MaxRssKiB() - rss_before) / 1024.0;
}
BENCHMARK(BM_FullCheck)->Arg(256 * 1024)->Arg(4 * 1024 * 1024)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_OpensslDgstSha1(benchmark::State& state) {
    BenchFile& file = FileFor(256 * 1024);
    const std::string command = "openssl dgst -sha1 '" + file.path + "' > /dev/null";
    for (auto _ : state) {
        if (std::system(command.c_str()) != 0) state.SkipWithError("openssl dgst failed");
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * kFileSize);
}
BENCHMARK(BM_OpensslDgstSha1)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
