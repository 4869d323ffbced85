#include "tools/zlfetch/commands.h"

namespace zlfetch {

const std::vector<Command>& Commands() {
    static const std::vector<Command> commands = {
        {"version", "", "print the version of zlfetch and its engine", {}, RunVersion},
        {"info", "TORRENT", "show a torrent's name, info hash, pieces, files and trackers",
         {{"json", false, false, "       print JSON instead of text"}}, RunInfo},
        {"check", "TORRENT --dir DIR", "check which pieces of a torrent the files in DIR hold (exit 0: complete, 1: not)",
         {{"dir", true, false, "DIR    the download folder"},
          {"quick", false, false, "       trust files of the right size after sampling three pieces"},
          {"json", false, false, "       print JSON instead of text"}}, RunCheck},
    };
    return commands;
}

}  // namespace zlfetch
