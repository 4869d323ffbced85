// zlfetch seed TORRENT --dir DIR: serves the torrent's data held in DIR to
// other BitTorrent clients until SIGINT or SIGTERM. The files are checked
// first (with a progress line); a partial copy serves its verified pieces and
// says so. The seed announces to the trackers, answers LAN discovery (with
// --bind) and accepts peers on its listening port; with --dht it also joins the
// DHT and announces itself there. Nothing in DIR is written.
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "engine/core/api/engine_api.h"
#include "engine/core/api/engine_api_listen.h"
#include "engine/core/api/engine_api_peers.h"
#include "engine/core/task/task_status.h"
#include "engine/core/sched/transfer_pace.h"
#include "engine/meta/atomic_file.h"
#include "engine/meta/block_info.h"
#include "engine/meta/file_entry.h"
#include "engine/meta/storage_layout_info.h"
#include "engine/meta/torrent.h"
#include "tools/zlfetch/commands.h"
#include "tools/zlfetch/dht_cache_folder.h"
#include "tools/zlfetch/get_sources.h"
#include "tools/zlfetch/listen_port.h"
#include "tools/zlfetch/rendezvous_option.h"
#include "tools/zlfetch/text_format.h"

namespace zlfetch {
namespace {

std::atomic<bool> g_stop{false};

void OnStop(int) { g_stop.store(true); }

int Fail(const std::string& message) {
    std::fprintf(stderr, "zlfetch seed: %s\n", message.c_str());
    return kExitError;
}

std::string AbsolutePath(const std::string& path) {
    char buffer[PATH_MAX];
    if (::realpath(path.c_str(), buffer)) return buffer;
    return path;
}

bool IsDirectory(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// Verified pieces and their bytes, from the task's bitfield.
struct Held {
    int32_t pieces = 0;
    int64_t bytes = 0;
};

Held HeldPieces(zl::TaskHandle task, const zl::BlockInfo& geometry) {
    Held held;
    const int32_t size = zl::TaskGetBitfieldSize(task);
    if (size <= 0) return held;
    std::vector<uint8_t> bits(static_cast<size_t>(size));
    if (zl::TaskGetBitfield(task, bits.data(), size) <= 0) return held;
    for (int32_t i = 0; i < geometry.piece_count() && i / 8 < size; ++i) {
        if (!(bits[static_cast<size_t>(i / 8)] & (0x80 >> (i % 8)))) continue;
        ++held.pieces;
        held.bytes += geometry.PieceSize(i);
    }
    return held;
}

// The upload speed over the last few seconds, from the uploaded byte count.
class RecentRate {
public:
    void Note(double t, uint64_t bytes) {
        samples_.push_back({t, bytes});
        while (samples_.size() > 2 && t - samples_.front().first > 3.0) samples_.pop_front();
    }
    double BytesPerSecond() const {
        if (samples_.size() < 2) return 0;
        const double dt = samples_.back().first - samples_.front().first;
        return dt > 0 ? double(samples_.back().second - samples_.front().second) / dt : 0;
    }

private:
    std::deque<std::pair<double, uint64_t>> samples_;
};

struct Live {
    int32_t peers = 0;
    double speed = 0;
    uint64_t uploaded = 0;
    double ratio = 0;
};

void PrintJson(const char* state, const Held& held, int32_t piece_count, int64_t total, const std::string& listen,
               const Live& live, double elapsed, bool final_line) {
    Json::Value o(Json::objectValue);
    o["state"] = state;
    o["pieces_have"] = held.pieces;
    o["pieces_total"] = piece_count;
    o["bytes_have"] = Json::Int64(held.bytes);
    o["bytes_total"] = Json::Int64(total);
    o["partial"] = held.pieces < piece_count;
    o["listen"] = ValidUtf8(listen);
    o["peers"] = live.peers;
    o["upload_speed_bps"] = Json::Int64(std::llround(live.speed));
    o["uploaded_bytes"] = Json::UInt64(live.uploaded);
    o["ratio"] = Rounded(live.ratio, 3);
    o["elapsed_s"] = Rounded(elapsed, 3);
    o["final"] = final_line;
    std::fputs((JsonText(o) + "\n").c_str(), stdout);
    std::fflush(stdout);
}

// "a.b.c.d : port" as the engine shows it, written "a.b.c.d:port".
std::string Endpoint(const char* text) {
    std::string s = text;
    const size_t sep = s.find(" : ");
    if (sep != std::string::npos) s.replace(sep, 3, ":");
    return s;
}

}  // namespace

int RunSeed(const ParsedArgs& args) {
    const auto dir = args.Value("dir");
    if (args.positional.size() != 1 || !dir || dir->empty()) {
        std::fprintf(stderr, "zlfetch seed: expected TORRENT and --dir DIR\n");
        return kExitError;
    }
    const std::string& torrent = args.positional[0];
    std::string why;
    // Every value is checked before anything starts.
    const std::vector<std::string> trackers = args.Values("tracker");
    for (const std::string& url : trackers)
        if (!CheckTracker(url, &why)) return Fail("--tracker '" + url + "': " + why);
    std::vector<std::string> dht_nodes;
    for (const std::string& text : args.Values("dht-node")) {
        std::string source;
        if (!ParseDhtNode(text, &source, &why)) return Fail("--dht-node '" + text + "': " + why);
        dht_nodes.push_back(source);
    }
    const bool dht = args.Has("dht") || !dht_nodes.empty();
    uint32_t bind_address = 0;
    if (const auto bind = args.Value("bind"); bind && !ParseAddress(*bind, &bind_address, &why))
        return Fail("--bind '" + *bind + "': " + why);
    std::string rendezvous_host;
    int32_t rendezvous_port = 0;
    if (const auto r = args.Value("rendezvous"); r && !ParseRendezvous(*r, &rendezvous_host, &rendezvous_port, &why))
        return Fail("--rendezvous '" + *r + "': " + why);
    long port = 0, upload_limit = 0;
    for (const auto& [name, maximum, value] :
         {std::tuple<const char*, long, long*>{"port", 65535, &port},
          // Above the engine's largest limit a value would read as "no limit".
          {"upload-limit", zl::kMaxSpeedLimitKib, &upload_limit}}) {
        const auto text = args.Value(name);
        if (!text) continue;
        char* end = nullptr;
        const long v = std::strtol(text->c_str(), &end, 10);
        if (text->empty() || *end != '\0' || v < 0 || v > maximum)
            return Fail(std::string("--") + name + " wants a number from 0 to " + std::to_string(maximum) + ", not '" +
                        *text + "'");
        *value = v;
    }
    const std::optional<std::string> bytes = zl::ReadWholeFile(torrent, int64_t(64) << 20);
    if (!bytes) return Fail("cannot read the torrent " + torrent);
    std::string error;
    const std::optional<zl::StorageLayout> layout = zl::LayoutFromTorrent(*bytes, &error);
    if (!layout) return Fail(torrent + " is not a usable torrent: " + error);
    if (!IsDirectory(*dir)) return Fail("no folder " + *dir + " (the folder holding the torrent's data)");
    if (port != 0 && !ListenPortFree(bind_address, static_cast<int>(port), &why))
        return Fail("cannot listen on port " + std::to_string(port) + ": " + why);
    if (port == 0) port = PickFreeListenPort(bind_address);
    if (port == 0) return Fail("no free port to listen on");

    const bool torrent_trackers = !args.Has("no-trackers");
    std::string source_list;
    for (const auto& url : trackers) source_list += "tracker://" + url + "\n";
    for (const auto& node : dht_nodes) source_list += node + "\n";
    zl::TaskDescriptor descriptor;
    descriptor.flags = zl::kTaskFlagP2sp;
    descriptor.source_list = source_list.c_str();
    const std::string location = "file://" + AbsolutePath(torrent);
    const std::string save_dir = AbsolutePath(*dir);
    if (location.size() >= sizeof descriptor.metainfo_location || save_dir.size() >= sizeof descriptor.target)
        return Fail("path too long: " + save_dir);
    std::memcpy(descriptor.metainfo_location, location.c_str(), location.size() + 1);
    std::memcpy(descriptor.target, save_dir.c_str(), save_dir.size() + 1);
    // No resume file: the data is checked at every start and nothing is written into DIR.
    // The engine's data folder holds only the DHT's node cache, kept in the user's
    // data folder; without it the node runs with a fresh id and keeps nothing.
    std::string engine_dir = save_dir;
    int cache_lock = -1;  // held until the process ends
    if (dht) {
        engine_dir = SeedDhtCacheFolder(&why, &cache_lock);
        if (engine_dir.empty())
            std::fprintf(stderr, "zlfetch seed: the DHT node cache is not kept: %s\n", why.c_str());
    }

    struct sigaction action {};
    action.sa_handler = OnStop;
    sigemptyset(&action.sa_mask);
    ::sigaction(SIGINT, &action, nullptr);
    ::sigaction(SIGTERM, &action, nullptr);

    zl::EngineSetP2PSwitch(1);
    zl::EngineSetHttpWrap(0);  // standard clients connect in without the preamble (it is answered when sent)
    zl::EngineSetListenPort(static_cast<int32_t>(port));
    zl::EngineSetBindAddress(bind_address);
    zl::EngineSetTorrentTrackers(torrent_trackers ? 1 : 0);
    zl::EngineSetLanDiscovery(bind_address != 0 ? 1 : 0);
    // Peers behind NAT reach the seed over the UDP stream, on the listening port.
    UseRendezvous(rendezvous_host, rendezvous_port, static_cast<int32_t>(port));
    zl::EngineSetDhtSwitch(dht ? 1 : 0);
    if (zl::EngineStartup(engine_dir.c_str()) != zl::ENGINE_OK) {
        std::fprintf(stderr, "zlfetch seed: the engine did not start\n");
        return kExitFailed;
    }
    const auto cleanup = [] { zl::EngineCleanup(); };
    if (zl::TaskCreate(&descriptor) != zl::ENGINE_OK || !descriptor.handle) {
        std::fprintf(stderr, "zlfetch seed: the task could not be created\n");
        cleanup();
        return kExitFailed;
    }
    const zl::TaskHandle task = descriptor.handle;
    zl::TaskSetServeOnly(task, 1);
    if (upload_limit > 0) zl::TaskSetSpeedLimit(task, 0, static_cast<int32_t>(upload_limit));
    zl::TaskStart(task);

    const bool json = args.Has("json");
    const bool tty = !json && ::isatty(STDERR_FILENO);
    int64_t total = 0;
    for (const auto& file : layout->files) total += file.size;
    const zl::BlockInfo geometry(total, layout->piece_length);
    const auto started = std::chrono::steady_clock::now();
    const auto elapsed = [&] { return std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count(); };

    // The check: the task reads every file once and verifies each piece.
    zl::TaskServeInfo info;
    double last_shown = -1;
    Held held;
    Live live;
    for (;;) {
        if (g_stop.load()) break;
        zl::TaskServeInfo now;
        zl::TaskGetServeInfo(task, &now);
        info = now;
        zl::TaskProgressInfo progress{};
        zl::TaskGetProgress(task, &progress);
        if (progress.status == zl::STATUS_METAINFO_FAILED || progress.status == zl::STATUS_WRITE_FAILED) {
            std::fprintf(stderr, "%szlfetch seed: the files of %s in %s cannot be read\n", tty ? "\n" : "",
                         torrent.c_str(), save_dir.c_str());
            cleanup();
            return kExitError;
        }
        if (info.state == zl::kTaskStateRunning && info.piece_count > 0) break;
        const double t = elapsed();
        if (t - last_shown >= (json ? 1.0 : 0.2)) {
            last_shown = t;
            const double pct = info.total > 0 ? 100.0 * double(info.checked) / double(info.total) : 0;
            if (json) {
                Json::Value o(Json::objectValue);
                o["state"] = "checking";
                o["checked_bytes"] = Json::UInt64(info.checked);
                o["bytes_total"] = Json::Int64(total);
                o["percent"] = Rounded(pct, 1);
                std::fputs((JsonText(o) + "\n").c_str(), stdout);
                std::fflush(stdout);
            } else if (tty) {
                std::fprintf(stderr, "\rchecking %s: %5.1f%%  %s / %s\033[K", layout->name.c_str(), pct,
                             HumanBytes(double(info.checked)).c_str(), HumanBytes(double(total)).c_str());
            }
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    if (g_stop.load()) {
        if (tty) std::fprintf(stderr, "\n");
        cleanup();
        return kExitOk;
    }
    held = HeldPieces(task, geometry);
    if (held.pieces == 0) {
        std::fprintf(stderr, "%szlfetch seed: %s holds no verified piece of %s: nothing to serve\n", tty ? "\n" : "",
                     save_dir.c_str(), layout->name.c_str());
        cleanup();
        return kExitError;
    }
    // The listener opens at the task's first network step.
    std::string listen;
    for (int i = 0; i < 60 && !g_stop.load(); ++i) {
        zl::TaskGetServeInfo(task, &info);
        listen = Endpoint(info.listen_address);
        if (!listen.empty() && listen.find(':') != std::string::npos) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    if (listen.empty() || listen.find(':') == std::string::npos) {
        std::fprintf(stderr, "%szlfetch seed: cannot listen on port %ld: in use\n", tty ? "\n" : "", port);
        cleanup();
        return kExitError;
    }
    const bool partial = held.pieces < geometry.piece_count();
    if (json) {
        PrintJson("seeding", held, geometry.piece_count(), total, listen, live, elapsed(), false);
    } else {
        if (tty) std::fprintf(stderr, "\r\033[K");
        if (partial)
            std::printf("partial seed: serving %d of %d pieces (%s of %s) of %s; the other pieces are missing or "
                        "damaged\n",
                        held.pieces, geometry.piece_count(), HumanBytes(double(held.bytes)).c_str(),
                        HumanBytes(double(total)).c_str(), layout->name.c_str());
        else
            std::printf("seeding %s: all %d pieces (%s)\n", layout->name.c_str(), geometry.piece_count(),
                        HumanBytes(double(total)).c_str());
        std::printf("listening on %s; stop with Ctrl-C\n", listen.c_str());
        if (dht)
            std::printf("announcing in the DHT%s\n",
                        engine_dir.empty() ? "" : (" (node cache in " + engine_dir + ")").c_str());
        std::fflush(stdout);
    }

    RecentRate rate;
    auto next_report = std::chrono::steady_clock::now();
    while (!g_stop.load()) {
        const auto now = std::chrono::steady_clock::now();
        if (now >= next_report) {
            next_report = now + std::chrono::seconds(1);
            zl::TaskPeerInfo peers{};
            zl::TaskGetPeerInfo(task, &peers);
            rate.Note(elapsed(), peers.uploaded);
            live.peers = peers.peers;
            live.uploaded = peers.uploaded;
            live.speed = rate.BytesPerSecond();
            live.ratio = held.bytes > 0 ? double(peers.uploaded) / double(held.bytes) : 0;
            if (json) {
                PrintJson("seeding", held, geometry.piece_count(), total, listen, live, elapsed(), false);
            } else if (tty) {
                std::fprintf(stderr, "\rpeers %d  up %s/s  uploaded %s  ratio %.2f%s\033[K", live.peers,
                             HumanBytes(live.speed).c_str(), HumanBytes(double(live.uploaded)).c_str(), live.ratio,
                             partial ? "  (partial)" : "");
            }
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    zl::TaskPeerInfo peers{};
    zl::TaskGetPeerInfo(task, &peers);
    live.uploaded = peers.uploaded;
    live.peers = peers.peers;
    live.ratio = held.bytes > 0 ? double(peers.uploaded) / double(held.bytes) : 0;
    zl::TaskStop(task, 0);
    cleanup();
    if (tty) std::fprintf(stderr, "\n");
    if (json) {
        PrintJson("stopped", held, geometry.piece_count(), total, listen, live, elapsed(), true);
    } else {
        std::printf("stopped: uploaded %s in %.0f s (ratio %.2f)\n", HumanBytes(double(live.uploaded)).c_str(),
                    elapsed(), live.ratio);
    }
    return kExitOk;
}

}  // namespace zlfetch
