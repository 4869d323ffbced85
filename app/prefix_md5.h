// A running MD5 over the verified prefix of one package file. While the file
// downloads, the bytes of the pieces the engine has verified, from the start
// of the file up to the first missing piece, are read back (from the page
// cache, as a rule) and hashed, so that verifying the finished file only has
// the tail left to read. The state is saved with the progress and trusted
// after a restart only when the file is provably the one it was computed on
// (same inode, size and modification time as when it was saved).
#pragma once
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "engine/meta/md5.h"

namespace zl::app {

struct FileIdentity {
    uint64_t inode = 0;
    uint64_t size = 0;
    uint64_t mtime_ns = 0;
    bool operator==(const FileIdentity&) const = default;
};

// The identity of `target`, or of target + ".zltmp" while it downloads.
std::optional<FileIdentity> IdentityOf(const std::string& target);

class PrefixMd5 {
public:
    PrefixMd5() { Reset(); }
    void Reset();
    uint64_t Offset() const { return offset_; }

    // Hashes the file's bytes from Offset() up to `upto`, reading `target`
    // (or target + ".zltmp"). A different file than before (another inode)
    // starts over from 0. `progress(offset)` is called after each block.
    // False when reading failed or `stop` was raised (what was hashed stays).
    bool Advance(const std::string& target, uint64_t upto, const std::function<bool()>& stop,
                 const std::function<void(uint64_t)>& progress = {});
    // The digest of the bytes hashed so far, as 32 lower-case hex digits.
    std::string DigestHex() const;

    // A fixed-size record of the state and the file it belongs to.
    std::string Serialize(const FileIdentity& file) const;
    // Restores a record made for exactly `current`; otherwise leaves the state reset.
    bool Deserialize(std::string_view record, const FileIdentity& current);

private:
    uint64_t offset_ = 0;
    uint64_t inode_ = 0;
    MD5Context ctx_{};
};

}  // namespace zl::app
