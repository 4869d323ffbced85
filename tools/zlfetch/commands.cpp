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
        {"get", "TORRENT --dir DIR --source URL...",
         "download a torrent's files from HTTP/FTP sources into DIR; progress is kept in DIR/<torrent name>.zlinfo, "
         "so running the same command again resumes (exit 0: complete and verified, 3: not)",
         {{"dir", true, false, "DIR    the download folder (created if missing)"},
          {"source", true, true, "URL    a source of the file (repeatable)"},
          {"limit", true, false, "KIB    download speed limit in KiB/s (0: none)"},
          {"json", false, false, "       print one JSON object per second and a final one"}}, RunGet},
    };
    return commands;
}

}  // namespace zlfetch
