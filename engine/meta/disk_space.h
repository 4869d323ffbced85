// Disk queries: free space of the volume holding a folder, and the space a
// target file already occupies. The probe is an interface so tests can make a
// disk "fill up" and free again without a real full volume.
#pragma once
#include <cstdint>
#include <optional>
#include <string>

namespace zl {

class DiskSpaceProbe {
public:
    virtual ~DiskSpaceProbe() = default;
    // Bytes free to the caller on the volume holding `directory`; nullopt when the query fails.
    virtual std::optional<uint64_t> FreeBytes(const std::string& directory) = 0;
};

// statvfs(2): f_bavail * f_frsize.
class StatvfsDiskSpaceProbe final : public DiskSpaceProbe {
public:
    std::optional<uint64_t> FreeBytes(const std::string& directory) override;
};
DiskSpaceProbe& DefaultDiskSpaceProbe();

// Bodies of the engine interface's disk queries.
// Free bytes of the volume holding `path` (a file or folder; the nearest existing
// parent folder is asked); 0 when the path is empty or the query fails.
uint64_t DiskFreeSpaceOf(const std::string& path);
// Bytes a target file occupies on disk (st_blocks * 512). When `path` does not
// exist, its ".zltmp" companion is asked. 0 when neither exists, -1 when the
// path cannot be opened for another reason, -2 when the size query fails.
int64_t FileDiskSizeOf(const std::string& path, const std::string& temp_suffix = ".zltmp");

}  // namespace zl
