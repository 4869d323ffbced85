// The validated contents of a torrent's "info" dictionary: name, piece length
// and hashes, and the files in stream order with their offsets. Everything in
// it has been checked: sizes fit, the piece count matches the sizes, and every
// path stays inside the save folder.
#pragma once
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "engine/meta/qelement.h"
#include "engine/meta/sha1.h"

namespace zl {

constexpr int64_t kTorrentBlockSize = 16384;
constexpr int64_t kMaxTorrentPieceLength = int64_t(64) << 20;
// A torrent file larger than this is refused before it is parsed.
constexpr int64_t kMaxTorrentFileSize = int64_t(64) << 20;

struct TorrentFile {
    std::vector<std::string> components;  // UTF-8, each a safe single name
    std::string path;                     // components joined with "/"
    int64_t size = 0;
    int64_t offset = 0;                   // in the torrent's byte stream
    // The entry's "attr" letters as given (BEP 47: "p" padding, "x" executable,
    // "h" hidden, "l" symbolic link); only "p" changes how it is stored.
    std::string attr;
    // Padding: zeros that align the next file to a piece. They take part in
    // the piece hashes but are never written, read or created on disk.
    bool padding = false;
};

struct TorrentInfo {
    std::string name;           // UTF-8
    bool single_file = true;    // "length" rather than "files"
    int64_t piece_length = 0;
    int64_t piece_count = 0;
    std::string piece_hashes;   // 20 bytes per piece; empty for a task link text (pieces unverified)
    std::vector<TorrentFile> files;
    int64_t total_size = 0;
    Sha1Digest info_hash{};

    int64_t PieceSize(int64_t index) const;  // the last piece may be shorter; 0 outside
    const uint8_t* PieceHash(int64_t index) const;  // null outside
};

// True when a path component from outside is a plain name: not empty, not "."
// or "..", and without "/", "\\" or NUL.
bool IsSafePathComponent(std::string_view component);

// Reads and checks the info dictionary. Texts are converted from the
// dictionary's code page. On failure returns false with *error naming the problem.
bool ReadTorrentInfo(const QDictionaryElement& info, TorrentInfo* out, std::string* error);

}  // namespace zl
