#include "engine/meta/previous_piece_map.h"

#include "engine/meta/storage_layout_info.h"

namespace zl {

PreviousPieceMap::PreviousPieceMap(PiecesHost& task, QTMutex& disk_lock, Clock& clock, DiskSpaceProbe* probe,
                                   BufferPools* pools)
    : task_(task), disk_lock_(disk_lock), clock_(clock), probe_(probe), pools_(pools) {}

PreviousPieceMap::~PreviousPieceMap() { Drop(); }

void PreviousPieceMap::Drop() {
    if (!map_) return;
    map_->Clear();
    map_->DetachHost();
    map_ = RefPtr<TPieces>();
}

bool PreviousPieceMap::Load(std::string_view old_torrent, const Sha1Digest& new_info_hash,
                            const PreviousMapSetup& setup) {
    Drop();
    if (old_torrent.empty() || setup.resume_data.empty()) return false;
    std::optional<StorageLayout> layout = LayoutFromTorrent(old_torrent);
    if (!layout || layout->info_hash == new_info_hash) return false;
    map_ = RefPtr<TPieces>::Adopt(new TPieces(this, disk_lock_, clock_, probe_, pools_));
    StorageOptions options = setup.options;
    options.read_only = true;     // nothing is created, sized or renamed
    options.resume_only = true;   // no check: what the resume data says, or nothing
    options.quick_check = false;
    options.force_full_check = false;
    options.resume_enabled = true;
    map_->SetOptions(options);
    map_->SetCacheUnits(setup.cache_units);
    map_->SetSaveDirectory(setup.save_directory);
    map_->SetPieceCachePath(setup.piece_cache_path);
    map_->SetSelection(setup.selection);
    map_->SetResumeData(setup.resume_data);
    const bool loaded = map_->LoadLayout(*layout);
    // Resume data that does not fit leaves nothing to carry over.
    if (!loaded || (map_->VerifiedBytes() == 0 && map_->PartialPieces().empty() && map_->MemoryCacheBytes() == 0)) {
        Drop();
        return false;
    }
    map_->CloseAll(false, false);
    return true;
}

}  // namespace zl
