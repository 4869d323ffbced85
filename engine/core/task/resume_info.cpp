#include "engine/core/task/resume_info.h"


#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <optional>

namespace zl {

bool ResumeBlobs::AnyDirty() const {
    for (bool d : dirty)
        if (d) return true;
    return false;
}

bool ReadFileBytes(const std::string& path, std::string& out) {
    out.clear();
    // Non-blocking, so that a FIFO of that name cannot hang the caller (the
    // descriptor is used only once it proves a regular file).
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
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
    return WriteFileDurably(RealFileSystem(), path, bytes);
}

void LoadResumeInfo(const std::string& path, ResumeInfoCodec* codec, ResumeBlobs& blobs, FileSystem& fs) {
    if (path.empty()) return;
    constexpr int64_t kResumeInfoLimit = int64_t(256) << 20;
    const std::optional<std::string> read = codec ? ReadWholeFileOn(fs, path, kResumeInfoLimit) : std::nullopt;
    const std::string bytes = read.value_or(std::string());
    if (!bytes.empty()) {
        std::array<std::string, ResumeBlobs::kCount> found;
        if (codec->Decode(bytes, found)) {
            for (int k = 0; k < ResumeBlobs::kCount; ++k)
                if (found[k].size() > 2) blobs.value[k] = std::move(found[k]);
        }
    }
    blobs.ClearDirty();
}

bool SaveResumeInfo(const std::string& path, ResumeInfoCodec* codec, ResumeBlobs& blobs, FileSystem& fs) {
    if (path.empty() || !blobs.AnyDirty()) return true;
    if (!codec) return false;
    if (!WriteFileDurably(fs, path, codec->Encode(blobs.value))) return false;
    blobs.ClearDirty();
    return true;
}

}  // namespace zl
