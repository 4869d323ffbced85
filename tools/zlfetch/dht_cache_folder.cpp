#include "tools/zlfetch/dht_cache_folder.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace zlfetch {
namespace {

// Makes every missing folder of an absolute path (new ones private to the user).
bool MakeFolders(const std::string& path, std::string* why) {
    for (size_t at = path.find('/', 1);; at = path.find('/', at + 1)) {
        const std::string part = path.substr(0, at);
        struct stat st {};
        if (::stat(part.c_str(), &st) != 0) {
            if (::mkdir(part.c_str(), 0700) != 0 && errno != EEXIST) {
                *why = "cannot create " + part + ": " + std::strerror(errno);
                return false;
            }
        } else if (!S_ISDIR(st.st_mode)) {
            *why = part + " is not a folder";
            return false;
        }
        if (at == std::string::npos) return true;
    }
}

}  // namespace

std::string SeedDhtCacheFolder(std::string* why, int* lock_fd) {
    *lock_fd = -1;
    std::string root;
    if (const char* xdg = std::getenv("XDG_DATA_HOME"); xdg && *xdg == '/') {
        root = xdg;
    } else if (const char* home = std::getenv("HOME"); home && *home == '/') {
        root = std::string(home) + "/.local/share";
    } else {
        *why = "neither XDG_DATA_HOME nor HOME names a folder";
        return {};
    }
    while (root.size() > 1 && root.back() == '/') root.pop_back();
    const std::string folder = root + "/ZPHR/Zephyrloader";
    if (!MakeFolders(folder, why)) return {};
    const std::string lock = folder + "/ZephyrloaderKademlia.lock";
    const int fd = ::open(lock.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) {
        *why = "cannot open " + lock + ": " + std::strerror(errno);
        return {};
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        *why = errno == EWOULDBLOCK ? "another seed with the DHT uses " + folder
                                    : "cannot lock " + lock + ": " + std::strerror(errno);
        ::close(fd);
        return {};
    }
    *lock_fd = fd;
    return folder;
}

}  // namespace zlfetch
