# zlfetch: inspect a torrent, check, download or seed one task.
add_library(zlfetch_cli STATIC
  zlfetch/options.cpp
  zlfetch/commands.cpp
  zlfetch/cmd_version.cpp)
target_include_directories(zlfetch_cli PUBLIC ${PROJECT_SOURCE_DIR} ${PROJECT_BINARY_DIR}/generated)
target_link_libraries(zlfetch_cli PUBLIC zl_base)
add_executable(zlfetch zlfetch/main.cpp)
target_link_libraries(zlfetch PRIVATE zlfetch_cli)
