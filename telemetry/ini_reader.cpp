#include "telemetry/ini_reader.h"

#include <fstream>
#include <iterator>

#include "engine/base/text.h"

namespace zl {
namespace {

std::string Lower(std::string_view text) {
    std::string out(text);
    for (char& c : out)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return out;
}

}  // namespace

IniReader IniReader::Parse(std::string_view text) {
    IniReader reader;
    std::string section;
    bool in_section = false;
    while (!text.empty()) {
        const size_t end = text.find('\n');
        std::string_view line = Trim(text.substr(0, end));
        text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
        if (line.empty() || line.front() == ';') continue;
        if (line.front() == '[') {
            const size_t close = line.find(']');
            if (close == std::string_view::npos) continue;
            section = Lower(Trim(line.substr(1, close - 1)));
            in_section = true;
            continue;
        }
        const size_t equals = line.find('=');
        if (!in_section || equals == std::string_view::npos) continue;
        std::string_view value = Trim(line.substr(equals + 1));
        if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') && value.back() == value.front())
            value = value.substr(1, value.size() - 2);
        reader.entries_.push_back({section, Lower(Trim(line.substr(0, equals))), std::string(value)});
    }
    return reader;
}

std::optional<IniReader> IniReader::Load(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return std::nullopt;
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    return Parse(text);
}

std::optional<std::string> IniReader::Get(std::string_view section, std::string_view key) const {
    const std::string s = Lower(Trim(section));
    const std::string k = Lower(Trim(key));
    for (const Entry& entry : entries_)
        if (entry.section == s && entry.key == k) return entry.value;
    return std::nullopt;
}

std::string IniReader::GetString(std::string_view section, std::string_view key, std::string_view fallback) const {
    if (auto value = Get(section, key)) return *value;
    return std::string(fallback);
}

}  // namespace zl
