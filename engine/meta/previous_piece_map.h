// The piece map of the torrent a task used before its torrent was replaced
// (another piece length, corrected hashes), rebuilt from the old torrent and
// its resume data alone, so that the new map can carry its progress over
// (TPieces::TransferFrom) instead of checking every byte again. It only
// looks: it creates, sizes and renames nothing, and its notices reach nobody.
#pragma once
#include <string>
#include <string_view>

#include "engine/base/clock.h"
#include "engine/base/qmutex.h"
#include "engine/base/ref_object.h"
#include "engine/meta/pieces.h"

namespace zl {

struct PreviousMapSetup {
    std::string save_directory;
    std::string piece_cache_path;
    std::string selection;
    std::string resume_data;  // written for the old torrent
    StorageOptions options;   // as the new map has them
    int32_t cache_units = 32;
};

class PreviousPieceMap : public PiecesHost {
public:
    // `task` answers the stop and target-path questions; the collaborators
    // are the new map's.
    PreviousPieceMap(PiecesHost& task, QTMutex& disk_lock, Clock& clock, DiskSpaceProbe* probe = nullptr,
                     BufferPools* pools = nullptr);
    ~PreviousPieceMap() override;
    PreviousPieceMap(const PreviousPieceMap&) = delete;
    PreviousPieceMap& operator=(const PreviousPieceMap&) = delete;

    // Builds the map of `old_torrent`. False (and no map) when there is no
    // old torrent, it does not load, it is the torrent `new_info_hash` names,
    // or its resume data does not fit the files on disk or holds nothing.
    bool Load(std::string_view old_torrent, const Sha1Digest& new_info_hash, const PreviousMapSetup& setup);
    // The map, or null when none was loaded.
    TPieces* Map() { return map_.get(); }

    void OnPieceNotice(const PieceNotice&) override {}
    bool StopRequested() override { return task_.StopRequested(); }
    std::string ExplicitTargetPath() override { return task_.ExplicitTargetPath(); }

private:
    void Drop();

    PiecesHost& task_;
    QTMutex& disk_lock_;
    Clock& clock_;
    DiskSpaceProbe* probe_;
    BufferPools* pools_;
    RefPtr<TPieces> map_;
};

}  // namespace zl
