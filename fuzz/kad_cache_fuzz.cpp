// Node cache texts: whatever loads stays within the table's bounds, and the
// table's own text of it loads again.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "engine/udp/kad_routing_table.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace zl;
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    KadRoutingTable table(KadId(7, 7, 7, 7, 7), 1000);
    const std::string before = table.Serialise();
    if (!table.Load(text, 1000)) {
        if (table.Serialise() != before) std::abort();  // a refused text changes nothing
        return 0;
    }
    if (table.Count() > KadRoutingTable::kBucketSize * KadRoutingTable::kMaxBuckets) std::abort();
    if (table.Ranges().size() > KadRoutingTable::kMaxBuckets) std::abort();
    const std::string saved = table.Serialise();
    KadRoutingTable again(KadId(), 1000);
    if (!again.Load(saved, 1000) || again.OwnId() != table.OwnId() || again.Count() > table.Count()) std::abort();
    return 0;
}
