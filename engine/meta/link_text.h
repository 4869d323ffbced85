// A task link text: one line that describes a single-file task by its info
// hash, total size, piece length and one tracker, instead of a torrent:
//
//   $Hash$<40 hex digits>$Size$<bytes>$Length$<piece length>$Tracker$<url>$End$
//
// Each marker is found at its first occurrence, in any order, except that the
// tracker runs from "$Tracker$" to the next "$End$". In the tracker "$$$"
// stands for "://" (a "$$$" at its very start is kept as it is). A link text
// carries no piece hashes: its pieces are accepted without verification.
#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "engine/meta/sha1.h"

namespace zl {

inline constexpr std::string_view kLinkHashMarker = "$Hash$";
inline constexpr std::string_view kLinkSizeMarker = "$Size$";
inline constexpr std::string_view kLinkLengthMarker = "$Length$";
inline constexpr std::string_view kLinkTrackerMarker = "$Tracker$";
inline constexpr std::string_view kLinkEndMarker = "$End$";
// The one file of a link-text task, in the save folder, when the task names
// no target path of its own.
inline constexpr std::string_view kLinkTextFileName = "001.zlinfo";
// The memory cache of a link-text task, in units of 256 KiB (32 MiB).
inline constexpr int32_t kLinkTextCacheUnits = 128;
// Most pieces a link text may describe. A torrent's count is bounded by its
// 20-byte hashes; a link text's only by this, and every piece is an object
// in memory (as many as a 32 GiB file in 16 KiB pieces).
inline constexpr int64_t kMaxLinkTextPieces = int64_t(1) << 21;

struct LinkText {
    Sha1Digest info_hash{};
    int64_t size = 0;          // bytes, > 0
    int64_t piece_length = 0;  // a positive multiple of 16384, at most 64 MiB
    std::string tracker;       // "$$$" already turned into "://"; may be empty
};

// True when `text` holds any of the five markers: it is meant as a link text
// (and is refused with a reason when one is missing).
bool LooksLikeLinkText(std::string_view text);

// Reads a link text. Refused, with *error saying why, when a marker is
// missing, the hash is not 40 hexadecimal digits, the size is not a positive
// 64-bit number, the piece length is not a positive multiple of 16384 up to
// 64 MiB, or the pieces would be more than kMaxLinkTextPieces.
std::optional<LinkText> ParseLinkText(std::string_view text, std::string* error = nullptr);

// The link text of a task (lower-case hex, "://" written as "$$$").
std::string FormatLinkText(const LinkText& link);

}  // namespace zl
