// Read-only view of an INI text with the Windows profile semantics the
// configuration files were written for: section and key names compare without
// case, the first match wins, values lose surrounding blanks and one pair of
// matching quotes, and lines starting with ';' are comments.
#pragma once
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace zl {

class IniReader {
public:
    static IniReader Parse(std::string_view text);
    // Reads the whole file; nullopt when it cannot be opened.
    static std::optional<IniReader> Load(const std::string& path);

    // The value, or nullopt when the section or key is missing.
    std::optional<std::string> Get(std::string_view section, std::string_view key) const;
    // The value, or `fallback` when missing.
    std::string GetString(std::string_view section, std::string_view key, std::string_view fallback = {}) const;

private:
    struct Entry {
        std::string section;  // lower case
        std::string key;      // lower case
        std::string value;
    };
    std::vector<Entry> entries_;
};

}  // namespace zl
