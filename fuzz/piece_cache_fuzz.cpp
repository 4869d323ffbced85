// Piece-cache records from untrusted bytes: every accepted block lies inside
// its piece, aligned, with the piece's own length.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "engine/meta/piece_cache_file.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    constexpr int64_t kPieceLength = 4 * 16384;
    const zl::Sha1Digest hash{};
    auto piece_size = [](int32_t index) -> int32_t {
        if (index < 0 || index > 2) return 0;
        return index == 2 ? 20000 : int32_t(kPieceLength);
    };
    zl::ReadPieceCacheRecords(
        std::string_view(reinterpret_cast<const char*>(data), size), hash, kPieceLength, piece_size,
        [&](const zl::PieceCacheRecord& r) {
            const int32_t limit = piece_size(r.index);
            for (const auto& b : r.blocks)
                if (b.offset < 0 || b.offset % 16384 || b.offset >= limit ||
                    int64_t(b.data.size()) != std::min<int64_t>(16384, limit - b.offset))
                    std::abort();
            return true;
        },
        [](int32_t) {});
    return 0;
}
