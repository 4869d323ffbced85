// The zlfetch subcommands. Each lives in its own cmd_*.cpp and is listed in
// the table in commands.cpp.
#pragma once
#include <string>
#include <vector>

#include "tools/zlfetch/options.h"

namespace zlfetch {

// Exit statuses shared by the subcommands.
enum ExitStatus : int {
    kExitOk = 0,
    kExitIncomplete = 1,   // check: data missing
    kExitError = 2,        // bad arguments, unreadable input
    kExitFailed = 3,       // get/seed: the task ended without completing
};

struct Command {
    std::string name;
    std::string usage;     // arguments after the name
    std::string summary;
    std::vector<OptionSpec> options;
    int (*run)(const ParsedArgs& args);
};

const std::vector<Command>& Commands();

int RunVersion(const ParsedArgs& args);
int RunInfo(const ParsedArgs& args);
int RunCheck(const ParsedArgs& args);
int RunGet(const ParsedArgs& args);
int RunSeed(const ParsedArgs& args);

}  // namespace zlfetch
