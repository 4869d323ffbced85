#include "telemetry/ini_reader.h"

#include "engine/base/ini_lexer.h"
#include "engine/base/text.h"

namespace zl {

IniReader IniReader::Parse(std::string_view text) {
    IniReader reader;
    std::optional<std::string> section;  // none before the first section line
    for (const std::string_view raw : SplitIniLines(text)) {
        const IniLine line = LexIniLine(raw);
        if (line.kind == IniLineKind::kSection) section = std::string(line.name);
        else if (line.kind == IniLineKind::kKey && section)
            reader.entries_.push_back({*section, std::string(line.name), std::string(line.value)});
    }
    return reader;
}

std::optional<IniReader> IniReader::Load(const std::string& path) {
    const std::optional<std::string> text = ReadIniText(path);
    if (!text) return std::nullopt;
    return Parse(*text);
}

std::optional<std::string> IniReader::Get(std::string_view section, std::string_view key) const {
    const std::string_view s = Trim(section), k = Trim(key);
    for (const Entry& entry : entries_)
        if (EqualsNoCase(entry.section, s) && EqualsNoCase(entry.key, k)) return entry.value;
    return std::nullopt;
}

std::string IniReader::GetString(std::string_view section, std::string_view key, std::string_view fallback) const {
    if (auto value = Get(section, key)) return *value;
    return std::string(fallback);
}

}  // namespace zl
