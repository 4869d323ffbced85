// One target file of a task: where its bytes sit in the torrent's byte stream,
// where they are stored on disk now (a ".zltmp" name until the file is
// complete) and its open handle.
#pragma once
#include <cstdint>
#include <string>

#include "engine/meta/target_file.h"

namespace zl {

constexpr int kPriorityUnwanted = -3;

struct FileEntry {
    TargetFile file;
    int index = 0;
    int priority = 0;          // -3: unwanted; -2..2 taken over from resume data
    std::string path;          // where the data is written now (the temporary name while in use)
    std::string relative_name; // name inside the torrent, components joined with "/"
    std::string final_path;    // the final name while the temporary name is in use, else empty
    bool temp_name = false;
    bool padding = false;      // zeros never stored: no path, never opened
    int64_t size = 0;
    int64_t offset = 0;        // in the torrent's byte stream
    int32_t first_piece = 0;
    int32_t piece_span = 0;    // number of pieces overlapped

    bool Unwanted() const { return priority == kPriorityUnwanted; }
    int64_t End() const { return offset + size; }
};

// Replaces "?", carriage return and line feed by "_".
std::string SanitizeStoredPath(std::string path);

// True for a component that may be joined under the save folder: not empty,
// not "." or "..", no "/" or "\\" and no NUL inside.
bool IsSafeStorageComponent(const std::string& component);

// Takes the temporary-name decision for a new entry: with a non-empty suffix, a
// non-empty path and no final file on disk, the entry uses path + suffix when
// `always` is set or that temporary file already exists.
void ApplyTemporaryName(FileEntry& entry, const std::string& suffix, bool always);

bool PathExists(const std::string& path);

}  // namespace zl
