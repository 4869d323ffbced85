// The server configuration document (mirror walk and expiry notice).
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "app/server_config.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const zl::app::PackageTable table = [] {
        zl::app::PackageTable t;
        const char* names[] = {"Talvora300.exe", "Data300.zip", "Data30001.cab", "Data30002.cab"};
        for (int i = 0; i < 4; ++i) t.files[size_t(i)].name = names[i];
        return t;
    }();
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const zl::app::ServerConfig config = zl::app::WalkServerConfig(text, table, [](int i) { return i == 3; });
    for (const auto& list : config.sources)
        for (const auto& source : list)
            if (source.url.find_first_of("\r\n") != std::string::npos) __builtin_trap();
    zl::app::ReadExpiry(text);
    return 0;
}
