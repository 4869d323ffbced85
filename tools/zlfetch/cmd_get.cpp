// zlfetch get TORRENT --dir DIR --source URL...: downloads one P2SP task
// through the flat engine interface, the way the application drives it. The
// task's resume file is DIR/<torrent name>.zlinfo; when it exists the task is
// recovered and continues where it stopped.
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "engine/base/text.h"
#include "engine/core/api/engine_api.h"
#include "engine/core/api/engine_api_listen.h"
#include "engine/core/api/engine_api_peers.h"
#include "engine/core/api/engine_context.h"
#include "engine/core/sched/transfer_pace.h"
#include "engine/meta/torrent.h"
#include "engine/meta/atomic_file.h"
#include "engine/meta/block_info.h"
#include "engine/meta/file_entry.h"
#include "engine/meta/link_text.h"
#include "tools/zlfetch/commands.h"
#include "tools/zlfetch/get_sources.h"
#include "tools/zlfetch/rendezvous_option.h"
#include "tools/zlfetch/listen_port.h"
#include "tools/zlfetch/text_format.h"

namespace zlfetch {
namespace {

std::atomic<bool> g_stop_requested{false};

void OnStopSignal(int) { g_stop_requested.store(true); }

struct StatusName {
    int32_t code;
    const char* name;
};

constexpr StatusName kStatusNames[] = {
    {zl::STATUS_PAUSED, "paused"},
    {zl::STATUS_DOWNLOADING, "downloading"},
    {zl::STATUS_COMPLETE, "complete"},
    {zl::STATUS_NETWORK_ERROR, "network error"},
    {zl::STATUS_TIMED_OUT, "timed out"},
    {zl::STATUS_DISK_FULL, "disk full"},
    {zl::STATUS_METAINFO_FAILED, "metainfo failed"},
    {zl::STATUS_DOWNLOAD_ERROR, "download error"},
    {zl::STATUS_WRITE_FAILED, "write failed"},
    {zl::STATUS_HOST_UNRESOLVED, "host unresolved"},
};

std::string StatusText(int32_t code) {
    for (const auto& s : kStatusNames)
        if (s.code == code) return s.name;
    return "status " + std::to_string(code);
}

// Statuses after which the task makes no more progress by itself.
bool IsFailure(int32_t code) {
    return code == zl::STATUS_NETWORK_ERROR || code == zl::STATUS_TIMED_OUT || code == zl::STATUS_DISK_FULL ||
           code == zl::STATUS_METAINFO_FAILED || code == zl::STATUS_DOWNLOAD_ERROR ||
           code == zl::STATUS_WRITE_FAILED || code == zl::STATUS_HOST_UNRESOLVED;
}

bool CopyField(char (&field)[zl::kTaskTextSize], const std::string& text) {
    if (text.size() >= sizeof(field)) return false;
    std::memcpy(field, text.c_str(), text.size() + 1);
    return true;
}

std::string AbsolutePath(const std::string& path) {
    char buffer[PATH_MAX];
    if (::realpath(path.c_str(), buffer)) return buffer;
    return path;
}

// A path made absolute against the current folder, whether or not it exists yet.
std::string AbsoluteFilePath(const std::string& path) {
    if (!path.empty() && path[0] == '/') return path;
    char buffer[PATH_MAX];
    if (!::getcwd(buffer, sizeof buffer)) return path;
    return std::string(buffer) + "/" + path;
}

// What zlfetch get downloads: a torrent file, or a task link text.
struct GetTarget {
    bool link_text = false;
    bool single_file = true;
    int64_t total_size = 0;
    int64_t piece_length = 0;
    std::string resume_name;            // the resume file is named after it
    std::vector<std::string> trackers;  // the torrent's or the link text's own
};

// Reads the argument of zlfetch get; says why on standard error when it is
// neither a usable torrent nor a usable link text.
std::optional<GetTarget> ReadGetTarget(const std::string& argument) {
    GetTarget target;
    if (zl::LooksLikeLinkText(argument)) {
        std::string error;
        const std::optional<zl::LinkText> link = zl::ParseLinkText(argument, &error);
        if (!link) {
            std::fprintf(stderr, "zlfetch get: not a usable link text: %s\n", error.c_str());
            return std::nullopt;
        }
        target.link_text = true;
        target.total_size = link->size;
        target.piece_length = link->piece_length;
        target.resume_name = zl::HexEncode(link->info_hash);
        target.trackers.push_back(link->tracker);
        return target;
    }
    const std::optional<std::string> bytes = zl::ReadWholeFile(argument, int64_t(64) << 20);
    if (!bytes) {
        std::fprintf(stderr, "zlfetch get: cannot read %s\n", argument.c_str());
        return std::nullopt;
    }
    zl::RefPtr<zl::TTorrent> parsed = zl::RefPtr<zl::TTorrent>::Adopt(new zl::TTorrent());
    if (!parsed->LoadFromData(bytes->data(), int64_t(bytes->size()))) {
        std::fprintf(stderr, "zlfetch get: %s: %s\n", argument.c_str(), parsed->ErrorMessage().c_str());
        return std::nullopt;
    }
    const zl::TorrentInfo& info = parsed->Info();
    target.single_file = info.single_file;
    target.total_size = info.total_size;
    target.piece_length = info.piece_length;
    target.resume_name = info.name;
    target.trackers = parsed->Trackers();
    return target;
}

// A torrent name becomes one file name: no separators, never "." or "..".
std::string ResumeFileName(std::string name) {
    for (char& c : name)
        if (c == '/' || c == '\0') c = '_';
    if (name.empty() || name == "." || name == "..") name = "task";
    return name + ".zlinfo";
}

std::string HumanDuration(int64_t seconds) {
    if (seconds < 0) return "--:--";
    char text[32];
    if (seconds >= 3600)
        std::snprintf(text, sizeof(text), "%lld:%02lld:%02lld", static_cast<long long>(seconds / 3600),
                      static_cast<long long>(seconds / 60 % 60), static_cast<long long>(seconds % 60));
    else
        std::snprintf(text, sizeof(text), "%02lld:%02lld", static_cast<long long>(seconds / 60),
                      static_cast<long long>(seconds % 60));
    return text;
}

struct Snapshot {
    double percent = 0;
    int64_t bytes_done = 0;
    int64_t bytes_total = 0;
    int64_t speed_bps = 0;
    int64_t eta_s = -1;
    int32_t status = 0;
    zl::TaskPeerInfo peers;
    double first_piece_s = -1;  // seconds to the first verified piece of this run
};

// The failing sources as (source, error) pairs.
std::vector<std::pair<std::string, std::string>> FailingSources(const zl::TaskPeerInfo& info) {
    std::vector<std::pair<std::string, std::string>> out;
    const std::string text = info.failing_text;
    size_t at = 0;
    while (at < text.size()) {
        size_t end = text.find('\n', at);
        if (end == std::string::npos) end = text.size();
        const std::string line = text.substr(at, end - at);
        const size_t tab = line.find('\t');
        if (tab != std::string::npos) out.emplace_back(line.substr(0, tab), line.substr(tab + 1));
        at = end + 1;
    }
    return out;
}

// Bytes of the pieces the task's bitfield marks as verified (the last piece may be short).
int64_t VerifiedBytes(zl::TaskHandle task, int64_t bytes_total, int64_t piece_length) {
    const int32_t size = zl::TaskGetBitfieldSize(task);
    if (size <= 0 || piece_length <= 0) return 0;
    std::vector<uint8_t> bits(static_cast<size_t>(size));
    if (zl::TaskGetBitfield(task, bits.data(), size) <= 0) return 0;
    const zl::BlockInfo geometry(bytes_total, piece_length);
    int64_t done = 0;
    for (int32_t i = 0; i < geometry.piece_count() && i / 8 < size; ++i) {
        if (!(bits[static_cast<size_t>(i / 8)] & (0x80 >> (i % 8)))) continue;
        done += geometry.PieceSize(i);
    }
    return done;
}

// The progress record's byte count and time left can lag behind the pieces
// already verified; the bitfield is the surer measure, so the larger wins.
Snapshot Take(zl::TaskHandle task, int64_t bytes_total, int64_t piece_length) {
    Snapshot s;
    s.bytes_total = bytes_total;
    zl::TaskProgressInfo info{};
    if (zl::TaskGetProgress(task, &info) != zl::ENGINE_OK) return s;
    s.bytes_done = std::max(static_cast<int64_t>(info.downloaded), VerifiedBytes(task, bytes_total, piece_length));
    s.bytes_done = std::min(s.bytes_done, bytes_total);
    s.percent = bytes_total > 0 ? std::max(info.progress / 100.0, 100.0 * double(s.bytes_done) / double(bytes_total))
                                : info.progress / 100.0;
    s.speed_bps = info.speed;
    if (info.speed > 0)
        s.eta_s = info.time_remaining > 0 ? info.time_remaining : (bytes_total - s.bytes_done) / info.speed;
    s.status = info.status;
    zl::TaskGetPeerInfo(task, &s.peers);
    return s;
}

void PrintJson(const Snapshot& s, size_t sources, bool resumed, bool final_line, double elapsed_s,
               bool pieces_verified) {
    Json::Value failing(Json::arrayValue);
    for (const auto& [source, error] : FailingSources(s.peers)) {
        Json::Value entry(Json::objectValue);
        entry["source"] = ValidUtf8(source);
        entry["error"] = ValidUtf8(error);
        failing.append(entry);
    }
    const uint64_t received = s.peers.http_bytes + s.peers.ftp_bytes + s.peers.bt_bytes;
    Json::Value o(Json::objectValue);
    o["percent"] = Rounded(s.percent, 2);
    o["bytes_done"] = Json::Int64(s.bytes_done);
    o["bytes_total"] = Json::Int64(s.bytes_total);
    o["speed_bps"] = Json::Int64(s.speed_bps);
    o["eta_s"] = Json::Int64(s.eta_s);
    o["sources"] = Json::UInt64(sources);
    o["status"] = StatusText(s.status);
    o["resumed"] = resumed;
    o["final"] = final_line;
    o["peers"] = s.peers.peers;
    o["seeds"] = s.peers.seeds;
    o["upload_speed_bps"] = s.peers.upload_speed;
    o["uploaded_bytes"] = Json::UInt64(s.peers.uploaded);
    o["http_bytes"] = Json::UInt64(s.peers.http_bytes);
    o["ftp_bytes"] = Json::UInt64(s.peers.ftp_bytes);
    o["bt_bytes"] = Json::UInt64(s.peers.bt_bytes);
    o["twice_bytes"] = Json::UInt64(s.peers.twice_bytes);
    o["failing_sources"] = s.peers.failing;
    o["failing"] = failing;
    o["elapsed_s"] = Rounded(elapsed_s, 3);
    o["average_speed_bps"] = Json::Int64(elapsed_s > 0 ? static_cast<int64_t>(double(received) / elapsed_s) : 0);
    o["first_piece_s"] = Rounded(s.first_piece_s, 3);
    o["pieces_verified"] = pieces_verified;
    std::fputs((JsonText(o) + "\n").c_str(), stdout);
    std::fflush(stdout);
}

void PrintLine(const Snapshot& s, size_t sources) {
    std::string failing;
    if (s.peers.failing > 0) {
        const auto list = FailingSources(s.peers);
        failing = "  failing " + std::to_string(s.peers.failing);
        if (!list.empty()) failing += " (" + list.front().second + ")";
    }
    std::fprintf(stderr, "\r%6.2f%%  %s / %s  %s/s  eta %s  sources %zu%s  peers %d (%d seeds)  up %s/s %s  %s\033[K",
                 s.percent, HumanBytes(double(s.bytes_done)).c_str(), HumanBytes(double(s.bytes_total)).c_str(),
                 HumanBytes(double(s.speed_bps)).c_str(), HumanDuration(s.eta_s).c_str(), sources, failing.c_str(),
                 s.peers.peers, s.peers.seeds, HumanBytes(double(s.peers.upload_speed)).c_str(),
                 HumanBytes(double(s.peers.uploaded)).c_str(), StatusText(s.status).c_str());
    std::fflush(stderr);
}

// Parses a non-negative number option; false (with a message) when it is not one.
bool NumberOption(const ParsedArgs& args, const char* name, long maximum, const char* what, long* value) {
    const auto text = args.Value(name);
    if (!text) return true;
    char* end = nullptr;
    const long v = std::strtol(text->c_str(), &end, 10);
    if (text->empty() || *end != '\0' || v < 0 || v > maximum) {
        std::fprintf(stderr, "zlfetch get: --%s wants %s, not '%s'\n", name, what, text->c_str());
        return false;
    }
    *value = v;
    return true;
}

}  // namespace

int RunGet(const ParsedArgs& args) {
    const auto dir = args.Value("dir");
    const std::vector<std::string> sources = args.Values("source");
    if (args.positional.size() != 1 || !dir || dir->empty()) {
        std::fprintf(stderr, "zlfetch get: expected TORRENT and --dir DIR\n");
        return kExitError;
    }
    // Every value is checked before anything starts.
    std::string why;
    for (const std::string& url : sources) {
        if (!CheckSource(url, &why)) {
            std::fprintf(stderr, "zlfetch get: --source '%s': %s\n", url.c_str(), why.c_str());
            return kExitError;
        }
    }
    const std::vector<std::string> trackers = args.Values("tracker");
    for (const std::string& url : trackers) {
        if (!CheckTracker(url, &why)) {
            std::fprintf(stderr, "zlfetch get: --tracker '%s': %s\n", url.c_str(), why.c_str());
            return kExitError;
        }
    }
    std::vector<std::string> peers;
    for (const std::string& text : args.Values("peer")) {
        std::string source;
        if (!ParsePeer(text, &source, &why)) {
            std::fprintf(stderr, "zlfetch get: --peer '%s': %s\n", text.c_str(), why.c_str());
            return kExitError;
        }
        peers.push_back(source);
    }
    std::vector<std::string> dht_nodes;
    for (const std::string& text : args.Values("dht-node")) {
        std::string source;
        if (!ParseDhtNode(text, &source, &why)) {
            std::fprintf(stderr, "zlfetch get: --dht-node '%s': %s\n", text.c_str(), why.c_str());
            return kExitError;
        }
        dht_nodes.push_back(source);
    }
    const bool dht = args.Has("dht") || !dht_nodes.empty();
    uint32_t bind_address = 0;
    if (const auto bind = args.Value("bind"); bind && !ParseAddress(*bind, &bind_address, &why)) {
        std::fprintf(stderr, "zlfetch get: --bind '%s': %s\n", bind->c_str(), why.c_str());
        return kExitError;
    }
    std::string rendezvous_host;
    int32_t rendezvous_port = 0;
    if (const auto r = args.Value("rendezvous"); r && !ParseRendezvous(*r, &rendezvous_host, &rendezvous_port, &why)) {
        std::fprintf(stderr, "zlfetch get: --rendezvous '%s': %s\n", r->c_str(), why.c_str());
        return kExitError;
    }
    long limit_value = 0, upload_limit = 0, listen_port = 0, seed_after = 0;
    // The engine reads a limit above kMaxSpeedLimitKib as "no limit": such a value is refused here.
    if (!NumberOption(args, "limit", zl::kMaxSpeedLimitKib, "KiB per second, 0 to 32766 (0: none)", &limit_value) ||
        !NumberOption(args, "upload-limit", zl::kMaxSpeedLimitKib, "KiB per second, 0 to 32766 (0: none)",
                      &upload_limit) ||
        !NumberOption(args, "port", 65535, "a port of 0 to 65535", &listen_port) ||
        !NumberOption(args, "seed-after", 365L * 24 * 3600, "seconds", &seed_after))
        return kExitError;
    // Incoming peers reach the listener on this port: a port in use is refused
    // at once; without one a free port is taken.
    if (listen_port != 0 && !ListenPortFree(bind_address, static_cast<int>(listen_port), &why)) {
        std::fprintf(stderr, "zlfetch get: --port %ld: %s\n", listen_port, why.c_str());
        return kExitError;
    }
    if (listen_port == 0) listen_port = PickFreeListenPort(bind_address);
    const int32_t limit_kib = static_cast<int32_t>(limit_value);
    const bool torrent_trackers = !args.Has("no-trackers");
    const std::string& torrent = args.positional[0];
    // The argument is a torrent file, or a task link text given whole.
    const std::optional<GetTarget> target = ReadGetTarget(torrent);
    if (!target) return kExitError;
    const std::optional<std::string> out = args.Value("out");
    if (out && (out->empty() || !target->single_file)) {
        std::fprintf(stderr, "zlfetch get: --out names the one file of a single-file torrent or a link text\n");
        return kExitError;
    }
    if (!zl::PathExists(*dir) && ::mkdir(dir->c_str(), 0755) != 0) {
        std::fprintf(stderr, "zlfetch get: cannot create folder %s: %s\n", dir->c_str(), std::strerror(errno));
        return kExitError;
    }
    const int64_t total = target->total_size;
    size_t own_trackers = 0;
    if (torrent_trackers)
        for (const auto& url : target->trackers) own_trackers += url.empty() ? 0 : 1;
    // With --bind, peers on the local network are found by LAN discovery.
    if (sources.empty() && peers.empty() && trackers.empty() && own_trackers == 0 && !dht && bind_address == 0) {
        std::fprintf(stderr, "zlfetch get: nothing to download from: give --source, --peer, --tracker or --dht "
                             "(the torrent names no tracker), or --bind to find peers on the local network\n");
        return kExitError;
    }

    const std::string save_dir = AbsolutePath(*dir);
    const std::string resume = save_dir + "/" + ResumeFileName(target->resume_name);
    const bool resumed = zl::PathExists(resume);
    std::string source_list;
    for (const auto& url : sources) source_list += url + "\n";
    for (const auto& node : peers) source_list += node + "\n";
    for (const auto& url : trackers) source_list += "tracker://" + url + "\n";
    for (const auto& node : dht_nodes) source_list += node + "\n";
    const size_t source_count = sources.size() + peers.size() + trackers.size() + own_trackers;

    zl::TaskDescriptor descriptor;
    descriptor.flags = zl::kTaskFlagP2sp | (out ? zl::kTaskFlagFullPath : 0);
    descriptor.source_list = source_list.c_str();
    const std::string location = target->link_text ? torrent : "file://" + AbsolutePath(torrent);
    if (!CopyField(descriptor.metainfo_location, location) ||
        !CopyField(descriptor.target, out ? AbsoluteFilePath(*out) : save_dir) ||
        !CopyField(descriptor.resume_path, resume)) {
        std::fprintf(stderr, "zlfetch get: %s too long\n", target->link_text ? "link text or path" : "path");
        return kExitError;
    }
    if (target->link_text)
        std::fprintf(stderr, "zlfetch get: a link text carries no piece hashes: the pieces are NOT verified\n");

    struct sigaction action {};
    action.sa_handler = OnStopSignal;
    sigemptyset(&action.sa_mask);
    ::sigaction(SIGINT, &action, nullptr);
    ::sigaction(SIGTERM, &action, nullptr);

    // BitTorrent peers take part; the preamble only on request, since
    // standard clients close connections that open with it.
    zl::EngineSetP2PSwitch(1);
    zl::EngineSetHttpWrap(args.Has("http-wrap") ? 1 : 0);
    zl::EngineContext::Default().SetDurableProgress(!args.Has("no-flush"));
    if (args.Has("no-hash-thread")) zl::EngineContext::Default().SetHashThreads(0);
    zl::EngineSetListenPort(static_cast<int32_t>(listen_port));
    zl::EngineSetBindAddress(bind_address);
    // LAN discovery on the bound address's network only: without --bind the
    // engine cannot tell which network is the local one.
    zl::EngineSetLanDiscovery(bind_address != 0 ? 1 : 0);
    zl::EngineSetTorrentTrackers(torrent_trackers ? 1 : 0);
    // The DHT keeps its node cache in the download folder.
    zl::EngineSetDhtSwitch(dht ? 1 : 0);
    UseRendezvous(rendezvous_host, rendezvous_port, static_cast<int32_t>(listen_port));
    const auto started = std::chrono::steady_clock::now();
    const auto elapsed = [&] {
        return std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    };
    if (zl::EngineStartup(save_dir.c_str()) != zl::ENGINE_OK) {
        std::fprintf(stderr, "zlfetch get: the engine did not start\n");
        return kExitFailed;
    }
    const int32_t created =
        resumed ? zl::TaskRecoverAndContinue(&descriptor, 0) : zl::TaskCreateAndStart(&descriptor);
    if (created != zl::ENGINE_OK || !descriptor.handle) {
        std::fprintf(stderr, "zlfetch get: the task could not be %s (%d)\n", resumed ? "recovered" : "created",
                     static_cast<int>(created));
        zl::EngineCleanup();
        return kExitFailed;
    }
    const zl::TaskHandle task = descriptor.handle;
    if (limit_kib > 0) zl::TaskSetSpeedLimit(task, 1, limit_kib);
    if (upload_limit > 0) zl::TaskSetSpeedLimit(task, 0, static_cast<int32_t>(upload_limit));

    const bool json = args.Has("json");
    const bool live = !json && ::isatty(STDERR_FILENO);
    auto next_report = std::chrono::steady_clock::now() + std::chrono::seconds(1);
    std::string outcome;
    Snapshot last;
    double completed_at = -1;
    double download_seconds = 0;
    double first_piece_s = -1;
    // A resumed run counts from the bytes it found; a fresh one from none.
    int64_t bytes_at_start = resumed ? -1 : 0;
    for (;;) {
        if (g_stop_requested.load()) {
            if (completed_at < 0) outcome = "stopped";
            break;
        }
        int32_t complete = 0;
        last = Take(task, total, target->piece_length);
        if (bytes_at_start < 0 && last.status == zl::STATUS_DOWNLOADING) bytes_at_start = last.bytes_done;
        if (first_piece_s < 0 && bytes_at_start >= 0 && last.bytes_done > bytes_at_start) first_piece_s = elapsed();
        last.first_piece_s = first_piece_s;
        if (completed_at < 0 && zl::TaskIsComplete(task, &complete) == zl::ENGINE_OK && complete) {
            outcome = "complete";
            completed_at = elapsed();
            download_seconds = completed_at;
        }
        // After completion the task keeps serving peers for --seed-after seconds.
        if (completed_at >= 0 && elapsed() - completed_at >= static_cast<double>(seed_after)) break;
        if (IsFailure(last.status)) {
            outcome = StatusText(last.status);
            break;
        }
        const auto now = std::chrono::steady_clock::now();
        if (now >= next_report) {
            next_report = now + std::chrono::seconds(1);
            if (json) PrintJson(last, source_count, resumed, false, elapsed(), !target->link_text);
            if (live) PrintLine(last, source_count);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(completed_at >= 0 ? 200 : 20));
    }
    last = Take(task, total, target->piece_length);
    last.first_piece_s = first_piece_s;
    zl::TaskStop(task, 0);  // saves the resume file
    zl::EngineCleanup();
    if (live) std::fprintf(stderr, "\n");
    const bool ok = outcome == "complete";
    if (ok) last.percent = 100.0;
    if (json) {
        if (ok) last.status = zl::STATUS_COMPLETE;
        PrintJson(last, source_count, resumed, true, ok ? download_seconds : elapsed(), !target->link_text);
    }
    if (!ok) {
        std::fprintf(stderr, "zlfetch get: %s\n", outcome.c_str());
        return kExitFailed;
    }
    if (!json)
        std::printf("complete: %s in %s (%.1f s, %s/s)%s\n", HumanBytes(double(total)).c_str(),
                    out ? AbsoluteFilePath(*out).c_str() : save_dir.c_str(), download_seconds,
                    HumanBytes(download_seconds > 0 ? double(total) / download_seconds : 0).c_str(),
                    target->link_text ? "; pieces NOT verified (a link text has no piece hashes)" : "");
    return kExitOk;
}

}  // namespace zlfetch
