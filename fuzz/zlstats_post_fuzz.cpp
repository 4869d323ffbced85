// The statistics service's validation of a client's form post: any bytes
// are refused or accepted without a crash, and an accepted post's texts are
// UTF-8 with at most 1000 events.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "tools/zlstats/post_parser.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view body(reinterpret_cast<const char*>(data), size);
    const auto parsed = zl::stats::ParsePost(body);
    if (const auto* batch = std::get_if<zl::stats::StatBatch>(&parsed)) {
        if (batch->empty() || batch->size() > zl::stats::kMaxPostEvents) std::abort();
        for (const auto& e : *batch)
            if (!zl::stats::ValidUtf8(e.info) || !zl::stats::ValidUtf8(e.error_msg) || e.code.size() != 8) std::abort();
    }
    return 0;
}
