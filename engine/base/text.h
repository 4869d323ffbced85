// Small text helpers every layer shares: trimming, case-blind comparison of
// ASCII names, hex and percent-encoding. One of each, so that a header parser,
// a tracker query and a form post cannot drift apart in the rules they use.
#pragma once
#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace zl {

// Space, tab, CR, LF, vertical tab and form feed (isspace in the C locale).
inline constexpr std::string_view kAsciiBlanks = " \t\r\n\v\f";
// The blanks of HTTP header fields ("optional white space").
inline constexpr std::string_view kHttpBlanks = " \t";

// `text` without the leading and trailing characters found in `blanks`.
std::string_view Trim(std::string_view text, std::string_view blanks = kAsciiBlanks);

// ASCII letters compare without case; every other byte must be equal.
bool EqualsNoCase(std::string_view a, std::string_view b);
bool StartsWithNoCase(std::string_view text, std::string_view prefix);

enum class HexCase { kLower, kUpper };

// Two hex digits per byte, in order.
std::string HexEncode(const void* bytes, size_t size, HexCase hex_case = HexCase::kLower);
inline std::string HexEncode(std::string_view bytes, HexCase hex_case = HexCase::kLower) {
    return HexEncode(bytes.data(), bytes.size(), hex_case);
}
template <size_t N>
std::string HexEncode(const std::array<uint8_t, N>& bytes, HexCase hex_case = HexCase::kLower) {
    return HexEncode(bytes.data(), N, hex_case);
}

// Which bytes percent-encoding leaves as they are; every other byte becomes "%XX".
enum class PercentKeep {
    kAlnum,       // ASCII letters and digits (tracker queries, info hashes)
    kUnreserved,  // letters, digits and "-._~" (RFC 3986; form fields)
    // Every ASCII byte above the space (0x21..0x7F): only blanks, controls and
    // non-ASCII bytes are encoded, so a URL's own escapes ("%26") stay as written.
    kAllAboveSpaceAscii,
};
std::string PercentEncode(std::string_view bytes, PercentKeep keep, HexCase hex_case = HexCase::kLower);
// "%XX" with two hex digits becomes its byte; anything else stays as written.
std::string PercentDecode(std::string_view text);

}  // namespace zl
