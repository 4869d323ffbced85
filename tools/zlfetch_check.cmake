# zlfetch check: the piece map's start-up check over a folder.
target_sources(zlfetch_cli PRIVATE zlfetch/cmd_check.cpp)
target_link_libraries(zlfetch_cli PUBLIC zl_meta_storage)
