// Whole-file writes that survive a crash at any moment: the bytes go to a
// temporary file beside the target, are flushed to disk, and the temporary
// file is renamed over the target. A reader sees the old or the new content,
// never a torn mixture.
#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace zl {

// Streams a file into a temporary name beside `path`; Commit flushes it to
// disk and renames it over `path`. Destroyed without Commit, it leaves `path`
// untouched and removes the temporary file.
class AtomicFileWriter {
public:
    explicit AtomicFileWriter(std::string path);
    AtomicFileWriter(const AtomicFileWriter&) = delete;
    AtomicFileWriter& operator=(const AtomicFileWriter&) = delete;
    ~AtomicFileWriter();

    bool Ok() const { return fd_ >= 0 && ok_; }
    [[nodiscard]] bool Write(std::string_view bytes);
    [[nodiscard]] bool Commit();

private:
    std::string path_;
    std::string temp_;
    int fd_ = -1;
    bool ok_ = true;
};

// Writes `bytes` to `path` atomically, creating missing parent folders.
[[nodiscard]] bool WriteFileAtomic(const std::string& path, std::string_view bytes);

// Reads a whole file; nullopt when it cannot be opened or read, or is larger than `limit`.
std::optional<std::string> ReadWholeFile(const std::string& path, int64_t limit = int64_t(1) << 31);

// Creates `dir` and all its parents ("a/b/c"); true when it exists afterwards.
bool CreateDirectories(const std::string& dir);

// The folder part of a path ("a/b/c" -> "a/b", "c" -> ".").
std::string ParentDirectory(const std::string& path);

}  // namespace zl
