#include "engine/meta/atomic_file.h"

#include <unistd.h>

#include <atomic>

namespace zl {

std::string ParentDirectory(const std::string& path) {
    const size_t slash = path.find_last_of('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

bool CreateDirectories(const std::string& dir) { return CreateDirectoriesOn(RealFileSystem(), dir); }

AtomicFileWriter::AtomicFileWriter(std::string path, FileSystem& fs) : fs_(fs), path_(std::move(path)) {
    static std::atomic<uint32_t> serial{0};
    CreateDirectoriesOn(fs_, ParentDirectory(path_));
    // A name unique to this process and call, so two writers never share a temporary file.
    temp_ = path_ + ".tmp." + std::to_string(::getpid()) + "." + std::to_string(serial.fetch_add(1));
    file_ = fs_.Open(temp_, FileSystem::OpenMode::kCreate);
}

AtomicFileWriter::~AtomicFileWriter() {
    if (file_) {
        file_.reset();
        fs_.Remove(temp_);
    }
}

bool AtomicFileWriter::Write(std::string_view bytes) {
    if (!Ok()) return false;
    ok_ = file_->WriteAt(bytes.data(), int64_t(bytes.size()), written_) == int64_t(bytes.size());
    if (ok_) written_ += int64_t(bytes.size());
    return ok_;
}

bool AtomicFileWriter::Commit() {
    if (!file_) return false;
    // The bytes are durable before the name points at them.
    const bool ok = ok_ && file_->SyncData();
    file_.reset();
    if (!ok || !fs_.Rename(temp_, path_)) {
        fs_.Remove(temp_);
        return false;
    }
    fs_.SyncDirectory(ParentDirectory(path_));
    return true;
}

bool WriteFileAtomic(const std::string& path, std::string_view bytes) {
    return WriteFileDurably(RealFileSystem(), path, bytes);
}

std::optional<std::string> ReadWholeFile(const std::string& path, int64_t limit) {
    return ReadWholeFileOn(RealFileSystem(), path, limit);
}

}  // namespace zl
