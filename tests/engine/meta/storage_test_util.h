// Shared fixtures of the storage tests: a task stand-in that records notices,
// and torrents made up of random data.
#pragma once
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "engine/base/fake_clock.h"
#include "engine/base/qmutex.h"
#include "engine/meta/pieces.h"
#include "engine/meta/sha1.h"
#include "tests/support/temp_dir.h"

namespace zl::test {

class RecordingHost : public PiecesHost {
public:
    void OnPieceNotice(const PieceNotice& n) override {
        notices.push_back(n);
        if (n.kind == kNoticeResumeData && n.size > 0) resume.assign(reinterpret_cast<const char*>(n.data), size_t(n.size));
        if (n.kind == kNoticeSelection) selection.assign(reinterpret_cast<const char*>(n.data), size_t(n.size));
        if (n.kind == kNoticeDiskFull && stop_on_disk_full) stop = true;
    }
    void OnPieceChecked(int32_t piece, bool ok) override { checked.emplace_back(piece, ok); }
    bool StopRequested() override { return stop; }
    std::string ExplicitTargetPath() override { return target; }

    int Count(int32_t kind, int32_t flag = -1) const {
        int n = 0;
        for (const auto& x : notices)
            if (x.kind == kind && (flag < 0 || x.flag == flag)) ++n;
        return n;
    }
    std::vector<PieceNotice> notices;
    std::vector<std::pair<int32_t, bool>> checked;  // the workers' verdicts, in order
    std::string resume, selection, target;
    bool stop = false;
    bool stop_on_disk_full = false;
};

// A torrent over random bytes: `sizes` are the files in order.
struct MadeTorrent {
    StorageLayout layout;
    std::string data;  // the whole stream
};

inline MadeTorrent MakeTorrent(const std::vector<int64_t>& sizes, int64_t piece_length, bool single = false,
                               uint32_t seed = 7, const std::string& name = "pack") {
    MadeTorrent t;
    int64_t total = 0;
    for (int64_t s : sizes) total += s;
    t.data.resize(size_t(total));
    std::mt19937 rng(seed);
    for (auto& c : t.data) c = char(rng());
    t.layout.name = name;
    t.layout.single_file = single;
    t.layout.piece_length = piece_length;
    for (int64_t off = 0; off < total; off += piece_length) {
        const Sha1Digest d = Sha1Of(t.data.data() + off, size_t(std::min(piece_length, total - off)));
        t.layout.piece_hashes.append(reinterpret_cast<const char*>(d.data()), d.size());
    }
    for (size_t i = 0; i < sizes.size(); ++i)
        t.layout.files.push_back({{single ? name : "f" + std::to_string(i)}, sizes[i]});
    t.layout.info_hash = Sha1Of(t.layout.piece_hashes.data(), t.layout.piece_hashes.size());
    return t;
}

inline void WriteFile(const std::string& path, const std::string& bytes) {
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!bytes.empty()) std::fwrite(bytes.data(), 1, bytes.size(), f);
    std::fclose(f);
}

inline std::string ReadFile(const std::string& path) {
    std::string out;
    FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) return out;
    char buf[65536];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) out.append(buf, n);
    std::fclose(f);
    return out;
}

// Writes the stream into the files of a multi-file torrent under `dir` (final names).
inline void WriteStream(const std::string& dir, const MadeTorrent& t) {
    int64_t off = 0;
    for (const auto& f : t.layout.files) {
        const std::string path = t.layout.single_file ? dir + "/" + t.layout.name
                                                      : dir + "/" + t.layout.name + "/" + f.components.back();
        WriteFile(path, t.data.substr(size_t(off), size_t(f.size)));
        off += f.size;
    }
}

// A probe whose answers the test scripts.
class ScriptedProbe : public DiskSpaceProbe {
public:
    std::optional<uint64_t> FreeBytes(const std::string& dir) override {
        asked.push_back(dir);
        if (!answers.empty()) {
            auto a = answers.front();
            answers.erase(answers.begin());
            return a;
        }
        return fallback;
    }
    std::vector<std::optional<uint64_t>> answers;
    std::optional<uint64_t> fallback = uint64_t(1) << 50;
    std::vector<std::string> asked;
};

// Owns a piece map with the usual collaborators.
struct MapRig {
    RecordingHost host;
    QTMutex disk_lock;
    FakeClock clock{FakeClock::Mode::AutoAdvance};
    ScriptedProbe probe;
    TPieces* map = nullptr;

    explicit MapRig(const std::string& save_dir, StorageOptions options = {}) {
        map = new TPieces(&host, disk_lock, clock, &probe);
        map->SetSaveDirectory(save_dir);
        map->SetOptions(options);
    }
    ~MapRig() { map->Release(); }
    TPieces* operator->() { return map; }
};

}  // namespace zl::test
