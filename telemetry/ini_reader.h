// Read-only view of an INI text (lexed by engine/base/ini_lexer.h, the rule
// every INI file of the program follows): section and key names compare
// without case and the first match wins.
#pragma once
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace zl {

class IniReader {
public:
    static IniReader Parse(std::string_view text);
    // Reads the whole file; nullopt when it cannot be opened or is too large (kMaxIniBytes).
    static std::optional<IniReader> Load(const std::string& path);

    // The value, or nullopt when the section or key is missing.
    std::optional<std::string> Get(std::string_view section, std::string_view key) const;
    // The value, or `fallback` when missing.
    std::string GetString(std::string_view section, std::string_view key, std::string_view fallback = {}) const;

private:
    struct Entry {
        std::string section;
        std::string key;
        std::string value;
    };
    std::vector<Entry> entries_;
};

}  // namespace zl
