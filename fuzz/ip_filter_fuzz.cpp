// Feeds arbitrary bytes to the IP filter's file loader and checks that every
// stored range is well formed and disjoint from the next.
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "engine/core/peers/ip_filter.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    std::FILE* f = fmemopen(const_cast<uint8_t*>(data), size, "rb");
    if (!f) return 0;
    zl::CIPFilter filter;
    filter.LoadFromStream(f);
    std::fclose(f);
    bool first = true;
    uint32_t previous_end = 0;
    for (const auto& [end, start] : filter.Ranges()) {
        if (start > end) std::abort();
        if (!first && start <= previous_end) std::abort();
        if (!filter.IsBlocked(__builtin_bswap32(start)) || !filter.IsBlocked(__builtin_bswap32(end))) std::abort();
        previous_end = end;
        first = false;
    }
    return 0;
}
