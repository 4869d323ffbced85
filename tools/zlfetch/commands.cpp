#include "tools/zlfetch/commands.h"

namespace zlfetch {

const std::vector<Command>& Commands() {
    static const std::vector<Command> commands = {
        {"version", "", "print the version of zlfetch and its engine", {}, RunVersion},
    };
    return commands;
}

}  // namespace zlfetch
