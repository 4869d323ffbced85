#include <cstdio>

#include "engine/base/version.h"
#include "tools/zlfetch/commands.h"

namespace zlfetch {

int RunVersion(const ParsedArgs& args) {
    if (!args.positional.empty()) {
        std::fprintf(stderr, "zlfetch: version takes no arguments\n");
        return kExitError;
    }
    std::printf("zlfetch %s (Zephyrloader engine)\n", ZL_VERSION_STRING);
    return kExitOk;
}

}  // namespace zlfetch
