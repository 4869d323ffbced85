// zlfetch info TORRENT [--json]: what a torrent holds.
#include <json/json.h>

#include <cstdio>
#include <string>

#include "engine/meta/torrent.h"
#include "tools/zlfetch/commands.h"

namespace zlfetch {
namespace {

void PrintText(const zl::TTorrent& t) {
    const zl::TorrentInfo& info = t.Info();
    std::printf("name: %s\n", info.name.c_str());
    std::printf("info hash: %s\n", t.HexInfoHash().c_str());
    std::printf("piece length: %lld\n", static_cast<long long>(info.piece_length));
    std::printf("pieces: %lld\n", static_cast<long long>(info.piece_count));
    std::printf("total size: %lld\n", static_cast<long long>(info.total_size));
    std::printf("files: %zu\n", info.files.size());
    for (const auto& f : info.files)
        std::printf("  %lld %s%s\n", static_cast<long long>(f.size), f.path.c_str(),
                    f.padding ? " (padding, not stored)" : f.attr.empty() ? "" : (" (attr " + f.attr + ")").c_str());
    std::printf("trackers:\n");
    for (const auto& url : t.Trackers())
        if (!url.empty()) std::printf("  %s\n", url.c_str());
}

void PrintJson(const zl::TTorrent& t) {
    const zl::TorrentInfo& info = t.Info();
    Json::Value root(Json::objectValue);
    root["name"] = info.name;
    root["info_hash"] = t.HexInfoHash();
    root["piece_length"] = Json::Int64(info.piece_length);
    root["piece_count"] = Json::Int64(info.piece_count);
    root["total_size"] = Json::Int64(info.total_size);
    Json::Value files(Json::arrayValue);
    for (const auto& f : info.files) {
        Json::Value file(Json::objectValue);
        file["path"] = f.path;
        file["size"] = Json::Int64(f.size);
        if (f.padding) file["padding"] = true;
        if (!f.attr.empty()) file["attr"] = f.attr;
        files.append(file);
    }
    root["files"] = files;
    Json::Value trackers(Json::arrayValue);
    for (const auto& url : t.Trackers())
        if (!url.empty()) trackers.append(url);
    root["trackers"] = trackers;
    Json::StreamWriterBuilder builder;
    builder["indentation"] = "  ";
    std::printf("%s\n", Json::writeString(builder, root).c_str());
}

}  // namespace

int RunInfo(const ParsedArgs& args) {
    if (args.positional.size() != 1) {
        std::fprintf(stderr, "zlfetch info: expected one torrent file\n");
        return kExitError;
    }
    zl::RefPtr<zl::TTorrent> torrent = zl::RefPtr<zl::TTorrent>::Adopt(new zl::TTorrent());
    if (!torrent->LoadFromFile(args.positional[0])) {
        std::fprintf(stderr, "zlfetch info: %s\n", torrent->ErrorMessage().c_str());
        return kExitError;
    }
    if (args.Has("json")) PrintJson(*torrent);
    else PrintText(*torrent);
    return kExitOk;
}

}  // namespace zlfetch
