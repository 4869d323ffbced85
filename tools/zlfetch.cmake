# zlfetch: inspect a torrent, check, download or seed one task.
add_library(zlfetch_cli STATIC
  zlfetch/options.cpp
  zlfetch/commands.cpp
  zlfetch/cmd_version.cpp)
target_include_directories(zlfetch_cli PUBLIC ${PROJECT_SOURCE_DIR} ${PROJECT_BINARY_DIR}/generated)
find_package(CLI11 CONFIG REQUIRED)
target_link_libraries(zlfetch_cli PUBLIC zl_base CLI11::CLI11)
add_executable(zlfetch zlfetch/main.cpp)
target_link_libraries(zlfetch PRIVATE zlfetch_cli)
