// The resume-info file of a task (".zlinfo"): one bencoded dictionary with up
// to four byte strings, "bits", "part", "seeds" and "torrent". The encoding is
// supplied by a ResumeInfoCodec so the task does not depend on the bencode
// library; without a codec nothing is read or written.
#pragma once
#include <array>
#include <string>
#include <string_view>

#include "engine/meta/file_system.h"

namespace zl {

struct ResumeBlobs {
    enum Key { kBits, kPart, kSeeds, kTorrent, kCount };
    static constexpr std::array<const char*, kCount> kNames = {"bits", "part", "seeds", "torrent"};

    std::array<std::string, kCount> value;
    std::array<bool, kCount> dirty{};

    void Set(Key key, std::string bytes) {
        value[key] = std::move(bytes);
        dirty[key] = true;
    }
    bool AnyDirty() const;
    void ClearDirty() { dirty.fill(false); }
};

class ResumeInfoCodec {
public:
    virtual ~ResumeInfoCodec() = default;
    // Fills `out` with the values found in `file_bytes` (keys absent stay empty);
    // false when the bytes are not a dictionary.
    virtual bool Decode(std::string_view file_bytes, std::array<std::string, ResumeBlobs::kCount>& out) = 0;
    // A dictionary with the non-empty values, keys in sorted order.
    virtual std::string Encode(const std::array<std::string, ResumeBlobs::kCount>& values) = 0;
};

// Applies a resume-info file: values longer than 2 bytes replace the blobs;
// afterwards no blob is dirty. An unreadable or empty file changes nothing.
void LoadResumeInfo(const std::string& path, ResumeInfoCodec* codec, ResumeBlobs& blobs,
                    FileSystem& fs = RealFileSystem());

// Writes the blobs when one is dirty, through a temporary file that is flushed
// and renamed over the old one (the folder flushed after); clears the dirty
// flags only on success. True when the file is up to date afterwards.
bool SaveResumeInfo(const std::string& path, ResumeInfoCodec* codec, ResumeBlobs& blobs,
                    FileSystem& fs = RealFileSystem());

// Whole-file helpers shared by the task.
bool ReadFileBytes(const std::string& path, std::string& out);
bool WriteFileReplacing(const std::string& path, std::string_view bytes);

}  // namespace zl
