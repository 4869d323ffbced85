// The storage layout of a torrent: its files, pieces and info hash, checked
// as a task's metainfo is (names and paths stay inside the save folder).
#pragma once
#include <optional>
#include <string>
#include <string_view>

#include "engine/meta/qelement.h"
#include "engine/meta/storage_layout.h"
#include "engine/meta/torrent_info.h"

namespace zl {

// The layout of a checked torrent (the task's metainfo).
StorageLayout LayoutFromTorrentInfo(const TorrentInfo& info);
// A bencoded torrent file's bytes; on failure *error says why (and, for
// malformed bencode, at which byte).
std::optional<StorageLayout> LayoutFromTorrent(std::string_view torrent, std::string* error = nullptr);

}  // namespace zl
