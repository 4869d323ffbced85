#include "engine/meta/storage_layout_info.h"

#include "engine/meta/torrent.h"

namespace zl {

StorageLayout LayoutFromTorrentInfo(const TorrentInfo& info) {
    StorageLayout layout;
    layout.name = info.name;
    layout.single_file = info.single_file;
    layout.piece_length = info.piece_length;
    layout.piece_hashes = info.piece_hashes;
    layout.info_hash = info.info_hash;
    for (const TorrentFile& f : info.files) layout.files.push_back({f.components, f.size});
    return layout;
}

std::optional<StorageLayout> LayoutFromTorrent(std::string_view torrent, std::string* error) {
    // The same checks as a task's metainfo: one loader, one set of reasons.
    RefPtr<TTorrent> loaded = RefPtr<TTorrent>::Adopt(new TTorrent());
    if (!loaded->LoadFromData(torrent.data(), int64_t(torrent.size()))) {
        if (error) *error = loaded->ErrorMessage();
        return std::nullopt;
    }
    return LayoutFromTorrentInfo(loaded->Info());
}

}  // namespace zl
