#include "app/app_paths.h"

#include <limits.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cstdlib>
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

std::string DefaultDataRoot() {
    const char* xdg = std::getenv("XDG_DATA_HOME");
    if (xdg && *xdg == '/') return xdg;
    const char* home = std::getenv("HOME");
    return JoinPath(home && *home ? home : "/tmp", ".local/share");
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
    const char* home = std::getenv("HOME");
    if (const char* dl = std::getenv("XDG_DOWNLOAD_DIR"); dl && *dl == '/') candidates.push_back(dl);
    if (home && *home) {
        candidates.push_back(JoinPath(home, "Downloads"));
        candidates.push_back(home);
    }
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
