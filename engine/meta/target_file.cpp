#include "engine/meta/target_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace zl {

bool TargetFile::Open(const std::string& path, Mode mode, bool sequential_hint) {
    Close();
    int flags = O_CLOEXEC;
    switch (mode) {
        case Mode::ReadOnly: flags |= O_RDONLY; break;
        case Mode::ReadWrite: flags |= O_RDWR | O_CREAT; break;
        case Mode::Create: flags |= O_RDWR | O_CREAT | O_TRUNC; break;
    }
    do {
        fd_ = ::open(path.c_str(), flags, 0644);
    } while (fd_ < 0 && errno == EINTR);
    if (fd_ < 0) return false;
    struct stat st;
    if (::fstat(fd_, &st) != 0 || !S_ISREG(st.st_mode)) {
        Close();
        errno = EISDIR;
        return false;
    }
    read_only_ = mode == Mode::ReadOnly;
    if (sequential_hint) ::posix_fadvise(fd_, 0, 0, POSIX_FADV_SEQUENTIAL);
    return true;
}

void TargetFile::Close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    read_only_ = false;
}

int64_t TargetFile::Size() const {
    struct stat st;
    if (fd_ < 0 || ::fstat(fd_, &st) != 0) return -1;
    return int64_t(st.st_size);
}

int64_t TargetFile::ReadAt(void* buffer, int64_t length, int64_t offset) const {
    if (fd_ < 0 || !buffer || length < 0 || offset < 0) return -1;
    auto* out = static_cast<char*>(buffer);
    int64_t done = 0;
    while (done < length) {
        const ssize_t r = ::pread(fd_, out + done, size_t(length - done), off_t(offset + done));
        if (r < 0) {
            if (errno == EINTR) continue;
            return done > 0 ? done : -1;
        }
        if (r == 0) break;
        done += r;
    }
    return done;
}

int64_t TargetFile::WriteAt(const void* bytes, int64_t length, int64_t offset) {
    if (fd_ < 0 || read_only_ || !bytes || length < 0 || offset < 0) return -1;
    auto* in = static_cast<const char*>(bytes);
    int64_t done = 0;
    while (done < length) {
        const ssize_t w = ::pwrite(fd_, in + done, size_t(length - done), off_t(offset + done));
        if (w < 0) {
            if (errno == EINTR) continue;
            return done > 0 ? done : -1;
        }
        if (w == 0) break;
        done += w;
    }
    return done;
}

bool TargetFile::Resize(int64_t size, bool allocate) {
    if (fd_ < 0 || read_only_ || size < 0) return false;
    const int64_t current = Size();
    if (current < 0) return false;
    if (size < current) return ::ftruncate(fd_, off_t(size)) == 0;
    if (size == current) return true;
    if (allocate) {
        int rc;
        do {
            rc = ::fallocate(fd_, 0, off_t(current), off_t(size - current));
        } while (rc != 0 && errno == EINTR);
        if (rc == 0) return true;
        if (errno == ENOSPC) return false;  // no point extending sparsely what cannot be stored
    }
    return ::ftruncate(fd_, off_t(size)) == 0;
}

bool TargetFile::WriteTime(uint64_t* filetime) const {
    struct stat st;
    if (fd_ < 0 || ::fstat(fd_, &st) != 0) return false;
    constexpr uint64_t kEpochDelta = 11644473600ULL;  // seconds from 1601-01-01 to 1970-01-01
    if (st.st_mtim.tv_sec < 0) return false;
    *filetime = (uint64_t(st.st_mtim.tv_sec) + kEpochDelta) * 10000000ULL + uint64_t(st.st_mtim.tv_nsec) / 100;
    return true;
}

}  // namespace zl
