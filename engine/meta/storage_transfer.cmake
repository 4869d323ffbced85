# Progress carried over to a piece map of the same files with other pieces.
target_sources(zl_meta_storage PRIVATE transfer_from.cpp)
target_sources(zl_meta_storage PRIVATE previous_piece_map.cpp)
