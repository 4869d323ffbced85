#include "engine/meta/atomic_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>

namespace zl {
namespace {

bool WriteAll(int fd, const char* data, size_t n) {
    while (n > 0) {
        const ssize_t w = ::write(fd, data, n);
        if (w < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        data += w;
        n -= size_t(w);
    }
    return true;
}

void SyncDirectory(const std::string& dir) {
    const int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return;
    ::fsync(fd);
    ::close(fd);
}

}  // namespace

std::string ParentDirectory(const std::string& path) {
    const size_t slash = path.find_last_of('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

bool CreateDirectories(const std::string& dir) {
    if (dir.empty()) return false;
    struct stat st;
    if (::stat(dir.c_str(), &st) == 0) return S_ISDIR(st.st_mode);
    const std::string parent = ParentDirectory(dir);
    if (parent != dir && parent != "." && parent != "/") CreateDirectories(parent);
    if (::mkdir(dir.c_str(), 0755) == 0 || errno == EEXIST) return ::stat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
    return false;
}

AtomicFileWriter::AtomicFileWriter(std::string path) : path_(std::move(path)) {
    static std::atomic<uint32_t> serial{0};
    CreateDirectories(ParentDirectory(path_));
    // A name unique to this process and call, so two writers never share a temporary file.
    temp_ = path_ + ".tmp." + std::to_string(::getpid()) + "." + std::to_string(serial.fetch_add(1));
    fd_ = ::open(temp_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
}

AtomicFileWriter::~AtomicFileWriter() {
    if (fd_ >= 0) {
        ::close(fd_);
        ::unlink(temp_.c_str());
    }
}

bool AtomicFileWriter::Write(std::string_view bytes) {
    if (!Ok()) return false;
    ok_ = WriteAll(fd_, bytes.data(), bytes.size());
    return ok_;
}

bool AtomicFileWriter::Commit() {
    if (fd_ < 0) return false;
    bool ok = ok_ && ::fsync(fd_) == 0;
    ok = ::close(fd_) == 0 && ok;
    fd_ = -1;
    if (!ok || ::rename(temp_.c_str(), path_.c_str()) != 0) {
        ::unlink(temp_.c_str());
        return false;
    }
    SyncDirectory(ParentDirectory(path_));
    return true;
}

bool WriteFileAtomic(const std::string& path, std::string_view bytes) {
    AtomicFileWriter writer(path);
    return writer.Write(bytes) && writer.Commit();
}

std::optional<std::string> ReadWholeFile(const std::string& path, int64_t limit) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return std::nullopt;
    struct stat st;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size > limit) {
        ::close(fd);
        return std::nullopt;
    }
    std::string out(size_t(st.st_size), '\0');
    size_t got = 0;
    while (got < out.size()) {
        const ssize_t r = ::read(fd, out.data() + got, out.size() - got);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) break;
        got += size_t(r);
    }
    ::close(fd);
    if (got != out.size()) return std::nullopt;
    return out;
}

}  // namespace zl
