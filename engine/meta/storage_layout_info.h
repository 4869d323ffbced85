// Reads a storage layout from a torrent's info dictionary (or a whole torrent
// file). Names and path components are kept as the torrent gives them; the
// piece map refuses any that would leave the save folder.
#pragma once
#include <optional>
#include <string>
#include <string_view>

#include "engine/meta/qelement.h"
#include "engine/meta/storage_layout.h"
#include "engine/meta/torrent_info.h"

namespace zl {

std::optional<StorageLayout> LayoutFromInfo(const QElement& info, std::string* error = nullptr);
// The layout of a checked torrent (the task's metainfo).
StorageLayout LayoutFromTorrentInfo(const TorrentInfo& info);
// A bencoded torrent: its "info" dictionary, with the info-hash taken over its bytes.
std::optional<StorageLayout> LayoutFromTorrent(std::string_view torrent, std::string* error = nullptr);

}  // namespace zl
