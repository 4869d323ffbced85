// The unit every transfer is planned in: pieces are fetched, assembled and
// requested in blocks of 16384 bytes (the last block of a piece may be short).
// Products with block indexes are formed in 64 bits by their callers.
#pragma once
#include <cstdint>

namespace zl {

inline constexpr int32_t kBlockSize = 16384;

}  // namespace zl
