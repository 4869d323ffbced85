// Where a task's torrent comes from, and the hook that turns its bytes into
// the figures the task shows. Parsing belongs to the torrent library; the task
// only knows this interface.
#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace zl {

struct ParsedMetainfo {
    std::string name;
    std::string comment;
    std::string announce;
    std::string info_hash_hex;  // 40 lower-case hex digits
    uint64_t total_size = 0;
    int32_t piece_length = 0;
    int32_t piece_count = 0;
};

class MetainfoParser {
public:
    virtual ~MetainfoParser() = default;
    // False when the bytes are no usable torrent.
    virtual bool Parse(std::string_view torrent_bytes, ParsedMetainfo& out) = 0;
};

// True when `location` starts with "file://" (case-insensitive).
bool IsFileLocation(std::string_view location);

// The bytes of a "file://" metainfo location when they can be read and look
// like a bencoded dictionary (more than 2 bytes, starting with 'd' or 'D');
// nothing otherwise.
std::optional<std::string> ReadMetainfoFile(std::string_view location);

}  // namespace zl
