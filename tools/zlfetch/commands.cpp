#include "tools/zlfetch/commands.h"

namespace zlfetch {

const std::vector<Command>& Commands() {
    static const std::vector<Command> commands = {
        {"version", "", "print the version of zlfetch and its engine", {}, RunVersion},
        {"info", "TORRENT", "show a torrent's name, info hash, pieces, files and trackers",
         {{"json", false, false, "       print JSON instead of text"}}, RunInfo},
    };
    return commands;
}

}  // namespace zlfetch
