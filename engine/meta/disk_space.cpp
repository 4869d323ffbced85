#include "engine/meta/disk_space.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>

#include "engine/meta/atomic_file.h"

namespace zl {

std::optional<uint64_t> StatvfsDiskSpaceProbe::FreeBytes(const std::string& directory) {
    struct statvfs sv;
    if (::statvfs(directory.empty() ? "." : directory.c_str(), &sv) != 0) return std::nullopt;
    return uint64_t(sv.f_bavail) * uint64_t(sv.f_frsize);
}

DiskSpaceProbe& DefaultDiskSpaceProbe() {
    static StatvfsDiskSpaceProbe probe;
    return probe;
}

uint64_t DiskFreeSpaceOf(const std::string& path) {
    if (path.empty()) return 0;
    // Walk up to the nearest folder that exists: a download folder may not be created yet.
    std::string dir = path;
    struct stat st;
    for (int depth = 0; depth < 256; ++depth) {
        if (::stat(dir.c_str(), &st) == 0) break;
        const std::string parent = ParentDirectory(dir);
        if (parent == dir) return 0;
        dir = parent;
    }
    struct statvfs sv;
    if (::statvfs(dir.c_str(), &sv) != 0) return 0;
    return uint64_t(sv.f_bavail) * uint64_t(sv.f_frsize);
}

int64_t FileDiskSizeOf(const std::string& path, const std::string& temp_suffix) {
    if (path.empty()) return 0;
    // Non-blocking, so that a FIFO of that name cannot hang the caller.
    constexpr int kFlags = O_RDONLY | O_CLOEXEC | O_NONBLOCK;
    int fd = ::open(path.c_str(), kFlags);
    if (fd < 0 && errno == ENOENT && !temp_suffix.empty()) fd = ::open((path + temp_suffix).c_str(), kFlags);
    if (fd < 0) return (errno == ENOENT || errno == ENOTDIR) ? 0 : -1;
    struct stat st;
    const bool ok = ::fstat(fd, &st) == 0;
    ::close(fd);
    if (!ok) return -2;
    return int64_t(st.st_blocks) * 512;
}

}  // namespace zl
