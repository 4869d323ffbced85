// What the storage needs to know about a torrent, independent of how it was
// read: the name, the piece length and hashes, and the files in stream order.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "engine/meta/block_size.h"
#include "engine/meta/sha1.h"

namespace zl {

struct StorageFileSpec {
    // Path components inside the torrent's folder. An empty last component
    // names a directory (allowed only with size 0).
    std::vector<std::string> components;
    int64_t size = 0;
    // Zeros that align the next file: never written, read or created.
    bool padding = false;
};

struct StorageLayout {
    std::string name;
    bool single_file = true;
    int64_t piece_length = 0;
    std::string piece_hashes;  // 20 bytes per piece; empty when the hashes are unknown (a link text)
    std::vector<StorageFileSpec> files;
    Sha1Digest info_hash{};
};

// Piece lengths are whole blocks and bounded, so buffers of a few pieces stay sane.
constexpr int64_t kMaxPieceLength = int64_t(64) << 20;

}  // namespace zl
