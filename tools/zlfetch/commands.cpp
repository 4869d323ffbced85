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
        {"get", "TORRENT|LINKTEXT --dir DIR [--source URL...] [--peer HOST:PORT...]",
         "download a torrent's files from HTTP/FTP sources and BitTorrent peers into DIR; progress is kept in "
         "DIR/<torrent name>.zlinfo, so running the same command again resumes (exit 0: complete and verified, 3: not). "
         "A task link text ('$Hash$...$Size$...$Length$...$Tracker$...$End$', quoted whole) may stand in for the "
         "torrent: its one file is DIR/001.zlinfo (or --out) and its pieces are NOT verified",
         {{"dir", true, false, "DIR    the download folder (created if missing)"},
          {"out", true, false, "FILE   the file to write, for a single-file torrent or a link text"},
          {"source", true, true, "URL    an HTTP or FTP source of the file (repeatable)"},
          {"tracker", true, true, "URL    a tracker to announce to, besides the torrent's (repeatable)"},
          {"no-trackers", false, false, "       do not announce to the torrent's own trackers"},
          {"peer", true, true, "HOST:PORT  a known BitTorrent peer (repeatable)"},
          {"bind", true, false, "ADDR   local address for connections, the listener and LAN discovery"},
          {"port", true, false, "N      listen port for incoming peers (0 or none: a free port)"},
          {"limit", true, false, "KIB    download speed limit in KiB/s, up to 32766 (0: none)"},
          {"upload-limit", true, false, "KIB    upload speed limit in KiB/s, up to 32766 (0: none)"},
          {"seed-after", true, false, "SECONDS  keep serving peers this long after completion (default 0)"},
          {"http-wrap", false, false, "       open peer connections with the HTTP-looking preamble"},
          {"no-flush", false, false, "       save progress without flushing the data first (measurements only: not safe "
                                     "against power cuts)"},
          {"no-hash-thread", false, false, "       check piece hashes on the receiving thread, not a worker of their own "
                                           "(measurements only)"},
          {"dht", false, false, "       find peers (and announce this one) in the DHT (node cache in DIR)"},
          {"dht-node", true, true, "HOST:PORT  a DHT node to join through (repeatable; implies --dht)"},
          {"rendezvous", true, false, "HOST:PORT  register with this rendezvous server and reach peers behind NAT "
                                      "over the UDP stream (off without it)"},
          {"json", false, false, "       print one JSON object per second and a final one"}}, RunGet},
        {"seed", "TORRENT --dir DIR",
         "serve the torrent's data in DIR to BitTorrent peers until Ctrl-C (SIGINT) or SIGTERM: the files are "
         "checked first, a partial copy serves its verified pieces; nothing in DIR is written (exit 2: bad input)",
         {{"dir", true, false, "DIR    the folder holding the torrent's data"},
          {"bind", true, false, "ADDR   local address to listen and announce on (also runs LAN discovery there)"},
          {"port", true, false, "N      listen port (0 or none: a free port)"},
          {"tracker", true, true, "URL    a tracker to announce to, besides the torrent's (repeatable)"},
          {"no-trackers", false, false, "       do not announce to the torrent's own trackers"},
          {"upload-limit", true, false, "KIB    upload speed limit in KiB/s, up to 32766 (0: none)"},
          {"rendezvous", true, false, "HOST:PORT  register with this rendezvous server and take peers behind NAT "
                                      "over the UDP stream (off without it)"},
          {"dht", false, false, "       join the DHT and announce this seed there (node cache: "
                                "$XDG_DATA_HOME/ZPHR/Zephyrloader, by default under ~/.local/share)"},
          {"dht-node", true, true, "HOST:PORT  a DHT node to join through (repeatable; implies --dht)"},
          {"json", false, false, "       print one JSON object per second and a final one"}}, RunSeed},
    };
    return commands;
}

}  // namespace zlfetch
