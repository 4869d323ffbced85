// Loads arbitrary bytes as a torrent: a refusal must carry an error, and a
// loaded torrent must be self-consistent.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "engine/meta/torrent.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    auto t = zl::RefPtr<zl::TTorrent>::Adopt(new zl::TTorrent());
    if (!t->LoadFromData(data, int64_t(size))) {
        if (t->ErrorCode() != zl::kStatusMetainfoFailed || t->ErrorMessage().empty()) std::abort();
        return 0;
    }
    const zl::TorrentInfo& info = t->Info();
    int64_t sum = 0;
    for (const auto& f : info.files) {
        if (f.size < 0 || f.offset != sum) std::abort();
        for (const auto& c : f.components)
            if (!zl::IsSafePathComponent(c)) std::abort();
        sum += f.size;
    }
    if (sum != info.total_size || info.piece_length <= 0 || info.piece_length % 16384 != 0) std::abort();
    if ((info.total_size - 1) / info.piece_length + 1 != info.piece_count) std::abort();
    if (t->HexInfoHash().size() != 40) std::abort();
    return 0;
}
