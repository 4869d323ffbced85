# Torrent metainfo: TTorrent and the checked info dictionary.
zl_library(zl_meta_torrent SOURCES
  torrent_info.cpp
  torrent.cpp
  LIBS zl_meta_bencode zl_meta_digest zl_base)
