// One open handle on a target file: positioned reads and writes with 64-bit
// offsets, sizing (pre-allocation, or a sparse extension) and the steps that
// make written bytes durable. Opened on a FileSystem (the real one, or a
// test's).
#pragma once
#include <sys/uio.h>

#include <cstdint>
#include <memory>
#include <string>

#include "engine/meta/file_system.h"

namespace zl {

class TargetFile {
public:
    TargetFile() = default;
    TargetFile(const TargetFile&) = delete;
    TargetFile& operator=(const TargetFile&) = delete;
    ~TargetFile() { Close(); }

    enum class Mode { ReadOnly, ReadWrite, Create };
    // ReadOnly opens an existing file; ReadWrite opens or creates; Create truncates.
    bool Open(FileSystem& fs, const std::string& path, Mode mode, bool sequential_hint = false);
    bool IsOpen() const { return handle_ != nullptr; }
    bool ReadOnly() const { return read_only_; }
    void Close();

    // Size in bytes, -1 on failure.
    int64_t Size() const;
    // Reads/writes exactly up to `length` bytes at `offset`; returns the count done
    // (short only at end of file or on an error after some bytes), -1 on bad arguments or failure.
    int64_t ReadAt(void* buffer, int64_t length, int64_t offset) const;
    int64_t WriteAt(const void* bytes, int64_t length, int64_t offset);
    // One write gathered from several buffers.
    int64_t WriteVAt(const struct iovec* parts, int count, int64_t offset);
    // Sets the file's end to `size`. With `allocate` the new range is reserved on
    // disk (fallocate, falling back to a sparse extension where unsupported).
    bool Resize(int64_t size, bool allocate);
    // Modification time as 100 ns units since 1601-01-01 UTC; false when unknown.
    bool WriteTime(uint64_t* filetime) const;
    // Starts the write-back of a range without waiting for it.
    void StartWriteback(int64_t offset, int64_t length);
    // Makes what was written durable; true when nothing was open.
    bool SyncData();

private:
    std::unique_ptr<FileHandle> handle_;
    // The size as this handle left it: the file is the task's own, so every
    // write need not ask the system again (-1: ask).
    mutable int64_t size_ = -1;
    bool read_only_ = false;
};

}  // namespace zl
