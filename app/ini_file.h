// A small INI file with the semantics of the classic profile API (its lines
// lexed by engine/base/ini_lexer.h): section and key names compare without
// regard to case, and every line the program does not touch (comments, other
// sections, unknown keys) is kept as it was.
// Changes stay in memory until Save, which replaces the file atomically.
#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace zl::app {

class IniFile {
public:
    IniFile() = default;
    explicit IniFile(std::string path) : path_(std::move(path)) {}

    // Reads the file; a missing (or too large) file gives an empty document (and false).
    bool Load();
    // Parses `text` as the document (used by Load and by the fuzz target).
    void Parse(std::string_view text);
    // Writes the document through a temporary file and a rename; clears Dirty.
    bool Save();
    std::string Text() const;

    const std::string& Path() const { return path_; }
    void SetPath(std::string path) { path_ = std::move(path); }
    bool Dirty() const { return dirty_; }

    std::optional<std::string> Get(std::string_view section, std::string_view key) const;
    std::string GetString(std::string_view section, std::string_view key, std::string_view fallback = "") const;
    // The leading decimal digits of the value (an optional sign first), like
    // the profile API's integer read; `fallback` when the key is missing or
    // holds no number.
    int64_t GetInt(std::string_view section, std::string_view key, int64_t fallback) const;
    // Sets (or adds) a key; a newline in the value would end the line, so it is refused.
    bool Set(std::string_view section, std::string_view key, std::string_view value);
    void Remove(std::string_view section, std::string_view key);

private:
    struct Line {
        std::string text;     // the line as read or written
        std::string section;  // for a section line: its name; else empty
        std::string key;      // for a key line: its name
        bool is_section = false;
    };
    // Index of the section line, or -1.
    long FindSection(std::string_view section) const;
    // Index of the key line within the section, or -1.
    long FindKey(long section_index, std::string_view key) const;

    std::string path_;
    std::vector<Line> lines_;
    bool dirty_ = false;
};

}  // namespace zl::app
