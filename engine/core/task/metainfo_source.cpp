#include "engine/core/task/metainfo_source.h"

#include "engine/core/task/resume_info.h"

namespace zl {

bool IsFileLocation(std::string_view location) {
    static constexpr std::string_view kScheme = "file://";
    if (location.size() < kScheme.size()) return false;
    for (size_t i = 0; i < kScheme.size(); ++i) {
        char c = location[i];
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        if (c != kScheme[i]) return false;
    }
    return true;
}

std::optional<std::string> ReadMetainfoFile(std::string_view location) {
    if (!IsFileLocation(location)) return std::nullopt;
    std::string bytes;
    if (!ReadFileBytes(std::string(location.substr(7)), bytes)) return std::nullopt;
    if (bytes.size() <= 2 || (bytes[0] != 'd' && bytes[0] != 'D')) return std::nullopt;
    return bytes;
}

}  // namespace zl
