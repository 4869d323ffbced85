// The lines of an INI text, with one rule for every INI file the program
// reads (its own configuration, the connection setting, the statistics
// configuration), as the profile API reads them:
// - lines end at LF; a CR before it belongs to the line ending;
// - blanks (space, tab, CR, VT, FF) around names and values do not count;
// - a line whose first character is ';' or '#' is a comment;
// - "[name]" opens a section (text after the ']' is ignored);
// - "key=value" splits at the first '='; the key must not be empty;
// - a value wrapped in one pair of matching double or single quotes loses them.
// The lexer only names the parts of a line; readers decide what they look up.
#pragma once
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace zl {

// Larger INI files are refused: the program's own are a few KiB.
inline constexpr size_t kMaxIniBytes = 1u << 20;

enum class IniLineKind { kBlank, kComment, kSection, kKey, kOther };

struct IniLine {
    IniLineKind kind = IniLineKind::kBlank;
    std::string_view name;   // the section's name, or the key
    std::string_view value;  // a key's value, without blanks and quotes
};

// The lines of `text` without their line endings (a last line without LF included).
std::vector<std::string_view> SplitIniLines(std::string_view text);
// What one line (without its line ending) holds.
IniLine LexIniLine(std::string_view line);

// The whole file; nullopt when it is missing, no regular file, unreadable or
// larger than kMaxIniBytes.
std::optional<std::string> ReadIniText(const std::string& path);

}  // namespace zl
