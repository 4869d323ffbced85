#include "app/prefix_md5.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <vector>

namespace zl::app {
namespace {

constexpr char kMagic[8] = {'Z', 'L', 'M', 'D', '5', 'P', 0, 1};
constexpr size_t kRecordSize = 8 + 4 * 8 + sizeof(MD5Context);
constexpr size_t kReadBlock = 1u << 20;

int OpenEither(const std::string& target) {
    int fd = ::open(target.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0 && errno == ENOENT) fd = ::open((target + ".zltmp").c_str(), O_RDONLY | O_CLOEXEC);
    return fd;
}

void Put64(std::string& out, uint64_t v) {
    for (int i = 0; i < 8; ++i) out += char(uint8_t(v >> (8 * i)));
}

uint64_t Get64(const char* p) {
    uint64_t v = 0;
    for (int i = 7; i >= 0; --i) v = (v << 8) | uint8_t(p[i]);
    return v;
}

}  // namespace

std::optional<FileIdentity> IdentityOf(const std::string& target) {
    struct stat st;
    if (::stat(target.c_str(), &st) != 0 && ::stat((target + ".zltmp").c_str(), &st) != 0) return std::nullopt;
    if (!S_ISREG(st.st_mode)) return std::nullopt;
    return FileIdentity{uint64_t(st.st_ino), uint64_t(st.st_size),
                        uint64_t(st.st_mtim.tv_sec) * 1'000'000'000ull + uint64_t(st.st_mtim.tv_nsec)};
}

void PrefixMd5::Reset() {
    offset_ = 0;
    inode_ = 0;
    MD5Init(&ctx_);
}

bool PrefixMd5::Advance(const std::string& target, uint64_t upto, const std::function<bool()>& stop,
                        const std::function<void(uint64_t)>& progress) {
    const int fd = OpenEither(target);
    if (fd < 0) return false;
    struct stat st;
    if (::fstat(fd, &st) != 0) {
        ::close(fd);
        return false;
    }
    if (inode_ != 0 && uint64_t(st.st_ino) != inode_) Reset();
    inode_ = uint64_t(st.st_ino);
    std::vector<uint8_t> buffer(kReadBlock);
    bool ok = true;
    while (offset_ < upto) {
        if (stop && stop()) {
            ok = false;
            break;
        }
        const size_t want = size_t(std::min<uint64_t>(kReadBlock, upto - offset_));
        const ssize_t n = ::pread(fd, buffer.data(), want, off_t(offset_));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            ok = false;
            break;
        }
        MD5Update(&ctx_, buffer.data(), size_t(n));
        offset_ += uint64_t(n);
        if (progress) progress(offset_);
    }
    ::close(fd);
    return ok;
}

std::string PrefixMd5::DigestHex() const {
    MD5Context copy = ctx_;
    Md5Digest d;
    MD5Final(d.data(), &copy);
    return Md5Hex(d);
}

std::string PrefixMd5::Serialize(const FileIdentity& file) const {
    std::string out(kMagic, sizeof kMagic);
    Put64(out, file.inode);
    Put64(out, file.size);
    Put64(out, file.mtime_ns);
    Put64(out, offset_);
    out.append(reinterpret_cast<const char*>(&ctx_), sizeof ctx_);
    return out;
}

bool PrefixMd5::Deserialize(std::string_view record, const FileIdentity& current) {
    Reset();
    if (record.size() != kRecordSize || std::memcmp(record.data(), kMagic, sizeof kMagic) != 0) return false;
    const char* p = record.data() + sizeof kMagic;
    const FileIdentity saved{Get64(p), Get64(p + 8), Get64(p + 16)};
    const uint64_t offset = Get64(p + 24);
    MD5Context ctx;
    std::memcpy(&ctx, p + 32, sizeof ctx);
    // The context's bit count must agree with the offset, and the offset lie within the file.
    const uint64_t bits = uint64_t(ctx.count[0]) | (uint64_t(ctx.count[1]) << 32);
    if (!(saved == current) || offset > saved.size || bits != offset * 8) return false;
    offset_ = offset;
    inode_ = saved.inode;
    ctx_ = ctx;
    return true;
}

}  // namespace zl::app
