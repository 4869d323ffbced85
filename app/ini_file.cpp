#include "app/ini_file.h"

#include <cerrno>
#include <cstdlib>

#include "engine/base/ini_lexer.h"
#include "engine/base/text.h"
#include "engine/meta/atomic_file.h"

namespace zl::app {
namespace {

bool Printable(std::string_view s) {
    for (char c : s)
        if (c == '\n' || c == '\r' || c == '\0') return false;
    return true;
}

}  // namespace

bool IniFile::Load() {
    lines_.clear();
    dirty_ = false;
    const std::optional<std::string> text = ReadIniText(path_);
    if (!text) return false;
    Parse(*text);
    return true;
}

void IniFile::Parse(std::string_view text) {
    lines_.clear();
    for (const std::string_view raw : SplitIniLines(text)) {
        const IniLine lexed = LexIniLine(raw);
        Line line;
        line.text = std::string(raw);
        line.is_section = lexed.kind == IniLineKind::kSection;
        if (line.is_section) line.section = std::string(lexed.name);
        if (lexed.kind == IniLineKind::kKey) line.key = std::string(lexed.name);
        lines_.push_back(std::move(line));
    }
}

std::string IniFile::Text() const {
    std::string out;
    for (const Line& line : lines_) {
        out += line.text;
        out += '\n';
    }
    return out;
}

bool IniFile::Save() {
    if (path_.empty()) return false;
    if (!WriteFileAtomic(path_, Text())) return false;
    dirty_ = false;
    return true;
}

long IniFile::FindSection(std::string_view section) const {
    for (size_t i = 0; i < lines_.size(); ++i)
        if (lines_[i].is_section && EqualsNoCase(lines_[i].section, section)) return long(i);
    return -1;
}

long IniFile::FindKey(long section_index, std::string_view key) const {
    for (size_t i = size_t(section_index) + 1; i < lines_.size() && !lines_[i].is_section; ++i)
        if (!lines_[i].key.empty() && EqualsNoCase(lines_[i].key, key)) return long(i);
    return -1;
}

std::optional<std::string> IniFile::Get(std::string_view section, std::string_view key) const {
    const long s = FindSection(section);
    if (s < 0) return std::nullopt;
    const long k = FindKey(s, key);
    if (k < 0) return std::nullopt;
    return std::string(LexIniLine(lines_[size_t(k)].text).value);
}

std::string IniFile::GetString(std::string_view section, std::string_view key, std::string_view fallback) const {
    std::optional<std::string> v = Get(section, key);
    return v ? *v : std::string(fallback);
}

int64_t IniFile::GetInt(std::string_view section, std::string_view key, int64_t fallback) const {
    const std::optional<std::string> v = Get(section, key);
    if (!v || v->empty()) return fallback;
    const char* begin = v->c_str();
    char* end = nullptr;
    errno = 0;
    const long long n = std::strtoll(begin, &end, 10);
    if (end == begin || errno == ERANGE) return fallback;
    return n;
}

bool IniFile::Set(std::string_view section, std::string_view key, std::string_view value) {
    if (section.empty() || key.empty() || !Printable(section) || !Printable(key) || !Printable(value) ||
        key.find('=') != std::string_view::npos || section.find(']') != std::string_view::npos)
        return false;
    std::string text = std::string(key) + "=" + std::string(value);
    long s = FindSection(section);
    if (s < 0) {
        Line header;
        header.is_section = true;
        header.section = std::string(section);
        header.text = "[" + header.section + "]";
        lines_.push_back(std::move(header));
        s = long(lines_.size()) - 1;
    }
    const long k = FindKey(s, key);
    if (k >= 0) {
        if (lines_[size_t(k)].text == text) return true;
        lines_[size_t(k)].text = std::move(text);
    } else {
        // After the section's last key line, so blank lines and comments that end it stay last.
        size_t at = size_t(s) + 1;
        for (size_t i = at; i < lines_.size() && !lines_[i].is_section; ++i)
            if (!lines_[i].key.empty()) at = i + 1;
        Line line;
        line.key = std::string(key);
        line.text = std::move(text);
        lines_.insert(lines_.begin() + long(at), std::move(line));
    }
    dirty_ = true;
    return true;
}

void IniFile::Remove(std::string_view section, std::string_view key) {
    const long s = FindSection(section);
    if (s < 0) return;
    const long k = FindKey(s, key);
    if (k < 0) return;
    lines_.erase(lines_.begin() + k);
    dirty_ = true;
}

}  // namespace zl::app
