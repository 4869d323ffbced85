#include "engine/meta/file_entry.h"

#include <sys/stat.h>

namespace zl {

std::string SanitizeStoredPath(std::string path) {
    for (char& c : path)
        if (c == '?' || c == '\r' || c == '\n') c = '_';
    return path;
}

bool IsSafeStorageComponent(const std::string& component) {
    if (component.empty() || component == "." || component == "..") return false;
    for (char c : component)
        if (c == '/' || c == '\\' || c == '\0') return false;
    return true;
}

bool PathExists(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0;
}

void ApplyTemporaryName(FileEntry& entry, const std::string& suffix, bool always) {
    if (suffix.empty() || entry.temp_name || entry.path.empty() || PathExists(entry.path)) return;
    const std::string temp = entry.path + suffix;
    if (!always && !PathExists(temp)) return;
    entry.final_path = entry.path;
    entry.path = temp;
    entry.temp_name = true;
}

}  // namespace zl
