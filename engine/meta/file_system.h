// The file system as storage sees it. Every byte a task keeps (target files,
// the piece-cache file, the task information file) goes through this
// interface, so tests can run storage on a file system that loses, at a
// "power cut", whatever no completed durability step (fdatasync or fsync of
// a file, fsync of its directory after a create or rename) had covered.
// The real one is plain POSIX; every call may come from any thread.
#pragma once
#include <sys/uio.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace zl {

class FileHandle {
public:
    virtual ~FileHandle() = default;
    // Size in bytes, -1 on failure.
    virtual int64_t Size() = 0;
    // Positioned transfers of up to `length` bytes: the count done (short only
    // at the end of the file or on an error after some bytes), -1 on failure.
    virtual int64_t ReadAt(void* buffer, int64_t length, int64_t offset) = 0;
    virtual int64_t WriteAt(const void* bytes, int64_t length, int64_t offset) = 0;
    // Gathers `count` buffers into one positioned write (pwritev).
    virtual int64_t WriteVAt(const struct iovec* parts, int count, int64_t offset) = 0;
    // Sets the end of the file; `allocate` reserves the new range on disk.
    virtual bool Resize(int64_t size, bool allocate) = 0;
    // Starts writing back the range without waiting (a hint; sync_file_range).
    virtual void StartWriteback(int64_t offset, int64_t length) = 0;
    // Writes the range back and waits for it (sync_file_range). Not durable by
    // itself (sizes, caches): a SyncData after it is, and has less to do.
    virtual void WriteBack(int64_t offset, int64_t length) = 0;
    // Makes the file's bytes and size durable (fdatasync).
    virtual bool SyncData() = 0;
    // Modification time as 100 ns units since 1601-01-01 UTC; false when unknown.
    virtual bool ModifiedTime(uint64_t* filetime) = 0;
};

class FileSystem {
public:
    enum class OpenMode { kRead, kReadWrite, kCreate };  // existing only; open or create; create empty
    virtual ~FileSystem() = default;

    // Null when the path cannot be opened or is not a regular file.
    virtual std::unique_ptr<FileHandle> Open(const std::string& path, OpenMode mode, bool sequential = false) = 0;
    virtual bool Exists(const std::string& path) = 0;
    virtual bool IsDirectory(const std::string& path) = 0;
    // Replaces an existing target.
    virtual bool Rename(const std::string& from, const std::string& to) = 0;
    // Refuses an existing target.
    virtual bool RenameNoReplace(const std::string& from, const std::string& to) = 0;
    virtual bool Remove(const std::string& path) = 0;
    // Creates one directory; true when it exists afterwards.
    virtual bool MakeDirectory(const std::string& dir) = 0;
    // Makes the names in a directory (creations, renames, removals) durable.
    virtual bool SyncDirectory(const std::string& dir) = 0;
    // Gives the owner write permission on an existing regular file.
    virtual void MakeWritable(const std::string& path) = 0;
};

// The operating system's file system.
FileSystem& RealFileSystem();

// --- whole-file helpers on any file system ---------------------------------

// Creates `dir` and its parents; true when it exists afterwards.
bool CreateDirectoriesOn(FileSystem& fs, const std::string& dir);
// Reads a whole file; nullopt when it cannot be read or is larger than `limit`.
std::optional<std::string> ReadWholeFileOn(FileSystem& fs, const std::string& path, int64_t limit);
// Replaces `path` so that a crash at any moment leaves the old or the new
// content: a temporary file beside it is written, made durable, renamed over
// it, and the directory is made durable.
bool WriteFileDurably(FileSystem& fs, const std::string& path, std::string_view bytes);
// Removes a file and makes the removal durable.
bool RemoveDurably(FileSystem& fs, const std::string& path);

}  // namespace zl
