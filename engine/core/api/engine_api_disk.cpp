// Disk queries of the interface, answered by the storage layer. Neither takes
// the interface lock: the application may ask while a task call is waiting.
#include "engine/core/api/engine_api.h"
#include "engine/meta/disk_space.h"

namespace zl {

// Bytes free to the caller on the volume holding `path`; 0 when unknown.
uint64_t EngineGetDiskFreeSpace(const char* path) {
    if (!path || !*path) return 0;
    return DiskFreeSpaceOf(path);
}

// Bytes the target file (or its ".zltmp" companion) occupies: 0 when neither
// exists, -1 when the path cannot be opened, -2 when the size query fails.
int64_t EngineGetFileDiskSize(const char* path) {
    if (!path || !*path) return -1;
    return FileDiskSizeOf(path);
}

}  // namespace zl
