// zlfetch check TORRENT --dir DIR [--quick] [--json]: which pieces of a
// torrent the files in DIR hold. Nothing in DIR is changed.
#include <unistd.h>

#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "engine/base/clock.h"
#include "engine/base/qmutex.h"
#include "engine/meta/atomic_file.h"
#include "engine/meta/file_entry.h"
#include "engine/meta/pieces.h"
#include "engine/meta/storage_layout_info.h"
#include "tools/zlfetch/commands.h"
#include "tools/zlfetch/text_format.h"

namespace zlfetch {
namespace {

// Receives the piece map's notices; shows progress on a terminal.
class CheckHost : public zl::PiecesHost {
public:
    explicit CheckHost(bool show_progress) : show_progress_(show_progress) {}
    void Attach(const zl::TPieces* map) { map_ = map; }
    void OnPieceNotice(const zl::PieceNotice&) override {}
    // Asked between pieces during the check: a good moment to show how far it is.
    bool StopRequested() override {
        if (!show_progress_ || !map_ || map_->TotalSize() <= 0) return false;
        const uint64_t now = zl::SystemClock().TickMs();
        if (now - last_ms_ < 200) return false;
        last_ms_ = now;
        const double pct = 100.0 * double(map_->CheckedBytes()) / double(map_->TotalSize());
        std::fprintf(stderr, "\rchecking: %5.1f%%  %lld / %lld bytes", pct, static_cast<long long>(map_->CheckedBytes()),
                     static_cast<long long>(map_->TotalSize()));
        std::fflush(stderr);
        shown_ = true;
        return false;
    }
    void Finish() {
        if (shown_) std::fprintf(stderr, "\r%60s\r", "");
    }

private:
    bool show_progress_;
    const zl::TPieces* map_ = nullptr;
    uint64_t last_ms_ = 0;
    bool shown_ = false;
};

std::vector<std::pair<int64_t, int64_t>> MissingRanges(const zl::TPieces& map) {
    std::vector<std::pair<int64_t, int64_t>> ranges;
    for (int32_t i = 0; i < map.PieceCount(); ++i) {
        if (map.Have(i)) continue;
        if (!ranges.empty() && ranges.back().second == i - 1)
            ranges.back().second = i;
        else
            ranges.emplace_back(i, i);
    }
    return ranges;
}

}  // namespace

int RunCheck(const ParsedArgs& args) {
    const auto dir = args.Value("dir");
    if (args.positional.size() != 1 || !dir || dir->empty()) {
        std::fprintf(stderr, "zlfetch check: expected TORRENT and --dir DIR\n");
        return kExitError;
    }
    const std::optional<std::string> bytes = zl::ReadWholeFile(args.positional[0], int64_t(64) << 20);
    if (!bytes) {
        std::fprintf(stderr, "zlfetch check: cannot read %s\n", args.positional[0].c_str());
        return kExitError;
    }
    std::string error;
    const std::optional<zl::StorageLayout> layout = zl::LayoutFromTorrent(*bytes, &error);
    if (!layout) {
        std::fprintf(stderr, "zlfetch check: %s: %s\n", args.positional[0].c_str(), error.c_str());
        return kExitError;
    }
    if (!zl::PathExists(*dir)) {
        std::fprintf(stderr, "zlfetch check: no folder %s\n", dir->c_str());
        return kExitError;
    }
    const bool json = args.Has("json");
    CheckHost host(!json && ::isatty(STDERR_FILENO));
    zl::QTMutex disk_lock;
    zl::TPieces* map = new zl::TPieces(&host, disk_lock, zl::SystemClock());
    host.Attach(map);
    zl::StorageOptions options;
    options.read_only = true;
    options.always_temp_name = false;  // check whichever of the final and temporary file exists
    options.quick_check = args.Has("quick");
    options.resume_enabled = false;
    map->SetOptions(options);
    map->SetSaveDirectory(*dir);
    const bool loaded = map->LoadLayout(*layout);
    host.Finish();
    if (!loaded) {
        std::fprintf(stderr, "zlfetch check: %s: the torrent's layout was refused (bad piece length or unsafe path)\n",
                     args.positional[0].c_str());
        map->Release();
        return kExitError;
    }
    int64_t have = 0;
    for (int32_t i = 0; i < map->PieceCount(); ++i) have += map->Have(i) ? 1 : 0;
    const auto ranges = MissingRanges(*map);
    const bool complete = have == map->PieceCount();
    const int64_t sampled = options.quick_check ? map->SampledBytes() : 0;
    const int64_t verified = options.quick_check ? sampled : map->VerifiedBytes();
    if (json) {
        Json::Value missing(Json::arrayValue);
        for (const auto& [first, last] : ranges) {
            Json::Value range(Json::arrayValue);
            range.append(Json::Int64(first));
            range.append(Json::Int64(last));
            missing.append(range);
        }
        // A quick check hashes only its samples: bytes_verified counts those,
        // bytes_sampled says so, and the rest is assumed from the file sizes.
        Json::Value o(Json::objectValue);
        o["pieces_total"] = map->PieceCount();
        o["pieces_have"] = Json::Int64(have);
        o["bytes_total"] = Json::Int64(map->TotalSize());
        o["bytes_verified"] = Json::Int64(verified);
        o["bytes_sampled"] = Json::Int64(sampled);
        o["complete"] = complete;
        o["quick"] = options.quick_check;
        o["missing"] = missing;
        std::fputs((JsonText(o, true) + "\n").c_str(), stdout);
    } else {
        std::printf("pieces: %lld / %lld\n", static_cast<long long>(have), static_cast<long long>(map->PieceCount()));
        if (options.quick_check && complete) {
            std::printf("sampled: %lld of %lld bytes hashed (first, middle and last piece); the rest matches by file size only\n",
                        static_cast<long long>(sampled), static_cast<long long>(map->TotalSize()));
        } else {
            std::printf("verified: %lld / %lld bytes\n", static_cast<long long>(verified),
                        static_cast<long long>(map->TotalSize()));
        }
        std::string text;
        for (const auto& [first, last] : ranges) {
            if (!text.empty()) text += ", ";
            text += first == last ? std::to_string(first) : std::to_string(first) + "-" + std::to_string(last);
        }
        std::printf("missing: %s\n", text.empty() ? "none" : text.c_str());
    }
    map->Release();
    return complete ? kExitOk : kExitIncomplete;
}

}  // namespace zlfetch
