// Disk queries of the interface. Their bodies belong to the file storage
// layer; until it provides them they report "unknown".
#include "engine/core/engine_api.h"

namespace zl {

uint64_t EngineGetDiskFreeSpace(const char*) { return 0; }

int64_t EngineGetFileDiskSize(const char*) { return -1; }

}  // namespace zl
