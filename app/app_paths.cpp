#include "app/app_paths.h"

#include <limits.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <vector>

namespace zl::app {

std::string JoinPath(const std::string& a, const std::string& b) {
    if (a.empty()) return b;
    if (a.back() == '/') return a + b;
    return a + "/" + b;
}

bool IsPlainName(const std::string& name) {
    if (name.empty() || name == "." || name == "..") return false;
    for (unsigned char c : name)
        if (c == '/' || c < 0x20 || c == 0x7f) return false;
    return true;
}

std::string HomeFolder() {
    if (const char* home = std::getenv("HOME"); home && *home == '/') return home;
    struct passwd entry {};
    struct passwd* found = nullptr;
    char buffer[4096];
    if (::getpwuid_r(::getuid(), &entry, buffer, sizeof buffer, &found) == 0 && found && found->pw_dir &&
        found->pw_dir[0] == '/')
        return found->pw_dir;
    return "/tmp";
}

std::string XdgBaseFolder(const char* variable, const char* fallback) {
    if (const char* value = std::getenv(variable); value && *value == '/') return value;
    return JoinPath(HomeFolder(), fallback);
}

std::string DefaultDataRoot() { return XdgBaseFolder("XDG_DATA_HOME", ".local/share"); }

std::string CrashDumpFolder() { return JoinPath(XdgBaseFolder("XDG_CACHE_HOME", ".cache"), "ZPHR/Zephyrloader"); }

std::string DownloadFolderFromUserDirs(const std::string& text, const std::string& home) {
    // Lines of the form XDG_DOWNLOAD_DIR="$HOME/Downloads" or ="/absolute";
    // the last one counts, as when the shell sources the file.
    std::istringstream lines(text);
    std::string line, found;
    const std::string key = "XDG_DOWNLOAD_DIR=\"";
    while (std::getline(lines, line)) {
        const size_t start = line.find_first_not_of(" \t");
        if (start == std::string::npos || line.compare(start, key.size(), key) != 0) continue;
        const size_t open = start + key.size();
        const size_t close = line.find('"', open);
        if (close == std::string::npos) continue;
        std::string value = line.substr(open, close - open);
        if (value.rfind("$HOME", 0) == 0 && (value.size() == 5 || value[5] == '/'))
            value = home + value.substr(5);
        else if (value.empty() || value[0] != '/')
            continue;
        while (value.size() > 1 && value.back() == '/') value.pop_back();
        found = value;
    }
    return found;
}

AppFolders MakeAppFolders(const std::string& data_root, const std::string& id, const std::string& cwd) {
    AppFolders f;
    f.app_folder = JoinPath(data_root.empty() ? DefaultDataRoot() : data_root, "ZPHR/Zephyrloader/Zephyrloader" + id);
    f.ini_path = f.app_folder + "/" + id + ".zlconf";
    f.log_base = f.app_folder + "/" + id;
    f.link_ini = JoinPath(cwd, "ZephyrloaderTaskLink.ini");
    return f;
}

std::string CurrentDirectory() {
    char buffer[PATH_MAX];
    if (::getcwd(buffer, sizeof buffer)) return buffer;
    return ".";
}

std::string TaskInfoFolder(const std::string& app_folder, const std::string& task_hash) {
    return app_folder + "/" + task_hash + "ZLInfo";
}

std::string DefaultDownloadRoot() {
    std::vector<std::string> candidates;
    const std::string home = HomeFolder();
    if (const char* dl = std::getenv("XDG_DOWNLOAD_DIR"); dl && *dl == '/') {
        candidates.push_back(dl);
    } else {
        std::ifstream file(JoinPath(XdgBaseFolder("XDG_CONFIG_HOME", ".config"), "user-dirs.dirs"));
        std::stringstream text;
        text << file.rdbuf();
        if (const std::string named = DownloadFolderFromUserDirs(text.str(), home); !named.empty())
            candidates.push_back(named);
    }
    candidates.push_back(JoinPath(home, "Downloads"));
    candidates.push_back(home);
    std::string best;
    unsigned long long best_free = 0;
    for (const std::string& c : candidates) {
        struct statvfs vfs;
        if (::access(c.c_str(), W_OK) != 0 || ::statvfs(c.c_str(), &vfs) != 0) continue;
        const unsigned long long free_bytes = (unsigned long long)vfs.f_bavail * vfs.f_frsize;
        if (best.empty() || free_bytes > best_free) {
            best = c;
            best_free = free_bytes;
        }
    }
    return best;
}

}  // namespace zl::app
