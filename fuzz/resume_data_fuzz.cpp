// Resume data and the task information file from untrusted bytes: a piece map
// over two small files takes the input as its resume data and must either
// accept it consistently or fall back to its check.
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "engine/base/clock.h"
#include "engine/base/qmutex.h"
#include "engine/meta/pieces.h"
#include "engine/meta/task_info_file.h"

namespace {

class NullHost : public zl::PiecesHost {
public:
    void OnPieceNotice(const zl::PieceNotice&) override {}
};

zl::StorageLayout Layout() {
    zl::StorageLayout layout;
    layout.name = "pack";
    layout.single_file = false;
    layout.piece_length = 16384;
    layout.files.push_back({{"f0"}, 20000});
    layout.files.push_back({{"f1"}, 12768});
    layout.piece_hashes.assign(40, 'h');
    return layout;  // info hash: 20 zero bytes
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const std::string dir = "/tmp/zl-fuzz-resume";
    static const zl::StorageLayout layout = [] {
        std::filesystem::create_directories(dir);
        return Layout();
    }();
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    if (auto info = zl::DecodeTaskInfo(bytes)) (void)zl::EncodeTaskInfo(*info);

    NullHost host;
    zl::QTMutex lock;
    auto* map = new zl::TPieces(&host, lock, zl::SystemClock());
    zl::StorageOptions options;
    options.cache_units = 1;  // the smallest read buffer: many inputs per second
    map->SetOptions(options);
    map->SetSaveDirectory(dir);
    map->SetResumeData(bytes);
    map->SetSelection(bytes);
    if (map->LoadLayout(layout)) {
        int64_t verified = 0;
        for (int32_t i = 0; i < map->PieceCount(); ++i)
            if (map->Have(i)) verified += map->Piece(i).size;
        if (verified != map->VerifiedBytes()) std::abort();
        for (int32_t i : map->PartialPieces()) {
            const auto& p = map->Piece(i);
            if (p.written <= 0 || p.written >= p.size) std::abort();
        }
    }
    map->Release();
    return 0;
}
