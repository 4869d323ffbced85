// zlfetch: the engine's own command-line front end.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "tools/zlfetch/commands.h"

namespace {

void PrintHelp(FILE* out) {
    std::fprintf(out, "usage: zlfetch COMMAND [ARGS] [OPTIONS]\n\ncommands:\n");
    for (const auto& command : zlfetch::Commands()) {
        std::fprintf(out, "  %s %s\n      %s\n", command.name.c_str(), command.usage.c_str(), command.summary.c_str());
        for (const auto& option : command.options)
            std::fprintf(out, "      --%-10s %s\n", option.name.c_str(), option.help.c_str());
    }
    std::fprintf(out, "\n  --help     show this text\n  --version  print the version (as the version command does)\n");
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        PrintHelp(stderr);
        return zlfetch::kExitError;
    }
    const std::string name = argv[1];
    if (name == "--help" || name == "-h" || name == "help") {
        PrintHelp(stdout);
        return zlfetch::kExitOk;
    }
    if (name == "--version") return zlfetch::RunVersion({});
    for (const auto& command : zlfetch::Commands()) {
        if (command.name != name) continue;
        std::vector<std::string> rest(argv + 2, argv + argc);
        for (const auto& arg : rest) {
            if (arg == "--") break;
            if (arg == "--help" || arg == "-h") {
                PrintHelp(stdout);
                return zlfetch::kExitOk;
            }
            if (arg == "--version") return zlfetch::RunVersion({});
        }
        std::string error;
        auto parsed = zlfetch::ParseArgs(rest, command.options, &error);
        if (!parsed) {
            std::fprintf(stderr, "zlfetch %s: %s\n", name.c_str(), error.c_str());
            return zlfetch::kExitError;
        }
        return command.run(*parsed);
    }
    std::fprintf(stderr, "zlfetch: unknown command '%s' (try --help)\n", name.c_str());
    return zlfetch::kExitError;
}
