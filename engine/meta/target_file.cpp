#include "engine/meta/target_file.h"

#include <algorithm>

namespace zl {

bool TargetFile::Open(FileSystem& fs, const std::string& path, Mode mode, bool sequential_hint) {
    Close();
    FileSystem::OpenMode how = FileSystem::OpenMode::kRead;
    if (mode == Mode::ReadWrite) how = FileSystem::OpenMode::kReadWrite;
    if (mode == Mode::Create) how = FileSystem::OpenMode::kCreate;
    handle_ = fs.Open(path, how, sequential_hint);
    size_ = -1;
    if (!handle_) return false;
    read_only_ = mode == Mode::ReadOnly;
    return true;
}

void TargetFile::Close() {
    handle_.reset();
    size_ = -1;
    read_only_ = false;
}

int64_t TargetFile::Size() const {
    if (!handle_) return -1;
    if (size_ < 0) size_ = handle_->Size();
    return size_;
}

int64_t TargetFile::ReadAt(void* buffer, int64_t length, int64_t offset) const {
    if (!handle_ || !buffer || length < 0 || offset < 0) return -1;
    return handle_->ReadAt(buffer, length, offset);
}

int64_t TargetFile::WriteAt(const void* bytes, int64_t length, int64_t offset) {
    if (!handle_ || read_only_ || !bytes || length < 0 || offset < 0) return -1;
    const int64_t done = handle_->WriteAt(bytes, length, offset);
    if (done > 0 && size_ >= 0) size_ = std::max(size_, offset + done);
    if (done < length) size_ = -1;  // after a failure, ask again
    return done;
}

int64_t TargetFile::WriteVAt(const struct iovec* parts, int count, int64_t offset) {
    if (!handle_ || read_only_ || !parts || count < 0 || offset < 0) return -1;
    int64_t total = 0;
    for (int i = 0; i < count; ++i) total += int64_t(parts[i].iov_len);
    const int64_t done = handle_->WriteVAt(parts, count, offset);
    if (done > 0 && size_ >= 0) size_ = std::max(size_, offset + done);
    if (done < total) size_ = -1;
    return done;
}

bool TargetFile::Resize(int64_t size, bool allocate) {
    if (!handle_ || read_only_ || size < 0) return false;
    const bool ok = handle_->Resize(size, allocate);
    size_ = ok ? size : -1;
    return ok;
}

bool TargetFile::WriteTime(uint64_t* filetime) const { return handle_ && handle_->ModifiedTime(filetime); }

void TargetFile::StartWriteback(int64_t offset, int64_t length) {
    if (handle_ && !read_only_) handle_->StartWriteback(offset, length);
}

// A read-only handle flushes the file as well: the flush is of the file, not of the handle.
bool TargetFile::SyncData() { return !handle_ || handle_->SyncData(); }

}  // namespace zl
