// Single-file torrents for task tests, built from the bytes they describe, so
// that every piece a test serves verifies against its hash.
#pragma once
#include <algorithm>
#include <cstdint>
#include <string>

#include "engine/meta/sha1.h"

namespace zl::test {

// A bencoded byte string.
inline std::string BencodedString(const std::string& s) { return std::to_string(s.size()) + ":" + s; }

// The 20-byte SHA-1 of every piece of `data`, in order.
inline std::string PieceHashes(const std::string& data, int64_t piece_length) {
    std::string hashes;
    const size_t piece = static_cast<size_t>(piece_length);
    for (size_t at = 0; at < data.size(); at += piece) {
        const Sha1Digest d = Sha1Of(data.data() + at, std::min(piece, data.size() - at));
        hashes.append(reinterpret_cast<const char*>(d.data()), d.size());
    }
    return hashes;
}

inline std::string SingleFileTorrent(const std::string& name, const std::string& data, int64_t piece_length) {
    return "d4:infod6:lengthi" + std::to_string(data.size()) + "e4:name" + BencodedString(name) +
           "12:piece lengthi" + std::to_string(piece_length) + "e6:pieces" +
           BencodedString(PieceHashes(data, piece_length)) + "ee";
}

}  // namespace zl::test
