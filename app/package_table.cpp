#include "app/package_table.h"

namespace zl::app {

uint64_t PackageTable::PackageBytes() const {
    uint64_t sum = 0;
    for (const PackageFile& f : files) sum += f.size;
    return sum;
}

uint64_t PackageTable::SpaceNeeded() const {
    const uint64_t bytes = PackageBytes();
    return bytes == 0 ? 0 : bytes + kSpaceReserve;
}

}  // namespace zl::app
