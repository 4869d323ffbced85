# Task storage: target files, pieces in progress with the memory cache, the
# piece map with its checks, resume data and the piece-cache file.
zl_library(zl_meta_fs SOURCES
  file_system.cpp
  durable_flusher.cpp)
zl_library(zl_meta_storage SOURCES
  atomic_file.cpp
  disk_space.cpp
  target_file.cpp
  file_entry.cpp
  file_piece_map.cpp
  piece_in_progress.cpp
  hash_workers.cpp
  pieces.cpp
  piece_assembly.cpp
  task_files.cpp
  piece_check.cpp
  resume_data.cpp
  piece_cache_file.cpp
  task_info_file.cpp
  storage_layout_info.cpp
  LIBS zl_meta_fs zl_base zl_meta_digest zl_meta_buffer_pool zl_meta_bencode zl_meta_torrent)
