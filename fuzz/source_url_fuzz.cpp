// Feeds arbitrary texts to the source URL parser. Names never reach the
// network: the resolver's back end answers from the name's first byte.
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>

#include "engine/base/errnum.h"
#include "engine/net/resolver.h"
#include "engine/net/source_url.h"

namespace {

class OfflineBackend final : public zl::IResolverBackend {
public:
    int32_t Lookup(const std::string& name, std::vector<uint32_t>* out) override {
        if (name.empty() || (name[0] & 1)) return zl::err::kHostNotFound;
        out->push_back(0x0100007Fu + (static_cast<uint32_t>(name.size()) << 24));
        out->push_back(0x0200007Fu);
        return zl::err::kNone;
    }
};

zl::TResolver& Resolver() {
    static zl::TResolver* resolver = [] {
        auto* r = new zl::TResolver(std::make_shared<OfflineBackend>());
        r->SetResolvConfPath("/nonexistent");
        return r;
    }();
    return *resolver;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    auto* id = new zl::TPeerId(std::string(reinterpret_cast<const char*>(data), size));
    const bool ok = zl::ParseSourceUrl(*id, Resolver());
    if (ok) {
        if (!zl::IsValidPort(id->port)) std::abort();
        if (id->kind != zl::kKindNode && id->kind != zl::kKindHttp && id->kind != zl::kKindFtp &&
            id->kind != zl::kKindTracker)
            std::abort();
        const zl::TSourceAddress& src = id->Source();
        if (src.host.empty()) std::abort();
        if (id->kind == zl::kKindHttp && src.http_path.empty()) std::abort();
        if ((id->kind == zl::kKindFtp || id->kind == zl::kKindTracker) && (src.path.empty() || src.path[0] != '/'))
            std::abort();
        ParseSourceUrl(*id, Resolver());  // a second parse of the same identity
    }
    id->Release();
    Resolver().ClearNegativeCache();
    return 0;
}
