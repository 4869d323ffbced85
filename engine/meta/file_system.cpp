#include "engine/meta/file_system.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>

namespace zl {
namespace {

class PosixFile final : public FileHandle {
public:
    explicit PosixFile(int fd) : fd_(fd) {}
    ~PosixFile() override { ::close(fd_); }

    int64_t Size() override {
        struct stat st;
        return ::fstat(fd_, &st) == 0 ? int64_t(st.st_size) : -1;
    }

    int64_t ReadAt(void* buffer, int64_t length, int64_t offset) override {
        if (!buffer || length < 0 || offset < 0) return -1;
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

    int64_t WriteAt(const void* bytes, int64_t length, int64_t offset) override {
        if (!bytes || length < 0 || offset < 0) return -1;
        const struct iovec part = {const_cast<void*>(bytes), size_t(length)};
        return WriteVAt(&part, 1, offset);
    }

    int64_t WriteVAt(const struct iovec* parts, int count, int64_t offset) override {
        if (!parts || count < 0 || offset < 0) return -1;
        int64_t total = 0;
        for (int i = 0; i < count; ++i) total += int64_t(parts[i].iov_len);
        // Resumes after a short write by skipping what went out.
        struct iovec local[IOV_MAX];
        int64_t done = 0;
        while (done < total) {
            int64_t skip = done;
            int n = 0;
            for (int i = 0; i < count && n < IOV_MAX; ++i) {
                const int64_t len = int64_t(parts[i].iov_len);
                if (skip >= len) {
                    skip -= len;
                    continue;
                }
                local[n].iov_base = static_cast<char*>(parts[i].iov_base) + skip;
                local[n].iov_len = size_t(len - skip);
                skip = 0;
                ++n;
            }
            const ssize_t w = ::pwritev(fd_, local, n, off_t(offset + done));
            if (w < 0) {
                if (errno == EINTR) continue;
                return done > 0 ? done : -1;
            }
            if (w == 0) break;
            done += w;
        }
        return done;
    }

    bool Resize(int64_t size, bool allocate) override {
        const int64_t current = Size();
        if (current < 0 || size < 0) return false;
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

    void StartWriteback(int64_t offset, int64_t length) override {
        if (offset >= 0 && length > 0) ::sync_file_range(fd_, off_t(offset), off_t(length), SYNC_FILE_RANGE_WRITE);
    }

    void WriteBack(int64_t offset, int64_t length) override {
        if (offset >= 0 && length > 0)
            ::sync_file_range(fd_, off_t(offset), off_t(length),
                              SYNC_FILE_RANGE_WAIT_BEFORE | SYNC_FILE_RANGE_WRITE | SYNC_FILE_RANGE_WAIT_AFTER);
    }

    bool SyncData() override {
        int rc;
        do {
            rc = ::fdatasync(fd_);
        } while (rc != 0 && errno == EINTR);
        return rc == 0;
    }

    bool ModifiedTime(uint64_t* filetime) override {
        struct stat st;
        if (!filetime || ::fstat(fd_, &st) != 0 || st.st_mtim.tv_sec < 0) return false;
        constexpr uint64_t kEpochDelta = 11644473600ULL;  // seconds from 1601-01-01 to 1970-01-01
        *filetime = (uint64_t(st.st_mtim.tv_sec) + kEpochDelta) * 10000000ULL + uint64_t(st.st_mtim.tv_nsec) / 100;
        return true;
    }

private:
    int fd_;
};

class PosixFileSystem final : public FileSystem {
public:
    std::unique_ptr<FileHandle> Open(const std::string& path, OpenMode mode, bool sequential) override {
        int flags = O_CLOEXEC;
        switch (mode) {
            case OpenMode::kRead: flags |= O_RDONLY; break;
            case OpenMode::kReadWrite: flags |= O_RDWR | O_CREAT; break;
            case OpenMode::kCreate: flags |= O_RDWR | O_CREAT | O_TRUNC; break;
        }
        int fd;
        do {
            // Non-blocking, so that a FIFO in the file's place cannot hang the open.
            fd = ::open(path.c_str(), flags | O_NONBLOCK, 0644);
        } while (fd < 0 && errno == EINTR);
        if (fd < 0) return nullptr;
        struct stat st;
        if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
            ::close(fd);
            errno = EISDIR;
            return nullptr;
        }
        ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
        if (sequential) ::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
        return std::make_unique<PosixFile>(fd);
    }

    bool Exists(const std::string& path) override {
        struct stat st;
        return ::stat(path.c_str(), &st) == 0;
    }

    bool IsDirectory(const std::string& path) override {
        struct stat st;
        return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
    }

    bool Rename(const std::string& from, const std::string& to) override {
        return ::rename(from.c_str(), to.c_str()) == 0;
    }

    bool RenameNoReplace(const std::string& from, const std::string& to) override {
        if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return true;
        if (errno != EINVAL && errno != ENOSYS) return false;
        // File systems without RENAME_NOREPLACE: link() refuses an existing target too.
        if (::link(from.c_str(), to.c_str()) != 0) return false;
        ::unlink(from.c_str());
        return true;
    }

    bool Remove(const std::string& path) override { return ::unlink(path.c_str()) == 0; }

    bool MakeDirectory(const std::string& dir) override {
        return ::mkdir(dir.c_str(), 0755) == 0 || (errno == EEXIST && IsDirectory(dir));
    }

    bool SyncDirectory(const std::string& dir) override {
        const int fd = ::open(dir.empty() ? "." : dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (fd < 0) return false;
        const bool ok = ::fsync(fd) == 0;
        ::close(fd);
        return ok;
    }

    void MakeWritable(const std::string& path) override {
        struct stat st;
        if (::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && (st.st_mode & S_IWUSR) == 0)
            ::chmod(path.c_str(), st.st_mode | S_IWUSR);
    }
};

std::string ParentOf(const std::string& path) {
    const size_t slash = path.find_last_of('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

}  // namespace

FileSystem& RealFileSystem() {
    static PosixFileSystem fs;
    return fs;
}

bool CreateDirectoriesOn(FileSystem& fs, const std::string& dir) {
    if (dir.empty()) return false;
    if (fs.IsDirectory(dir)) return true;
    if (fs.Exists(dir)) return false;
    const std::string parent = ParentOf(dir);
    if (parent != dir && parent != "." && parent != "/") CreateDirectoriesOn(fs, parent);
    return fs.MakeDirectory(dir);
}

std::optional<std::string> ReadWholeFileOn(FileSystem& fs, const std::string& path, int64_t limit) {
    std::unique_ptr<FileHandle> file = fs.Open(path, FileSystem::OpenMode::kRead);
    if (!file) return std::nullopt;
    const int64_t size = file->Size();
    if (size < 0 || size > limit) return std::nullopt;
    std::string out(size_t(size), '\0');
    if (file->ReadAt(out.data(), size, 0) != size) return std::nullopt;
    return out;
}

bool WriteFileDurably(FileSystem& fs, const std::string& path, std::string_view bytes) {
    static std::atomic<uint32_t> serial{0};
    const std::string dir = ParentOf(path);
    CreateDirectoriesOn(fs, dir);
    // A name unique to this process and call, so two writers never share a temporary file.
    const std::string temp = path + ".tmp." + std::to_string(::getpid()) + "." + std::to_string(serial.fetch_add(1));
    std::unique_ptr<FileHandle> file = fs.Open(temp, FileSystem::OpenMode::kCreate);
    if (!file) return false;
    const bool written = file->WriteAt(bytes.data(), int64_t(bytes.size()), 0) == int64_t(bytes.size());
    // The bytes are durable before the name points at them: a power cut then
    // leaves the old file or the whole new one, never an empty or torn one.
    const bool synced = written && file->SyncData();
    file.reset();
    if (!synced || !fs.Rename(temp, path)) {
        fs.Remove(temp);
        return false;
    }
    // The new name is durable once its directory is.
    fs.SyncDirectory(dir);
    return true;
}

bool RemoveDurably(FileSystem& fs, const std::string& path) {
    if (!fs.Remove(path)) return false;
    fs.SyncDirectory(ParentOf(path));
    return true;
}

}  // namespace zl
