#include "engine/core/resume_info.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace zl {

bool ResumeBlobs::AnyDirty() const {
    for (bool d : dirty)
        if (d) return true;
    return false;
}

bool ReadFileBytes(const std::string& path, std::string& out) {
    out.clear();
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    struct stat st{};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return false;
    }
    char buffer[65536];
    bool ok = true;
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n > 0) {
            out.append(buffer, static_cast<size_t>(n));
        } else if (n == 0) {
            break;
        } else if (errno != EINTR) {
            ok = false;
            break;
        }
    }
    ::close(fd);
    return ok;
}

bool WriteFileReplacing(const std::string& path, std::string_view bytes) {
    const std::string temp = path + ".tmp";
    const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return false;
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        done += static_cast<size_t>(n);
    }
    const bool written = done == bytes.size() && ::fsync(fd) == 0;
    const bool closed = ::close(fd) == 0;
    if (!written || !closed || ::rename(temp.c_str(), path.c_str()) != 0) {
        ::unlink(temp.c_str());
        return false;
    }
    return true;
}

void LoadResumeInfo(const std::string& path, ResumeInfoCodec* codec, ResumeBlobs& blobs) {
    if (path.empty()) return;
    std::string bytes;
    if (codec && ReadFileBytes(path, bytes) && !bytes.empty()) {
        std::array<std::string, ResumeBlobs::kCount> found;
        if (codec->Decode(bytes, found)) {
            for (int k = 0; k < ResumeBlobs::kCount; ++k)
                if (found[k].size() > 2) blobs.value[k] = std::move(found[k]);
        }
    }
    blobs.ClearDirty();
}

bool SaveResumeInfo(const std::string& path, ResumeInfoCodec* codec, ResumeBlobs& blobs) {
    if (path.empty() || !blobs.AnyDirty()) return true;
    if (!codec) return false;
    if (!WriteFileReplacing(path, codec->Encode(blobs.value))) return false;
    blobs.ClearDirty();
    return true;
}

}  // namespace zl
